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
    ++exchanges_;
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
    // A request sent again may have an answer of each try on the way: the
    // late ones of the earlier tries and the repeat. Whichever comes after
    // the one taken is a copy, and comes within the tries' time.
    if (Protocol == 0) {
        // At most some 31 years: the clock's nanoseconds cannot hold the
        // tries of the longest time-out that can be typed.
        const int64_t triesMs = std::max(AsduRetries, 1) * (int64_t{AsduTimeout} * 1000 + 600);
        const auto until = std::chrono::steady_clock::now() +
                           std::chrono::milliseconds(std::min<int64_t>(triesMs, 1'000'000'000'000));
        for (int copy = 1; copy < TriesUsed; ++copy) {
            if (retriedReplies_.size() >= kRetriedRepliesKept) retriedReplies_.pop_front();
            retriedReplies_.push_back({frame, exchanges_, LastFrame, until});
        }
    }
    return true;
}

namespace {
const char* const kCopyDropped = " - TRAMA DESCARTADA, COPIA DE UNA RESPUESTA YA TOMADA: ";
const char* const kMisfitDropped = " - TRAMA DESCARTADA, NO RESPONDE A LA PETICION: ";
}  // namespace

void TContador_IP::dropFrame(const char* why, const std::string& frame) {
    PostLog(why + TraceDump(frame, true), colour::Red);
}

bool TContador_IP::takeReply(const std::string& request) {
    while (RxWaiting()) {
        ExtractFrame();
        if (LastFrame.empty()) return false;
        if (Protocol != 0) return true;
        // A copy of a reply already taken would stand in for the next record;
        // a late reply to an earlier request, or a frame for another station,
        // would put every later exchange one step out.
        Copy copy = copyOf(LastFrame, request);
        if (!held_.empty() && copy != Copy::Sure && ReplyFits(request, LastFrame)) {
            // An answer behind the frame held: that one was a copy, which
            // comes ahead of the request's own answer.
            useCopy(held_);
            dropFrame(kCopyDropped, std::exchange(held_, {}));
            copy = copyOf(LastFrame, request);
        }
        if (copy == Copy::Maybe) {
            // Held for twice the slowest answer so far: an answer behind a
            // copy comes within it.
            const int64_t graceMs = std::clamp<int64_t>(
                2 * slowestReplyMs_, 250, std::max<int64_t>(int64_t{AsduTimeout} * 1000, 250));
            heldUntil_ = std::chrono::steady_clock::now() + std::chrono::milliseconds(graceMs);
            held_ = std::exchange(LastFrame, {});
            continue;
        }
        if (copy == Copy::Sure) useCopy(LastFrame);
        const char* dropped = copy == Copy::Sure              ? kCopyDropped
                              : ReplyFits(request, LastFrame) ? nullptr
                                                              : kMisfitDropped;
        if (!dropped) return true;
        dropFrame(dropped, LastFrame);
        LastFrame.clear();
    }
    return false;
}

void TContador_IP::takeHeld() {
    // The copy did not come yet, or this was it and the answer is late:
    // either way one more of these bytes is still on its way, and is known
    // for a copy when it comes (until the tries' time is over).
    LastFrame = std::exchange(held_, {});
}

TContador_IP::Copy TContador_IP::copyOf(const std::string& frame, const std::string& request) {
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(retriedReplies_, [&](const RetriedReply& r) { return r.until < now; });
    // The request sent again once more right after it (its frame count bit
    // unchanged) is answered with the same bytes again: they are its answer.
    const auto copy = std::ranges::find_if(retriedReplies_, [&](const RetriedReply& r) {
        return r.frame == frame && (r.request != request || r.exchange + 1 != exchanges_);
    });
    if (copy == retriedReplies_.end()) return Copy::No;
    // One that answers this request may be its own answer, the same bytes: an
    // acknowledgement, a "no data", the confirmation of the session's end.
    return ReplyFits(request, frame) ? Copy::Maybe : Copy::Sure;
}

void TContador_IP::useCopy(const std::string& frame) {
    const auto copy = std::ranges::find(retriedReplies_, frame, &RetriedReply::frame);
    if (copy != retriedReplies_.end()) retriedReplies_.erase(copy);
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
    const auto sent = steady_clock::now();
    auto pollEnd = sent + milliseconds(100);
    held_.clear();
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
        if (takeReply(request)) {
            slowestReplyMs_ = std::max<int64_t>(
                slowestReplyMs_, duration_cast<milliseconds>(steady_clock::now() - sent).count());
            return false;
        }
        if (Terminated || CarrierLost) return false;
        const auto now = steady_clock::now();
        if (now >= pollEnd) {
            ++polls;
            pollEnd += milliseconds(100);
        }
        // Nothing came behind a frame held: it is the answer.
        if (!held_.empty() && (now >= heldUntil_ || polls > maxPolls)) {
            takeHeld();
            return false;
        }
        if (polls > maxPolls) return true;
        waitForBytes(held_.empty() ? pollEnd : std::min(pollEnd, heldUntil_), seen);
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
