#include "sim_options.h"

#include <charconv>
#include <functional>
#include <limits>
#include <map>

namespace qv::sim {

namespace {

bool toInt(const std::string& s, int64_t lo, int64_t hi, int64_t& out) {
    if (s.empty()) return false;
    int64_t v = 0;
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec != std::errc() || p != s.data() + s.size() || v < lo || v > hi) return false;
    out = v;
    return true;
}

std::vector<std::string> splitOn(const std::string& s, char sep) {
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t p = s.find(sep, start);
        parts.push_back(s.substr(start, p - start));
        if (p == std::string::npos) break;
        start = p + 1;
    }
    return parts;
}

// Applies one fault spec to a meter; returns an error text, empty when fine.
std::string applyFault(SimFaults& f, const std::string& spec) {
    std::string name = spec, value;
    if (auto eq = spec.find('='); eq != std::string::npos) {
        name = spec.substr(0, eq);
        value = spec.substr(eq + 1);
    }
    auto number = [&](int lo, int hi, int& target) -> std::string {
        int64_t v;
        if (!toInt(value, lo, hi, v))
            return "fault " + name + " needs a number from " + std::to_string(lo) + " to " +
                   std::to_string(hi);
        target = static_cast<int>(v);
        return {};
    };
    if (name == "silent") {
        static const std::map<std::string, Silence> kinds = {{"", Silence::All},
                                                             {"all", Silence::All},
                                                             {"session", Silence::OpenSession},
                                                             {"requests", Silence::Requests},
                                                             {"data", Silence::Data}};
        auto it = kinds.find(value);
        if (it == kinds.end()) return "silent takes all, session, requests or data";
        f.silence = it->second;
        return {};
    }
    auto flag = [&](bool& target) -> std::string {
        if (!value.empty()) return "fault " + name + " takes no value";
        target = true;
        return {};
    };
    if (name == "nack-session") return flag(f.nackOpenSession);
    if (name == "nack-requests") return flag(f.nackRequests);
    if (name == "negative-confirmation") return flag(f.negativeConfirmation);
    if (name == "negative-data") return flag(f.negativeData);
    if (name == "missing") return number(1, 6, f.missingRegister);
    if (name == "objects") return number(0, 40, f.objectCount);
    if (name == "declared") return number(0, 127, f.declaredCount);
    if (name == "noise") return number(0, 1000, f.noiseBytes);
    if (name == "split") return number(1, 1000, f.splitChunk);
    if (name == "exception") return number(1, 255, f.modbusException);
    if (name == "lose-data") return number(1, 1000000, f.loseData);
    if (name == "lose-reply") return number(1, 1000000, f.loseReply);
    if (name == "no-repeat") return flag(f.noRepeat);
    if (name == "lose-last-record") return flag(f.loseLast);
    if (name == "extra-records") return number(0, 1000000, f.extraRecords);
    if (name == "session-cause") return number(1, 63, f.sessionCause);
    if (name == "skip-first") return number(0, 1000000, f.skipFirst);
    if (name == "closure-missing") return number(1, 6, f.closureMissing);
    if (name == "repeat-record") return number(2, 1000000, f.repeatRecord);
    // Two numbers in their ranges, split at sep.
    auto pair = [&](char sep, int64_t hi1, int64_t hi2, int64_t lo, int64_t& a, int64_t& b) {
        const auto at = value.find(sep);
        return at != std::string::npos && toInt(value.substr(0, at), lo, hi1, a) &&
               toInt(value.substr(at + 1), lo, hi2, b);
    };
    if (name == "closure-time") {
        int64_t hh, mm;
        if (!pair(':', 23, 59, 0, hh, mm)) return "closure-time takes HH:MM (00:00 to 23:59)";
        f.closureMinute = static_cast<int>(hh * 60 + mm);
        return {};
    }
    if (name == "late-reply") {
        int64_t n, held;
        if (!pair(',', 1000000, 600000, 1, n, held))
            return "late-reply takes N,MS (N 1 to 1000000, MS 1 to 600000)";
        f.lateReply = static_cast<int>(n);
        f.lateReplyMs = static_cast<int>(held);
        return {};
    }
    return "unknown fault " + name;
}

}  // namespace

