// Link transport: frame write, receive buffer, request/response transactions.
#include <algorithm>
#include <chrono>

#include "meter/contador_ip.h"
#include "meter/frames.h"
#include "platform/tcp_client.h"

namespace qv {

bool TContador_IP::LinkUp() const {
    if (IsSerial) return serialOpen();
    return TcpClient && TcpClient->connected();
}

bool TContador_IP::ConnectTcp() {
    if (!TcpClient) return false;
    TcpClient->Cancel = &Terminated;
    return TcpClient->connect();
}

bool TContador_IP::SendFrame(const std::string& frame) {
    try {
        if (IsSerial) {
            if (!serialOpen()) return false;
            ++FramesSent;
            return serialWrite(frame) == frame.size();
        }
        if (!TcpClient || !TcpClient->connected()) return false;
        if (TcpClient->checkForGracefulDisconnect()) return false;
        ++FramesSent;
        // Success only when the whole block went out.
        const std::string block = BytesToStr(StrToBytes(frame));
        return TcpClient->write(block) == block.size();
    } catch (...) {
        return false;
    }
}

void TContador_IP::ExtractFrame() {
    std::lock_guard lock(RxMutex);
    if (Protocol == 0)
        qv::ExtractFrame(RxBuffer, LastFrame);
    else if (ModbusExtract)
        ModbusExtract(RxBuffer, LastFrame);
}

bool TContador_IP::Transact(const std::string& frame) {
    if (Terminated || !LinkUp()) return false;
    LastFrame.clear();
    TxHead = frame.substr(0, 2);
    // 64 bits: the time-out is taken as typed, however large.
    const int64_t maxPolls = int64_t{AsduTimeout} * 10;
    if (IsSerial)
        transactSerial(frame, maxPolls);
    else
        transactTcp(frame, maxPolls);
    const bool ok = !LastFrame.empty();
    // The TCP trace lines begin with a blank, the serial ones do not.
    if (ok && TraceFrames)
        PostLog((IsSerial ? std::string() : std::string(1, ' ')).append(HexDump(LastFrame)),
                colour::Red);
    return ok;
}

void TContador_IP::transactTcp(const std::string& frame, int64_t maxPolls) {
    auto& tcp = *TcpClient;
    int left = AsduRetries - 1;
    do {
        int64_t polls = 0;
        --left;
        ClearRx();
        if (tcp.connected()) {
            // Whatever is still waiting belongs to an earlier exchange.
            tcp.checkForGracefulDisconnect();
            tcp.discardInput();
        }
        SleepMs(10);
        if (SendFrame(frame)) {
            if (TraceFrames) PostLog(std::string(1, ' ').append(HexDump(frame)), colour::Red);
            // Polls that bring bytes do not count, so a peer streaming bytes that
            // never form a frame could hold the try for ever: it also ends, with
            // a second's grace, when its polls' time has passed.
            const auto tryEnd = std::chrono::steady_clock::now() +
                                std::chrono::milliseconds((maxPolls + 1) * 100 + 1000);
            bool timedOut = false;
            for (;;) {
                std::string chunk;
                bool failed = false;
                if (tcp.connected()) {
                    failed = tcp.checkForGracefulDisconnect();
                    uint8_t b;
                    while (!Terminated && tcp.readByte(b)) {
                        // Bytes already there before any pause are late
                        // replies to an earlier try.
                        if (polls > 0) chunk += static_cast<char>(b);
                    }
                }
                if (failed) {
                    if (TraceFrames) PostLog(" except!", colour::Red);
                    tcp.disconnect();
                    SleepMs(100);
                    polls += 50;
                }
                if (chunk.empty()) {
                    ++polls;
                    SleepMs(100);
                } else {
                    AppendRx(chunk);
                }
                if (RxWaiting()) ExtractFrame();
                if (!LastFrame.empty() || Terminated) break;
                if (polls > maxPolls || std::chrono::steady_clock::now() >= tryEnd) {
                    timedOut = true;
                    break;
                }
            }
            if (timedOut) WaitMs(500);
        }
    } while (LastFrame.empty() && left >= 0 && !Terminated);
}

void TContador_IP::transactSerial(const std::string& frame, int64_t maxPolls) {
    int left = AsduRetries - 1;
    do {
        int64_t polls = 0;
        --left;
        try {
            serialClearBuffers();
        } catch (...) {
        }
        SleepMs(10);
        // Anything received before the request goes out is stale.
        ClearRx();
        if (SendFrame(frame)) {
            if (TraceFrames) PostLog(HexDump(frame), colour::Red);
            for (;;) {
                SleepMs(100);
                ++polls;
                if (RxWaiting()) ExtractFrame();
                if (!LastFrame.empty() || polls > maxPolls || Terminated) break;
            }
        }
    } while (LastFrame.empty() && left >= 0 && !Terminated);
}

}  // namespace qv
