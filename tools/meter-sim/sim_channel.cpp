#include "sim_channel.h"

#include <algorithm>
#include <cctype>

namespace qv::sim {

namespace {

std::string hex(std::string_view bytes) {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (char c : bytes) {
        auto b = static_cast<uint8_t>(c);
        s += digits[b >> 4];
        s += digits[b & 15];
        s += ' ';
    }
    if (!s.empty()) s.pop_back();
    return s;
}

std::string printable(std::string_view bytes) {
    std::string s;
    for (char c : bytes) {
        if (c == '\r')
            s += "\\r";
        else if (c == '\n')
            s += "\\n";
        else if (static_cast<uint8_t>(c) < 32 || static_cast<uint8_t>(c) > 126)
            s += '.';
        else
            s += c;
    }
    return s;
}

std::chrono::milliseconds ms(int v) {
    return std::chrono::milliseconds(std::max(0, v));
}

}  // namespace

SimChannel::SimChannel(const SimConfig& config, Kind kind, bool withModem, bool dropArmed,
                       SimCounters& counters, uint32_t channelId)
    : config_(config),
      kind_(kind),
      withModem_(withModem),
      dropArmed_(dropArmed),
      counters_(counters),
      rng_(config.seed * 2654435761u + channelId),
      bank_(config),
      echo_(config.modem.echo) {}

void SimChannel::trace(const std::string& line) const {
    if (config_.trace) config_.trace(line);
}

void SimChannel::send(std::string bytes, SimClock::time_point due) {
    due = std::max(due, lastDue_);
    lastDue_ = due;
    out_.push_back(Output{due, std::move(bytes), false});
}

void SimChannel::resetProtocol() {
    late_.reset();
    frames_.clear();
    requests_.clear();
    bank_ = MeterBank(config_);
}

void SimChannel::receive(std::string_view bytes, SimClock::time_point now) {
    if (!withModem_) {
        feedProtocol(bytes, now);
        return;
    }
    for (char ch : bytes) modemByte(ch, now);
}

void SimChannel::modemByte(char ch, SimClock::time_point now) {
    switch (mode_) {
        case Mode::Restarting:
            return;  // deaf while it restarts
        case Mode::Dialling:
            // Any character aborts a call being set up, as on a real modem.
            dialAt_.reset();
            mode_ = Mode::Command;
            modemSay("NO CARRIER", now);
            return;
        case Mode::Data: {
            auto guard = ms(config_.modem.guardMs);
            if (ch == '+' && pluses_ == 0 && now - lastDataRx_ >= guard) {
                pluses_ = 1;
                return;
            }
            if (ch == '+' && pluses_ > 0 && pluses_ < 3) {
                if (++pluses_ == 3) escapeAt_ = now + guard;
                return;
            }
            if (pluses_ > 0) {
                // Not an escape after all: the pluses were data.
                std::string held(pluses_, '+');
                pluses_ = 0;
                escapeAt_.reset();
                feedProtocol(held, now);
            }
            lastDataRx_ = now;
            feedProtocol(std::string_view(&ch, 1), now);
            return;
        }
        case Mode::Command:
            break;
    }
    if (echo_) send(std::string(1, ch), now);
    if (ch == '\r') {
        std::string line = std::move(line_);
        line_.clear();
        modemLine(std::move(line), now);
    } else if (ch != '\n' && line_.size() < 256) {
        line_ += ch;
    }
}

void SimChannel::modemSay(const std::string& text, SimClock::time_point now) {
    trace("modem << " + text);
    send("\r\n" + text + "\r\n", now);
}

void SimChannel::modemLine(std::string line, SimClock::time_point now) {
    const ModemOptions& m = config_.modem;
    std::string up;
    for (char c : line)
        if (c != ' ') up += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (up.rfind("AT", 0) != 0) {
        if (!up.empty()) trace("modem ignores " + printable(line));
        return;
    }
    trace("modem >> " + printable(line));
    std::string cmd = up.substr(2);
    bool gsm = m.kind == ModemKind::Gsm;
    if (cmd.empty()) return modemSay("OK", now);
    switch (cmd[0]) {
        case 'Z':
            if (++atzTries_ < m.atzOkFrom) {
                trace("modem stays silent (try " + std::to_string(atzTries_) + ")");
                return;
            }
            echo_ = m.echo;
            return modemSay("OK", now);
        case 'I': {
            std::string id = m.identification;
            if (id.empty()) id = gsm ? "METER-SIM GSM MODEM 1.0" : "METER-SIM V.34 MODEM 1.0";
            modemSay(id, now);
            return modemSay("OK", now);
        }
        case 'E':
            echo_ = cmd.size() < 2 || cmd[1] != '0';
            return modemSay("OK", now);
        case 'H':
            callUp_ = false;
            return modemSay("OK", now);
        case 'O':
            if (!callUp_) return modemSay("NO CARRIER", now);
            mode_ = Mode::Data;
            lastDataRx_ = now;
            return modemSay(m.connectText, now);
        case 'A':
            return modemSay("NO CARRIER", now);
        case 'D':
            if (callUp_) return modemSay("ERROR", now);
            mode_ = Mode::Dialling;
            if (m.dial != DialResult::Silence) dialAt_ = now + ms(m.dialDelayMs);
            trace("modem dials " + cmd.substr(1));
            return;
        default:
            break;
    }
    if (cmd == "+CREG?") {
        if (!gsm) return modemSay("ERROR", now);
        modemSay("+CREG: 0," + std::to_string(m.cregStat), now);
        return modemSay("OK", now);
    }
    if (cmd == "+CSQ") {
        if (!gsm) return modemSay("ERROR", now);
        modemSay("+CSQ: " + std::to_string(m.csq) + ",99", now);
        return modemSay("OK", now);
    }
    if (cmd.rfind("+CFUN=", 0) == 0) {
        if (!gsm) return modemSay("ERROR", now);
        modemSay("OK", now);
        if (cmd == "+CFUN=1,1") {
            mode_ = Mode::Restarting;
            callUp_ = false;
            line_.clear();
            restartEnd_ = now + ms(m.restartMs);
        }
        return;
    }
    // Set-up commands of an initialisation string (&F, V1, S0=0, ...) are accepted.
    modemSay("OK", now);
}

void SimChannel::tick(SimClock::time_point now) {
    const ModemOptions& m = config_.modem;
    if (dialAt_ && now >= *dialAt_) {
        dialAt_.reset();
        mode_ = Mode::Command;
        switch (m.dial) {
            case DialResult::Connect:
                mode_ = Mode::Data;
                callUp_ = true;
                lastDataRx_ = now;
                resetProtocol();
                modemSay(m.connectText, now);
                break;
            case DialResult::Busy:
                modemSay("BUSY", now);
                break;
            case DialResult::NoCarrier:
                modemSay("NO CARRIER", now);
                break;
            case DialResult::NoDialtone:
                modemSay("NO DIALTONE", now);
                break;
            case DialResult::Silence:
                break;
        }
    }
    if (escapeAt_ && now >= *escapeAt_) {
        escapeAt_.reset();
        pluses_ = 0;
        mode_ = Mode::Command;
        trace("modem escape");
        modemSay("OK", now);
    }
    if (restartEnd_ && now >= *restartEnd_) {
        restartEnd_.reset();
        mode_ = Mode::Command;
        echo_ = m.echo;
        trace("modem restarted");
    }
}

std::optional<SimClock::time_point> SimChannel::nextDeadline() const {
    std::optional<SimClock::time_point> t;
    auto take = [&](const std::optional<SimClock::time_point>& c) {
        if (c && (!t || *c < *t)) t = c;
    };
    take(dialAt_);
    take(escapeAt_);
    take(restartEnd_);
    if (!out_.empty()) take(out_.front().due);
    return t;
}

bool SimChannel::collect(SimClock::time_point now, std::string& out) {
    while (!out_.empty() && out_.front().due <= now) {
        if (out_.front().close) {
            out_.clear();
            return true;
        }
        out += out_.front().bytes;
        out_.pop_front();
    }
    return false;
}

bool SimChannel::dropNow(SimClock::time_point now) {
    if (!dropArmed_ || config_.dropAfterFrames <= 0) return false;
    if (++frameCount_ <= static_cast<uint64_t>(config_.dropAfterFrames)) return false;
    dropArmed_ = config_.dropEveryConnection;
    frameCount_ = 0;
    counters_.connectionsDropped++;
    if (withModem_) {
        trace("line drops: carrier lost");
        callUp_ = false;
        mode_ = Mode::Command;
        pluses_ = 0;
        escapeAt_.reset();
        resetProtocol();
        modemSay("NO CARRIER", now);
    } else if (kind_ == Kind::Tcp) {
        trace("line drops: connection closed");
        lastDue_ = std::max(lastDue_, now);
        out_.push_back(Output{lastDue_, {}, true});
    } else {
        trace("line drops: meters fall silent");
        deaf_ = true;
    }
    return true;
}

void SimChannel::feedProtocol(std::string_view bytes, SimClock::time_point now) {
    if (deaf_) return;
    if (config_.protocol == Protocol::Iec) {
        frames_.append(bytes);
        while (auto f = frames_.next()) {
            counters_.framesReceived++;
            trace("rx " + hex(f->raw));
            if (dropNow(now)) return;
            if (late_ && now >= late_->due) {
                // A late reply that the link held up: it comes in while the
                // station waits for the answer to a later request.
                trace("tx late " + hex(late_->bytes));
                send(std::move(late_->bytes), now);
                late_.reset();
            }
            MeterBank::Answer a = bank_.answer(*f);
            if (!a.meter)
                trace("   unknown link address " + std::to_string(f->address()) + ", ignored");
            else if (a.bytes.empty())
                trace("   no answer");
            else
                scheduleReply(a.bytes, a.meter, now, a.holdMs);
        }
        return;
    }
    requests_.append(bytes);
    while (auto r = requests_.next()) {
        counters_.framesReceived++;
        trace("rx " + hex(*r));
        if (dropNow(now)) return;
        modbus::Answer a = modbus::answer(config_, *r);
        if (a.bytes.empty())
            trace("   no answer");
        else
            scheduleReply(a.bytes, a.meter, now);
    }
}

void SimChannel::scheduleReply(const std::string& frame, const SimMeter* meter,
                               SimClock::time_point now, int holdMs) {
    counters_.repliesSent++;
    trace("tx " + hex(frame) + (holdMs > 0 ? " held back" : ""));
    std::string bytes;
    int noise = meter ? meter->faults.noiseBytes : 0;
    // Noise never holds a start byte, so it cannot be mistaken for a frame.
    static const uint8_t kNoise[] = {0xFF, 0x00, 0xE5, 0xAA, 0x55, 0x7F, 0x80, 0x33};
    for (int i = 0; i < noise; ++i) bytes += static_cast<char>(kNoise[rng_() % sizeof kNoise]);
    bytes += frame;
    auto due = now + ms(config_.replyDelayMs);
    if (holdMs > 0) {
        late_ = LateReply{due + ms(holdMs), std::move(bytes)};
        return;
    }
    int chunk = meter ? meter->faults.splitChunk : 0;
    if (chunk <= 0) {
        send(std::move(bytes), due);
        return;
    }
    for (size_t pos = 0; pos < bytes.size(); pos += chunk) {
        send(bytes.substr(pos, chunk), due);
        due += ms(config_.splitGapMs);
    }
}

}  // namespace qv::sim