std::string usageText() {
    return R"(Usage: meter-sim [options]
Simulated IEC 60870-5-102 meters, optionally behind an AT modem, on TCP or a
pseudo-terminal. Prints one line per endpoint ("tcp HOST:PORT", "pty PATH") and
serves until interrupted (SIGINT or SIGTERM).

Endpoints (at least one):
  --tcp HOST:PORT          listen on TCP; PORT 0 takes any free port; repeatable.
                           HOST defaults to 127.0.0.1 when given as ":PORT"
  --pty PATH               create a pseudo-terminal in raw mode and make PATH a
                           symbolic link to its slave (an existing link is replaced)

Meters:
  --meter LINK:POINT:PASSWORD
                           add a meter: link address, measuring point, password
                           (decimal); repeatable; default one meter 1:1:1
  --seed N                 seed of the counters (default 1)
  --protocol iec|circutor|nrg96
                           iec (default) or Modbus RTU read-input-registers slaves
                           addressed by the low byte of the link address
  --modbus-address N       Modbus answers carry this slave address (default: the
                           request's)

Faults (per meter; LINK "*" means every meter; repeatable):
  --fault LINK:silent[=all|session|requests|data]
                           no answer at all / to the open-session request / to
                           closure requests / to the polls that deliver data
  --fault LINK:nack-session       negative acknowledgement of the open-session request
  --fault LINK:nack-requests      negative acknowledgement of closure requests
  --fault LINK:negative-confirmation
                           closure confirmations with a negative cause of transmission
  --fault LINK:negative-data      data frames with a negative cause of transmission
  --fault LINK:missing=REG        register REG (1..6) goes out under object address 0
  --fault LINK:objects=N          N objects per data frame (5 drops register 6, 7 adds
                                  object 7)
  --fault LINK:declared=N         object count written in the qualifier
  --fault LINK:noise=N            N noise bytes before every reply
  --fault LINK:split=N            replies written in pieces of N bytes
  --fault LINK:exception=CODE     Modbus exception answer with CODE
  --fault LINK:lose-data=N        the reply with the Nth data frame is lost once
  --fault LINK:lose-reply=N       the meter's Nth reply (repeats counted) is lost once;
                                  a repeated request gets it again
  --fault LINK:no-repeat          a repeated frame count bit is carried out again
                                  instead of repeating the last reply
  --fault LINK:lose-last-record   the reply with a load profile's last record is lost,
                                  and the repeated poll gets the end of the transfer
  --fault LINK:extra-records=N    closure data goes on with N more records
  --fault LINK:session-cause=N    a refused session is answered with cause N
  --fault LINK:late-reply=N,MS    the meter's Nth reply (repeats counted) is held back
                                  MS ms; it arrives right after the first request
                                  received after that, ahead of that request's reply
  --fault LINK:skip-first=N       a load profile lacks its first N records (the
                                  meter answers from the N+1th record on)
  --fault LINK:closure-missing=REG
                           daily closures send register REG (1..6) under object
                           address 0; load profiles send it as usual
  --fault LINK:closure-time=HH:MM daily closures carry the time HH:MM of their own
                                  day in their tag instead of 00:00 (their values
                                  stay those of 00:00)
  --fault LINK:repeat-record=N    a load profile's Nth record (N from 2) is the
                                  record before it again, tag and values
  A wrong password is simulated by giving the meter another password.

Line:
  --reply-delay MS         delay before a reply (default 20)
  --split-gap MS           pause between the pieces of a split reply (default 30)
  --drop-after N           the connection drops when frame N+1 arrives (TCP: closed;
                           behind the modem: NO CARRIER; bare pseudo-terminal: the
                           meters fall silent); only the first time unless --drop-every
  --drop-every             drop on every connection

Modem (on the pseudo-terminal; on TCP too with --modem-on-tcp):
  --modem none|gsm|analog  modem in front of the meters (default none)
  --modem-on-tcp           put the modem in front of TCP connections as well
  --no-echo                start with command echo off
  --atz-ok-from N          answer ATZ with OK from the Nth try (earlier tries silent)
  --ati TEXT               identification text for ATI
  --creg N                 AT+CREG? answers +CREG: 0,N (default 1, registered)
  --csq N                  AT+CSQ answers +CSQ: N,99 (default 20; 99 unknown)
  --dial connect|busy|no-carrier|no-dialtone|silence
                           result of ATD (default connect)
  --connect-text TEXT      connect result text (default "CONNECT 9600")
  --dial-delay MS          time from ATD to its result (default 300)
  --guard MS               escape guard time around "+++" (default 1000)
  --restart MS             AT+CFUN=1,1 restart time (default 1000)

Other:
  -v, --verbose            print a trace of frames and modem lines
  -h, --help               this text
)";
}

