// Modbus RTU readers of the reading thread: the CIRCUITOR meter and the NRG96
// analyser. Each sends one read request per meter and checks that a
// well-formed answer arrives; the register values are not kept.
#include "meter/modbus.h"

#include "meter/contador_ip.h"
#include "platform/tcp_client.h"

namespace qv {

namespace {

uint8_t at(const std::string& s, std::size_t i) {
    return static_cast<uint8_t>(s[i]);
}

struct ReaderKind {
    std::string (*request)(int32_t linkAddress);
    const char* startLine;
    const char* okLine;
    std::size_t minAnswer;
    bool pauseByInterAsdu;  // after a reading: InterAsdu seconds, else one second
};

const ReaderKind kCircuitor{CircuitorRequest,
                            " - TRY TO READ : ", " - READ CIRCUITOR MODBUS METER OK",
                            kCircuitorMinAnswer, true};
const ReaderKind kNrg96{Nrg96Request, " - TRY TO READ ANALYZER AT MODBUS ADDRESS: ",
                        " - READ ANALIZADOR CIRCUITOR NRG96 OK", kNrg96AnswerSize, false};

void disconnectQuietly(TContador_IP& t) {
    try {
        if (t.TcpClient) t.TcpClient->disconnect();
    } catch (...) {
    }
}

// Both readers: one request per meter, two attempts each, every meter's read
// closed by StopSession whether or not the link was up.
void readModbusMeters(TContador_IP& t, const ReaderKind& kind) {
    if (!t.ModbusExtract)
        t.ModbusExtract = [&t](std::string& rx, std::string& last) {
            ExtractModbusFrame(t.Protocol, t.TxHead, rx, last);
        };
    for (std::size_t i = 0; i < t.Devices.size() && !t.Terminated; ++i) {
        const bool tcp = !t.IsSerial;
        if (tcp && t.TcpClient && !t.TcpClient->connected()) {
            try {
                t.ReconnectTcp();
            } catch (...) {
            }
        }
        if (t.LinkUp()) {
            try {
                const int32_t address = t.Devices[i].LinkAddress;
                t.PostLog(kind.startLine + std::to_string(address), colour::White);
                const std::string request = kind.request(address);
                int failures = 0;
                bool read = false;
                for (int attempt = 1; attempt <= 2 && !read && !t.Terminated; ++attempt) {
                    t.PostLog(" - STEP #1 - Intento " + std::to_string(attempt), colour::Yellow);
                    t.WaitMs(t.PauseMs(1000));
                    if (t.Transact(request) && t.LastFrame.size() >= kind.minAnswer) {
                        t.PostLog(kind.okLine, colour::Green);
                        read = true;
                    } else {
                        ++failures;
                    }
                }
                if (read)
                    t.WaitMs(kind.pauseByInterAsdu ? t.PauseMs(1000) : 1000);
                else if (tcp && failures == 2)
                    disconnectQuietly(t);
            } catch (...) {
                if (tcp) disconnectQuietly(t);
            }
        }
        t.StopSession(static_cast<int>(i));
    }
}

}  // namespace

uint16_t ModbusCrc16(const std::string& data) {
    uint16_t crc = 0xFFFF;
    for (char ch : data) {
        crc ^= static_cast<uint8_t>(ch);
        for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0xA001 : crc >> 1;
    }
    return crc;
}

std::string ModbusCrc(const std::string& data) {
    const uint16_t crc = ModbusCrc16(data);
    return {static_cast<char>(crc & 0xFF), static_cast<char>(crc >> 8)};
}

std::string ModbusReadRequest(int32_t linkAddress, uint16_t firstRegister, uint16_t count) {
    std::string r;
    r += static_cast<char>(linkAddress & 0xFF);
    r += static_cast<char>(kModbusReadInputRegisters);
    r += static_cast<char>(firstRegister >> 8);
    r += static_cast<char>(firstRegister & 0xFF);
    r += static_cast<char>(count >> 8);
    r += static_cast<char>(count & 0xFF);
    return r + ModbusCrc(r);
}

std::string CircuitorRequest(int32_t linkAddress) {
    return ModbusReadRequest(linkAddress, kCircuitorFirstRegister, kCircuitorRegisterCount);
}

std::string Nrg96Request(int32_t linkAddress) {
    return ModbusReadRequest(linkAddress, kNrg96FirstRegister, kNrg96RegisterCount);
}

bool ExtractCircuitorAnswer(std::string& rx, std::string& lastFrame, const std::string& txHead) {
    if (rx.size() <= 5) return false;
    // Some gateways answer as slave 0; a meter itself answers with its own
    // address, which is the request's.
    const bool haveAddress = !txHead.empty();
    const uint8_t address = haveAddress ? at(txHead, 0) : 0;
    std::size_t drop = 0;
    while (rx.size() - drop >= 3 && at(rx, drop) != 0 && !(haveAddress && at(rx, drop) == address))
        ++drop;
    rx.erase(0, drop);
    if (rx.size() < 3) return false;
    if (at(rx, 1) != kModbusReadInputRegisters || at(rx, 2) != kCircuitorByteCount) {
        rx.erase(0, 1);
        return false;
    }
    if (rx.size() < kCircuitorAnswerSize) return false;
    const bool match =
        ModbusCrc(rx.substr(0, kCircuitorAnswerSize - 2)) == rx.substr(kCircuitorAnswerSize - 2, 2);
    if (match) lastFrame = rx;
    rx.clear();
    return match;
}

bool ExtractNrg96Answer(std::string& rx, std::string& lastFrame, const std::string& txHead) {
    if (rx.size() <= 5) return false;
    // A head shorter than two bytes matches nothing: the buffer shrinks to five
    // bytes and waits.
    const std::string head = txHead.substr(0, 2);
    std::size_t drop = 0;
    while (rx.size() - drop >= 6 && rx.compare(drop, 2, head) != 0) ++drop;
    rx.erase(0, drop);
    if (rx.size() <= 5) return false;
    const uint8_t function = at(rx, 1);
    if (function != 3 && function != 4) return false;
    const std::size_t n = static_cast<std::size_t>(at(rx, 2)) + 5;
    if (rx.size() < n) return false;
    if (ModbusCrc(rx.substr(0, n - 2)) != rx.substr(n - 2, 2)) {
        rx.erase(0, 1);
        return false;
    }
    lastFrame = rx.substr(0, n);
    rx.erase(0, n);
    return true;
}

bool ExtractModbusFrame(int32_t protocol, const std::string& txHead, std::string& rx,
                        std::string& lastFrame) {
    if (protocol == 1) return ExtractCircuitorAnswer(rx, lastFrame, txHead);
    if (protocol == 2) return ExtractNrg96Answer(rx, lastFrame, txHead);
    return false;
}

std::string TContador_IP::ModbusCrc(const std::string& data) {
    return qv::ModbusCrc(data);
}

void TContador_IP::ReadCircuitorMeter() {
    readModbusMeters(*this, kCircuitor);
}

void TContador_IP::ReadNrg96() {
    readModbusMeters(*this, kNrg96);
}

void TContador_IP::StopSession(int /*index*/) {
    PostLog(" - SESSION STOPPED!", colour::Green);
    if (!IsSerial && TcpClient) {
        const std::string host = TcpClient->Host;
        PostLog(" - TRY TO CLOSE SOCKET IP TO: " + host, colour::White);
        disconnectQuietly(*this);
        PostLog(" - CLOSED SOCKET IP TO: " + host, colour::White);
    }
}

}  // namespace qv
