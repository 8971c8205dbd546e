#include "meter/frames.h"

#include <cstdio>

namespace qv {

namespace {

void appendLe16(std::string& s, int32_t v) {
    s += static_cast<char>(v & 0xFF);
    s += static_cast<char>((v >> 8) & 0xFF);
}

}  // namespace

std::string VariableFrame(const std::string& user) {
    std::string f;
    f += static_cast<char>(kVariableStart);
    f += static_cast<char>(user.size());
    f += static_cast<char>(user.size());
    f += static_cast<char>(kVariableStart);
    f += user;
    f += static_cast<char>(Checksum(user));
    f += static_cast<char>(kEndByte);
    return f;
}

std::string RequestHead(uint8_t control, int32_t address, uint8_t type, uint8_t objects,
                        int32_t point, uint8_t record) {
    std::string u;
    u += static_cast<char>(control);
    appendLe16(u, address);
    u += static_cast<char>(type);
    u += static_cast<char>(objects);
    u += '\x06';
    appendLe16(u, point);
    u += static_cast<char>(record);
    return u;
}

namespace {

std::string endSession(uint8_t control, int32_t address, int32_t point) {
    return VariableFrame(RequestHead(control, address, 0xBB, 0, point, 0));
}

}  // namespace

uint8_t Checksum(const std::string& bytes) {
    unsigned sum = 0;
    for (unsigned char c : bytes) sum += c;
    return static_cast<uint8_t>(sum & 0xFF);
}

std::string FixedFrame(uint8_t control, int32_t address) {
    std::string body;
    body += static_cast<char>(control);
    appendLe16(body, address);
    std::string f(1, static_cast<char>(kFixedStart));
    f += body;
    f += static_cast<char>(Checksum(body));
    f += static_cast<char>(kEndByte);
    return f;
}

std::string OpenSessionFrame(int32_t address, int32_t point, int32_t password) {
    std::string u = RequestHead(kCtlUserData, address, kTypeOpenSession, 1, point, 0);
    const uint32_t p = static_cast<uint32_t>(password);
    for (int i = 0; i < 4; ++i) u += static_cast<char>((p >> (8 * i)) & 0xFF);
    return VariableFrame(u);
}

std::string EndSessionFrame(int32_t address, int32_t point) {
    return endSession(kCtlUserData, address, point);
}

std::string EndSessionFrameFcb(int32_t address, int32_t point) {
    return endSession(kCtlUserDataFcb1, address, point);
}

bool CheckFrame(const std::string& body) {
    const std::size_t n = body.size();
    if (n < 5) return false;
    if (n == 5) return Checksum(body.substr(0, 3)) == FrameByte(body, 3);
    const std::size_t l = FrameByte(body, 0);
    if (n != l + 5) return false;
    return Checksum(body.substr(3, l)) == FrameByte(body, l + 3);
}

bool ReplyFits(const std::string& request, const std::string& reply) {
    const bool fixed = FrameByte(request, 0) == kFixedStart;
    const std::size_t at = fixed ? 1 : 4;  // the request's control field
    if (request.size() < at + 3) return true;
    const std::size_t replyAt = reply.size() == 5 ? 1 : 4;  // the reply's address
    if (FrameByte(reply, replyAt) != FrameByte(request, at + 1) ||
        FrameByte(reply, replyAt + 1) != FrameByte(request, at + 2))
        return false;
    const uint8_t function = FrameFunction(reply);  // $40 set: a primary station's frame
    switch (FrameByte(request, at) & 0x0F) {
        case 0:  // reset of the remote link
        case 3:  // user data, send/confirm
            return reply.size() == 5 && (function == kFnAck || function == kFnNack);
        case 9:  // request status of link
            return reply.size() == 5 && function == kFnLinkStatus;
        case 10:  // request class 1 data
        case 11:  // request class 2 data
            return reply.size() == 5 ? function == kFnNoData : function == kFnUserData;
        default:
            return true;
    }
}

std::string RequestName(const std::string& request) {
    if (FrameByte(request, 0) == kFixedStart) {
        switch (FrameByte(request, 1) & 0x0F) {
            case 0:
                return "REPOSICION DE ENLACE";
            case 9:
                return "SOLICITUD DE ESTADO DE ENLACE";
            case 10:
                return "PETICION DE DATOS DE CLASE 1";
            case 11:
                return "PETICION DE DATOS DE CLASE 2";
            default:
                return "TRAMA " + HexDump(request);
        }
    }
    switch (FrameByte(request, 7)) {  // the type identification
        case kTypeOpenSession:
            return "INICIO DE SESION";
        case 0xBB:
            return "FIN DE SESION";
        case 122:
            return "PETICION DE CIERRES DIARIOS";
        case 123:
            return FrameByte(request, 12) == 11 ? "PETICION DE CIERRES HORARIOS"
                                                : "PETICION DE CIERRES CUARTIHORARIOS";
        default:
            return "TRAMA " + HexDump(request);
    }
}

bool ExtractFrame(std::string& rx, std::string& lastFrame) {
    if (rx.size() <= 5) return false;
    bool stored = false;
    auto byte = [&rx](std::size_t i) { return static_cast<uint8_t>(rx[i]); };

    std::size_t skip = 0;
    while (rx.size() - skip >= 6 && byte(skip) != kFixedStart && byte(skip) != kVariableStart)
        ++skip;
    rx.erase(0, skip);

    if (rx.size() >= 6 && byte(0) == kFixedStart) {
        std::string body = rx.substr(1, 5);
        if (CheckFrame(body)) {
            lastFrame = std::move(body);
            stored = true;
            rx.erase(0, 6);
        } else {
            rx.erase(0, 1);
        }
    }

    if (rx.size() < 6 || byte(0) != kVariableStart) return stored;
    if (byte(1) == byte(2) && byte(3) == kVariableStart) {
        const std::size_t l = byte(1);
        // A variable frame carries at least C and A; a shorter length would
        // pass the check as a fixed frame and fake an acknowledgement.
        if (l < 3) {
            rx.erase(0, 1);
            return stored;
        }
        if (rx.size() >= l + 6) {
            std::string body = rx.substr(1, l + 5);
            if (CheckFrame(body)) {
                lastFrame = std::move(body);
                stored = true;
                rx.erase(0, l + 6);
            } else {
                rx.erase(0, 1);
            }
        }
    } else {
        rx.erase(0, 1);
    }
    return stored;
}

std::string HexDump(const std::string& bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    char buf[4];
    for (unsigned char c : bytes) {
        std::snprintf(buf, sizeof buf, "%02X ", c);
        out += buf;
    }
    return out;
}

std::string TraceDump(const std::string& frame, bool stored) {
    std::string out = HexDump(frame);
    const std::size_t type = stored ? 6 : 7;  // where the type identification is
    const bool variable =
        stored ? FrameByte(frame, 2) == kVariableStart
               : FrameByte(frame, 0) == kVariableStart && FrameByte(frame, 3) == kVariableStart;
    if (!variable || FrameByte(frame, type) != kTypeOpenSession) return out;
    const auto mask = [&](std::size_t i) {
        if (i < frame.size()) out.replace(3 * i, 2, "**");
    };
    // The password: the four bytes after the type, qualifier, cause,
    // measuring point and record address.
    for (std::size_t i = type + 6; i < type + 10; ++i) mask(i);
    // The checksum, behind the L bytes it sums: less the bytes shown it is
    // the sum of the password's bytes, which is the password below 256.
    mask(stored ? std::size_t{FrameByte(frame, 0)} + 3 : std::size_t{FrameByte(frame, 1)} + 4);
    return out;
}

std::vector<uint8_t> StrToBytes(const std::string& text) {
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::string BytesToStr(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

}  // namespace qv