bool parseCommandLine(const std::vector<std::string>& args, CliOptions& out, std::string& error) {
    std::vector<std::pair<std::string, std::string>> faults;  // link, spec
    SimConfig& c = out.config;
    ModemOptions& m = c.modem;
    size_t i = 0;
    auto value = [&](const std::string& opt, std::string& v) {
        if (i + 1 >= args.size()) {
            error = opt + " needs a value";
            return false;
        }
        v = args[++i];
        return true;
    };
    auto intValue = [&](const std::string& opt, int64_t lo, int64_t hi, int64_t& v) {
        std::string s;
        if (!value(opt, s)) return false;
        if (!toInt(s, lo, hi, v)) {
            error =
                opt + " needs a number from " + std::to_string(lo) + " to " + std::to_string(hi);
            return false;
        }
        return true;
    };
    auto intOpt = [&](const std::string& opt, int64_t lo, int64_t hi, int& target) {
        int64_t v;
        if (!intValue(opt, lo, hi, v)) return false;
        target = static_cast<int>(v);
        return true;
    };
    constexpr int64_t kMs = 600000;

    for (; i < args.size(); ++i) {
        const std::string& a = args[i];
        std::string v;
        if (a == "-h" || a == "--help") {
            out.help = true;
        } else if (a == "-v" || a == "--verbose") {
            out.verbose = true;
        } else if (a == "--tcp") {
            if (!value(a, v)) return false;
            auto colon = v.rfind(':');
            int64_t port;
            if (colon == std::string::npos || !toInt(v.substr(colon + 1), 0, 65535, port)) {
                error = "--tcp needs HOST:PORT";
                return false;
            }
            std::string host = v.substr(0, colon);
            if (host.size() > 2 && host.front() == '[' && host.back() == ']')
                host = host.substr(1, host.size() - 2);
            if (host.empty()) host = "127.0.0.1";
            out.tcp.emplace_back(host, static_cast<uint16_t>(port));
        } else if (a == "--pty") {
            if (!value(a, v)) return false;
            if (out.pty) {
                error = "--pty may be given once";
                return false;
            }
            out.pty = true;
            out.ptyLink = v;
        } else if (a == "--meter") {
            if (!value(a, v)) return false;
            auto parts = splitOn(v, ':');
            int64_t link, point, pass;
            if (parts.size() != 3 || !toInt(parts[0], 0, 65535, link) ||
                !toInt(parts[1], 0, 65535, point) ||
                !toInt(parts[2], 0, std::numeric_limits<uint32_t>::max(), pass)) {
                error = "--meter needs LINK:POINT:PASSWORD (link and point 0..65535)";
                return false;
            }
            SimMeter meter;
            meter.linkAddress = static_cast<int>(link);
            meter.measurePoint = static_cast<int>(point);
            meter.password = static_cast<uint32_t>(pass);
            c.meters.push_back(meter);
        } else if (a == "--seed") {
            int64_t s;
            if (!intValue(a, 0, std::numeric_limits<uint32_t>::max(), s)) return false;
            c.seed = static_cast<uint32_t>(s);
        } else if (a == "--protocol") {
            if (!value(a, v)) return false;
            if (v == "iec" || v == "0")
                c.protocol = Protocol::Iec;
            else if (v == "circutor" || v == "1")
                c.protocol = Protocol::CircutorModbus;
            else if (v == "nrg96" || v == "2")
                c.protocol = Protocol::Nrg96Modbus;
            else {
                error = "--protocol takes iec, circutor or nrg96";
                return false;
            }
        } else if (a == "--modbus-address") {
            if (!intOpt(a, 0, 255, c.modbusReplyAddress)) return false;
        } else if (a == "--fault") {
            if (!value(a, v)) return false;
            auto colon = v.find(':');
            if (colon == std::string::npos) {
                error = "--fault needs LINK:FAULT";
                return false;
            }
            faults.emplace_back(v.substr(0, colon), v.substr(colon + 1));
        } else if (a == "--reply-delay") {
            if (!intOpt(a, 0, kMs, c.replyDelayMs)) return false;
        } else if (a == "--split-gap") {
            if (!intOpt(a, 0, kMs, c.splitGapMs)) return false;
        } else if (a == "--drop-after") {
            if (!intOpt(a, 1, 1000000, c.dropAfterFrames)) return false;
        } else if (a == "--drop-every") {
            c.dropEveryConnection = true;
        } else if (a == "--modem") {
            if (!value(a, v)) return false;
            if (v == "none")
                m.kind = ModemKind::None;
            else if (v == "gsm")
                m.kind = ModemKind::Gsm;
            else if (v == "analog")
                m.kind = ModemKind::Analog;
            else {
                error = "--modem takes none, gsm or analog";
                return false;
            }
        } else if (a == "--modem-on-tcp") {
            m.onTcp = true;
        } else if (a == "--no-echo") {
            m.echo = false;
        } else if (a == "--atz-ok-from") {
            if (!intOpt(a, 1, 1000, m.atzOkFrom)) return false;
        } else if (a == "--ati") {
            if (!value(a, m.identification)) return false;
        } else if (a == "--creg") {
            if (!intOpt(a, 0, 9, m.cregStat)) return false;
        } else if (a == "--csq") {
            if (!intOpt(a, 0, 99, m.csq)) return false;
        } else if (a == "--dial") {
            if (!value(a, v)) return false;
            static const std::map<std::string, DialResult> results = {
                {"connect", DialResult::Connect},
                {"busy", DialResult::Busy},
                {"no-carrier", DialResult::NoCarrier},
                {"no-dialtone", DialResult::NoDialtone},
                {"silence", DialResult::Silence}};
            auto it = results.find(v);
            if (it == results.end()) {
                error = "--dial takes connect, busy, no-carrier, no-dialtone or silence";
                return false;
            }
            m.dial = it->second;
        } else if (a == "--connect-text") {
            if (!value(a, m.connectText)) return false;
        } else if (a == "--dial-delay") {
            if (!intOpt(a, 0, kMs, m.dialDelayMs)) return false;
        } else if (a == "--guard") {
            if (!intOpt(a, 0, kMs, m.guardMs)) return false;
        } else if (a == "--restart") {
            if (!intOpt(a, 0, kMs, m.restartMs)) return false;
        } else {
            error = "unknown option " + a;
            return false;
        }
    }
    if (out.help) return true;
    if (c.meters.empty()) c.meters.push_back(SimMeter{});
    for (auto& [link, spec] : faults) {
        bool any = false;
        for (SimMeter& meter : c.meters) {
            if (link != "*" && link != std::to_string(meter.linkAddress)) continue;
            any = true;
            if (std::string e = applyFault(meter.faults, spec); !e.empty()) {
                error = e;
                return false;
            }
        }
        if (!any) {
            error = "--fault names link address " + link + ", which no meter has";
            return false;
        }
    }
    if (out.tcp.empty() && !out.pty) {
        error = "give --tcp HOST:PORT or --pty PATH";
        return false;
    }
    return true;
}

}  // namespace qv::sim
