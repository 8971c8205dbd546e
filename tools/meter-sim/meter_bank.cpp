#include "meter_bank.h"

#include <algorithm>

#include "sim_clock.h"

namespace qv::sim {

namespace {

// Control fields of the secondary station (meter) side.
constexpr uint8_t kAck = 0x00;
constexpr uint8_t kNack = 0x01;
constexpr uint8_t kUserData = 0x08;
constexpr uint8_t kNoData = 0x09;
constexpr uint8_t kLinkStatus = 0x0B;
constexpr uint8_t kNotImplemented = 0x0F;

// Type identifications.
constexpr uint8_t kOpenSession = 183;
constexpr uint8_t kEndSession = 187;
constexpr uint8_t kTotalsRequest = 122;
constexpr uint8_t kProfileRequest = 123;

// Causes of transmission.
constexpr uint8_t kCotRequested = 5;
constexpr uint8_t kCotConfirm = 7;
constexpr uint8_t kCotTermination = 10;
constexpr uint8_t kCotUnknownType = 44;
constexpr uint8_t kNegative = 0x40;

uint8_t byteAt(std::string_view s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}

void putLe16(std::string& s, uint32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}

void putLe32(std::string& s, uint32_t v) {
    for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xFF);
}

bool plausible(const SimTime& t) {
    return clock::validDate(t.year, t.month, t.day) && t.hour < 24 && t.minute < 60;
}

}  // namespace

MeterBank::MeterBank(const SimConfig& config) : seed_(config.seed) {
    for (const SimMeter& m : config.meters) {
        State s;
        s.meter = &m;
        states_.push_back(std::move(s));
    }
}

MeterBank::Answer MeterBank::answer(const iec::Frame& frame) {
    uint16_t address = frame.address();
    for (State& s : states_) {
        if (static_cast<uint16_t>(s.meter->linkAddress & 0xFFFF) != address) continue;
        Answer out = respond(s, frame);
        const SimFaults& f = s.meter->faults;
        if (!out.bytes.empty()) {
            ++s.replies;
            if (s.replies == f.lateReply) out.holdMs = f.lateReplyMs;
            // Carried out and kept for a repeat, as any reply is, but it never
            // reaches the line.
            if (s.replies == f.loseReply) out.bytes.clear();
        }
        return out;
    }
    return {};
}

MeterBank::Answer MeterBank::respond(State& s, const iec::Frame& frame) {
    Answer out;
    uint16_t address = frame.address();
    out.meter = s.meter;
    if (s.meter->faults.silence == Silence::All) return out;

    uint8_t c = frame.control();
    if (!(c & 0x40)) return out;  // not from a primary station
    bool fcv = (c & 0x10) != 0;
    // A repeated frame with the same frame count bit is a retry after a lost reply:
    // the meter sends its last reply again instead of moving on (unless it is one
    // that does not keep its last reply).
    if (fcv && s.lastReply && s.lastRequest == frame.raw && !s.meter->faults.noRepeat) {
        out.bytes = *s.lastReply;
        return out;
    }
    std::string reply =
        frame.fixed() ? handleFixed(s, c, address) : handleUserData(s, address, frame.asdu());
    if ((c & 0x0F) == 0) {
        s.lastRequest.clear();
        s.lastReply.reset();
    } else if (fcv) {
        s.lastRequest = frame.raw;
        if (reply.empty())
            s.lastReply.reset();
        else
            s.lastReply = reply;
    }
    out.bytes = std::move(reply);
    if (s.loseReply) {
        // Carried out and kept for a repeat, but it never reaches the line.
        s.loseReply = false;
        out.bytes.clear();
    }
    return out;
}

std::string MeterBank::handleFixed(State& s, uint8_t c, uint16_t address) {
    switch (c & 0x0F) {
        case 9:  // request status of link
            return iec::fixedFrame(kLinkStatus, address);
        case 0:  // reset of remote link: pending answers are gone
            s.queued.clear();
            s.job.reset();
            s.termination.reset();
            return iec::fixedFrame(kAck, address);
        case 11:  // request class 2 data
            return poll(s, address);
        case 10:  // request class 1 data: this meter never has any
            return iec::fixedFrame(kNoData, address);
        default:
            return iec::fixedFrame(kNotImplemented, address);
    }
}

std::string MeterBank::poll(State& s, uint16_t address) {
    if (!s.queued.empty()) {
        std::string asdu = std::move(s.queued.front());
        s.queued.pop_front();
        return iec::variableFrame(kUserData, address, asdu);
    }
    if (s.job && s.job->next < s.job->times.size()) {
        if (s.meter->faults.silence == Silence::Data) return {};
        const SimTime& t = s.job->times[s.job->next++];
        // No reply, so none is kept: the repeated poll finds the transfer over.
        if (s.meter->faults.loseLast && s.job->increments && s.job->next == s.job->times.size())
            return {};
        s.loseReply = ++s.dataFrames == s.meter->faults.loseData;
        return iec::variableFrame(kUserData, address, dataAsdu(s, *s.job, t));
    }
    s.job.reset();
    if (s.termination) {
        std::string asdu = std::move(*s.termination);
        s.termination.reset();
        return iec::variableFrame(kUserData, address, asdu);
    }
    return iec::fixedFrame(kNoData, address);
}

