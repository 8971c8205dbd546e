#include "iec_link.h"

#include "sim_clock.h"

namespace qv::sim::iec {

namespace {
uint8_t at(std::string_view s, size_t i) {
    return static_cast<uint8_t>(s[i]);
}
}  // namespace

uint8_t checksum(std::string_view bytes) {
    unsigned sum = 0;
    for (char c : bytes) sum += static_cast<uint8_t>(c);
    return static_cast<uint8_t>(sum & 0xFF);
}

std::string fixedFrame(uint8_t control, uint16_t address) {
    std::string f;
    f += static_cast<char>(kFixedStart);
    f += static_cast<char>(control);
    f += static_cast<char>(address & 0xFF);
    f += static_cast<char>(address >> 8);
    f += static_cast<char>(checksum(std::string_view(f).substr(1, 3)));
    f += static_cast<char>(kEnd);
    return f;
}

std::string variableFrame(uint8_t control, uint16_t address, std::string_view asdu) {
    std::string body;
    body += static_cast<char>(control);
    body += static_cast<char>(address & 0xFF);
    body += static_cast<char>(address >> 8);
    body.append(asdu);
    auto len = static_cast<char>(body.size() & 0xFF);
    std::string f;
    f += static_cast<char>(kVariableStart);
    f += len;
    f += len;
    f += static_cast<char>(kVariableStart);
    f += body;
    f += static_cast<char>(checksum(body));
    f += static_cast<char>(kEnd);
    return f;
}

uint16_t Frame::address() const {
    size_t p = fixed() ? 2 : 5;
    return static_cast<uint16_t>(at(raw, p) | (at(raw, p + 1) << 8));
}

std::string_view Frame::asdu() const {
    if (fixed()) return {};
    std::string_view v(raw);
    return v.substr(7, raw.size() - 9);
}

std::optional<Frame> FrameExtractor::next() {
    for (;;) {
        size_t skip = 0;
        while (skip < buffer_.size() && at(buffer_, skip) != kFixedStart &&
               at(buffer_, skip) != kVariableStart)
            ++skip;
        buffer_.erase(0, skip);
        if (buffer_.empty()) return std::nullopt;

        std::string_view b(buffer_);
        if (at(b, 0) == kFixedStart) {
            if (b.size() < 6) return std::nullopt;
            if (checksum(b.substr(1, 3)) == at(b, 4) && at(b, 5) == kEnd) {
                Frame f{std::string(b.substr(0, 6))};
                buffer_.erase(0, 6);
                return f;
            }
            buffer_.erase(0, 1);
            continue;
        }
        // Variable frame: $68 L L $68 C A A ... CS $16
        if (b.size() < 4) return std::nullopt;
        size_t len = at(b, 1);
        if (at(b, 2) != len || at(b, 3) != kVariableStart || len < 3) {
            buffer_.erase(0, 1);
            continue;
        }
        if (b.size() < len + 6) return std::nullopt;
        if (checksum(b.substr(4, len)) == at(b, 4 + len) && at(b, 5 + len) == kEnd) {
            Frame f{std::string(b.substr(0, len + 6))};
            buffer_.erase(0, len + 6);
            return f;
        }
        buffer_.erase(0, 1);
    }
}

std::string encodeTimeTag(const SimTime& t) {
    std::string tag(5, '\0');
    tag[0] = static_cast<char>(t.minute & 0x3F);
    tag[1] = static_cast<char>((t.hour & 0x1F) | (t.summer ? 0x80 : 0));
    int wd = clock::validDate(t.year, t.month, t.day) ? clock::weekday(t.year, t.month, t.day) : 0;
    tag[2] = static_cast<char>((t.day & 0x1F) | (wd << 5));
    tag[3] = static_cast<char>(t.month & 0x0F);
    tag[4] = static_cast<char>((t.year - 2000) & 0xFF);
    return tag;
}

std::optional<SimTime> decodeTimeTag(std::string_view five) {
    if (five.size() < 5) return std::nullopt;
    SimTime t;
    t.minute = at(five, 0) & 0x3F;
    t.hour = at(five, 1) & 0x1F;
    t.summer = (at(five, 1) & 0x80) != 0;
    t.day = at(five, 2) & 0x1F;
    t.month = at(five, 3) & 0x0F;
    t.year = 2000 + at(five, 4);
    return t;
}

}  // namespace qv::sim::iec
