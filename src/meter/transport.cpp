// Link transport: frame write, receive buffer, request/response transactions.
#include <algorithm>
#include <chrono>
#include <utility>

#include "meter/contador_ip.h"
#include "meter/frames.h"
#include "platform/tcp_client.h"

namespace qv {

bool TContador_IP::LinkUp() const {
    if (IsSerial) return serialOpen() && !CarrierLost;
    return TcpClient && TcpClient->connected();
}

bool TContador_IP::ConnectTcp() {
    if (!TcpClient) return false;
    TcpClient->Cancel = &Terminated;
    const bool ok = TcpClient->connect();
    if (ok) linkFailureLogged_ = false;
    return ok;
}

void TContador_IP::ReconnectTcp() {
    const bool connected = ConnectTcp();
    PostLog(" - TRY TO RECONNECT TO: " + TcpClient->Host + ":" + std::to_string(TcpClient->Port) +
                (connected ? "" : " - " + TcpClient->lastReason()),
            colour::Red);
    if (!connected) {
        TcpClient->disconnect();
        WaitMs(1000);
    }
}

void TContador_IP::reportLinkFailure(const std::string& what, const std::string& reason) {
    if (linkFailureLogged_.exchange(true)) return;
    PostLog(what + reason, colour::Red);
}

bool TContador_IP::SendFrame(const std::string& frame) {
    const char* kSendFailed = " - ERROR DE ENVIO - ";
    try {
        if (IsSerial) {
            if (!serialOpen()) {
                reportLinkFailure(kSendFailed, "port closed");
                return false;
            }
            ++FramesSent;
            if (serialWrite(frame) == frame.size()) return true;
            reportLinkFailure(kSendFailed, "incomplete write");
            return false;
        }
        if (!TcpClient || !TcpClient->connected()) {
            // The reason the client saw the link go, when it did.
            const bool known = TcpClient && !TcpClient->lastError().empty();
            reportLinkFailure(kSendFailed, known ? TcpClient->lastError() : "not connected");
            return false;
        }
        if (TcpClient->checkForGracefulDisconnect()) {
            reportLinkFailure(kSendFailed, TcpClient->lastError());
            return false;
        }
        ++FramesSent;
        // Success only when the whole block went out.
        const std::string block = BytesToStr(StrToBytes(frame));
        if (TcpClient->write(block) == block.size()) return true;
        reportLinkFailure(kSendFailed, TcpClient->lastError());
        return false;
    } catch (const std::exception& e) {
        reportLinkFailure(kSendFailed, e.what());
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
    TriesUsed = 0;
    // Copies of the last exchange's reply can only come in this one.
    copy_ = std::exchange(nextCopy_, {});
    if (Terminated || !LinkUp()) return false;
    LastFrame.clear();
    TxHead = frame.substr(0, 2);
    // 64 bits: the time-out is taken as typed, however large.
    const int64_t maxPolls = int64_t{AsduTimeout} * 10;
    // The TCP trace lines begin with a blank, the serial ones do not.
    const auto trace = [this](const std::string& bytes, bool stored) {
        if (!TraceFrames) return;
        std::string line = Protocol == 0 ? TraceDump(bytes, stored) : HexDump(bytes);
        if (!IsSerial) line.insert(0, 1, ' ');
        PostLog(line, colour::Red);
    };
    int left = AsduRetries - 1;
    bool timedOut = false;
    do {
        --left;
        ++TriesUsed;
        if (IsSerial) {
            try {
                serialClearBuffers();
            } catch (...) {
            }
        }
        SleepMs(10);
        dropStaleInput();
        if (SendFrame(frame)) {
            trace(frame, false);
            if (awaitReply(maxPolls, frame)) {
                timedOut = true;
                if (!IsSerial) WaitMs(500);
            }
        }
    } while (LastFrame.empty() && left >= 0 && !Terminated && !CarrierLost);
    if (LastFrame.empty()) {
        // Once until the meter answers again: a frozen meter's later requests
        // add nothing to it.
        if (timedOut && !Terminated && Protocol == 0 && !noAnswerLogged_) {
            noAnswerLogged_ = true;
            PostLog(" - SIN RESPUESTA A " + RequestName(frame) + " TRAS " +
                        std::to_string(TriesUsed) + (TriesUsed == 1 ? " INTENTO" : " INTENTOS") +
                        " DE " + std::to_string(AsduTimeout) + " S",
                    colour::Red);
        }
        return false;
    }
    noAnswerLogged_ = false;
    trace(LastFrame, true);
    if (Protocol == 0 && TriesUsed > 1) nextCopy_ = {LastFrame, TriesUsed - 1};
    return true;
}

bool TContador_IP::takeReply(const std::string& request) {
    while (RxWaiting()) {
        ExtractFrame();
        if (LastFrame.empty()) return false;
        if (Protocol != 0) return true;
        // A copy of a reply already taken would stand in for the next record;
        // a late reply to an earlier request, or a frame for another station,
        // would put every later exchange one step out.
        const char* dropped =
            takeCopy(LastFrame, request) ? " - TRAMA DESCARTADA, COPIA DE UNA RESPUESTA YA TOMADA: "
            : ReplyFits(request, LastFrame) ? nullptr
                                            : " - TRAMA DESCARTADA, NO RESPONDE A LA PETICION: ";
        if (!dropped) return true;
        PostLog(dropped + TraceDump(LastFrame, true), colour::Red);
        LastFrame.clear();
    }
    return false;
}

bool TContador_IP::takeCopy(const std::string& frame, const std::string& request) {
    if (copy_.left <= 0 || frame != copy_.frame) return false;
    // A fixed frame (an acknowledgement, "no data") says nothing of its own:
    // where it answers this request, the meter's own answer is the same bytes
    // and says the same, so it is taken; one that does not fit is dropped.
    if (frame.size() == 5 && ReplyFits(request, frame)) return false;
    --copy_.left;
    return true;
}

// Right before the send, after the pause: whatever is there belongs to an
// earlier exchange, and every byte that arrives after the send is kept.
void TContador_IP::dropStaleInput() {
    if (!IsSerial && TcpClient && TcpClient->connected()) {
        TcpClient->checkForGracefulDisconnect();
        TcpClient->discardInput();
    }
    ClearRx();
}

bool TContador_IP::awaitReply(int64_t maxPolls, const std::string& request) {
    using namespace std::chrono;
    int64_t polls = 0;
    bool tcpUp = !IsSerial;
    auto pollEnd = steady_clock::now() + milliseconds(100);
    for (;;) {
        const uint64_t seen = RxAppends.load();
        if (tcpUp) {
            // Data that came before a close stays readable and is kept.
            const bool lost = TcpClient->checkForGracefulDisconnect();
            const std::string chunk = TcpClient->readInput();
            if (!chunk.empty()) AppendRx(chunk);
            if (lost) {
                tcpUp = false;
                if (TraceFrames) PostLog(" except!", colour::Red);
                reportLinkFailure(" - CONEXION PERDIDA - ", TcpClient->lastError());
                TcpClient->disconnect();
                polls += 50;
            }
        }
        if (takeReply(request) || Terminated || CarrierLost) return false;
        const auto now = steady_clock::now();
        if (now >= pollEnd) {
            ++polls;
            pollEnd += milliseconds(100);
        }
        if (polls > maxPolls) return true;
        waitForBytes(pollEnd, seen);
    }
}

void TContador_IP::waitForBytes(std::chrono::steady_clock::time_point until, uint64_t seenAppends) {
    using namespace std::chrono;
    if (!IsSerial && TcpClient && TcpClient->connected()) {
        // The socket's own wait wakes on data; a stop request is seen within 100 ms.
        const auto left = ceil<milliseconds>(until - steady_clock::now()).count();
        if (left > 0)
            TcpClient->checkForDataOnSource(static_cast<int>(std::min<int64_t>(left, 100)));
        return;
    }
    std::unique_lock lock(StopMutex);
    StopCv.wait_until(lock, until,
                      [&] { return Terminated.load() || RxAppends.load() != seenAppends; });
}

}  // namespace qv