std::string MeterBank::dataAsdu(const State& s, const Job& job, const SimTime& t) const {
    const SimFaults& f = s.meter->faults;
    std::vector<int> objects = job.addresses;
    int want = std::max(0, f.objectCount);
    for (int extra = 7; static_cast<int>(objects.size()) < want; ++extra) objects.push_back(extra);
    if (static_cast<int>(objects.size()) > want) objects.resize(want);
    int declared = f.declaredCount >= 0 ? f.declaredCount : static_cast<int>(objects.size());

    std::string a;
    a += static_cast<char>(job.dataType);
    a += static_cast<char>(declared & 0x7F);
    a += static_cast<char>(kCotRequested | (f.negativeData ? kNegative : 0));
    putLe16(a, job.point);
    a += static_cast<char>(job.record);
    int link = s.meter->linkAddress;
    for (int reg : objects) {
        uint32_t v = job.increments ? profileValue(seed_, link, reg, t, job.period)
                                    : counterValue(seed_, link, reg, t);
        const bool missing =
            reg == f.missingRegister || (!job.increments && reg == f.closureMissing);
        a += static_cast<char>(missing ? 0 : reg);
        putLe32(a, v);
        a += static_cast<char>(reg > 6 ? 0x80 : 0);  // quality: the extra objects invalid
    }
    SimTime tag = t;
    if (!job.increments && f.closureMinute >= 0) {
        tag.hour = f.closureMinute / 60;
        tag.minute = f.closureMinute % 60;
        tag.summer = isSummerTime(tag);
    }
    a += iec::encodeTimeTag(tag);
    return a;
}

MeterBank::Job MeterBank::requestedJob(const SimFaults& f, std::string_view asdu, uint16_t point,
                                       const SimTime& from, const SimTime& to) {
    Job job;
    job.record = byteAt(asdu, 5);
    job.point = point;
    job.dataType = byteAt(asdu, 0) == kTotalsRequest ? 8 : 11;
    job.increments = byteAt(asdu, 0) == kProfileRequest;
    job.period = job.record == 11 ? 60 : job.record == 12 ? 15 : 1440;
    int first = byteAt(asdu, 6), last = byteAt(asdu, 7);
    for (int r = std::max(first, 1); r <= std::min(last, 6); ++r) job.addresses.push_back(r);
    job.times = recordTimes(from, to, job.period);
    if (job.increments)
        job.times.erase(
            job.times.begin(),
            job.times.begin() + std::min<size_t>(job.times.size(), std::max(0, f.skipFirst)));
    const size_t repeated = static_cast<size_t>(std::max(0, f.repeatRecord));
    if (job.increments && repeated >= 2 && repeated <= job.times.size())
        job.times[repeated - 1] = job.times[repeated - 2];
    // A meter that keeps sending: the last record over and over.
    if (!job.times.empty())
        job.times.insert(job.times.end(), static_cast<size_t>(std::max(0, f.extraRecords)),
                         job.times.back());
    return job;
}

std::string MeterBank::handleUserData(State& s, uint16_t address, std::string_view asdu) {
    const SimFaults& f = s.meter->faults;
    if (asdu.size() < 6) return iec::fixedFrame(kNack, address);
    uint8_t type = byteAt(asdu, 0);
    uint16_t point = static_cast<uint16_t>(byteAt(asdu, 3) | (byteAt(asdu, 4) << 8));
    bool pointOk = point == static_cast<uint16_t>(s.meter->measurePoint & 0xFFFF);
    auto confirm = [&](bool negative) {
        std::string c(asdu);
        c[2] = static_cast<char>(kCotConfirm | (negative ? kNegative : 0));
        return c;
    };

    if (type == kOpenSession) {
        if (f.silence == Silence::OpenSession) return {};
        if (f.nackOpenSession) return iec::fixedFrame(kNack, address);
        uint32_t password = 0;
        if (asdu.size() >= 10)
            for (int i = 0; i < 4; ++i) password |= uint32_t(byteAt(asdu, 6 + i)) << (8 * i);
        bool ok = asdu.size() >= 10 && pointOk && password == s.meter->password;
        s.sessionOpen = ok;
        s.queued.clear();
        s.job.reset();
        s.termination.reset();
        s.queued.push_back(confirm(!ok));
        if (!ok && f.sessionCause > 0)
            s.queued.back()[2] = static_cast<char>(f.sessionCause & 0x3F);
        return iec::fixedFrame(kAck, address);
    }
    if (type == kEndSession) {
        s.sessionOpen = false;
        s.queued.clear();
        s.job.reset();
        s.termination.reset();
        s.queued.push_back(confirm(false));
        return iec::fixedFrame(kAck, address);
    }
    if (type == kTotalsRequest || type == kProfileRequest) {
        if (f.silence == Silence::Requests) return {};
        if (f.nackRequests) return iec::fixedFrame(kNack, address);
        s.queued.clear();
        s.job.reset();
        s.termination.reset();
        std::optional<SimTime> from, to;
        if (asdu.size() >= 18) {
            from = iec::decodeTimeTag(asdu.substr(8, 5));
            to = iec::decodeTimeTag(asdu.substr(13, 5));
        }
        bool ok = s.sessionOpen && pointOk && from && to && plausible(*from) && plausible(*to);
        if (!ok || f.negativeConfirmation) {
            s.queued.push_back(confirm(true));
            return iec::fixedFrame(kAck, address);
        }
        s.job = requestedJob(f, asdu, point, *from, *to);
        s.queued.push_back(confirm(false));
        std::string term(asdu);
        term[2] = static_cast<char>(kCotTermination);
        s.termination = std::move(term);
        return iec::fixedFrame(kAck, address);
    }
    // Unknown type: accepted on the link, refused in the application layer.
    std::string refused(asdu);
    refused[2] = static_cast<char>(kCotUnknownType | kNegative);
    s.queued.clear();
    s.queued.push_back(std::move(refused));
    return iec::fixedFrame(kAck, address);
}

}  // namespace qv::sim
