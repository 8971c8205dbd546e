#pragma once
// IEC 60870-5-102 link frames (FT 1.2): building, cutting complete frames out
// of the received byte stream, and checking them. Pure functions, one char per
// byte, usable without a reading thread.
//
// A stored frame is the frame without its first start byte:
//   fixed (5 bytes):  [0] C, [1-2] A, [3] checksum, [4] end byte
//   variable (L+5):   [0-1] L L, [2] $68, [3] C, [4-5] A, [6] type id, [7] VSQ,
//                     [8] cause, [9-10] common address, [11] record address,
//                     [12..L+2] objects (and time tag), [L+3] checksum, [L+4] end

#include <cstdint>
#include <string>
#include <vector>

namespace qv {

constexpr uint8_t kFixedStart = 0x10;
constexpr uint8_t kVariableStart = 0x68;
constexpr uint8_t kEndByte = 0x16;

// Control fields sent by the primary station.
constexpr uint8_t kCtlRequestLinkStatus = 0x49;
constexpr uint8_t kCtlResetLink = 0x40;
constexpr uint8_t kCtlClass2Fcb1 = 0x7B;
constexpr uint8_t kCtlClass2Fcb0 = 0x5B;
constexpr uint8_t kCtlUserData = 0x53;
constexpr uint8_t kCtlUserDataFcb1 = 0x73;

// Reply functions (control field and $4F).
constexpr uint8_t kFnAck = 0;
constexpr uint8_t kFnNack = 1;
constexpr uint8_t kFnUserData = 8;
constexpr uint8_t kFnNoData = 9;
constexpr uint8_t kFnLinkStatus = 11;
constexpr uint8_t kCauseNegative = 0x40;

// Type identification of the session-opening request (and of its echo).
constexpr uint8_t kTypeOpenSession = 0xB7;

uint8_t Checksum(const std::string& bytes);
// Wraps user data (control field, link address, data unit) in a variable frame.
std::string VariableFrame(const std::string& user);
// Control field, link address and the head of a request's data unit: type,
// number of objects, cause 6 (activation), measuring point, record address.
std::string RequestHead(uint8_t control, int32_t address, uint8_t type, uint8_t objects,
                        int32_t point, uint8_t record);
std::string FixedFrame(uint8_t control, int32_t address);
std::string OpenSessionFrame(int32_t address, int32_t point, int32_t password);
std::string EndSessionFrame(int32_t address, int32_t point);
std::string EndSessionFrameFcb(int32_t address, int32_t point);

// True when a stored frame body is consistent (length and checksum).
bool CheckFrame(const std::string& body);

// True when a stored reply frame can answer the request frame (start byte
// included): it comes from a secondary station with the request's link
// address, and its function is one the request's function allows (an
// acknowledgement or negative one for a send/confirm, user data or "no data"
// for a data request, the link status for a status request).
bool ReplyFits(const std::string& request, const std::string& reply);

// What a request frame asks for, as the log names it ("PETICION DE DATOS DE
// CLASE 2", "PETICION DE CIERRES DIARIOS", ...).
std::string RequestName(const std::string& request);

// One extraction pass over the receive buffer: drops noise, cuts complete
// frames out and leaves the last one found in lastFrame. Bytes of a frame still
// arriving stay in the buffer. Returns true when a frame was stored.
bool ExtractFrame(std::string& rxBuffer, std::string& lastFrame);

// Each byte as two upper-case hex digits and a blank.
std::string HexDump(const std::string& bytes);
// HexDump of a frame for the log: the access password of a session-opening
// frame, sent or echoed by the meter, shows as "** ** ** ** ", and so does the
// frame's checksum, which would give it away. `stored`: the frame without its
// first start byte, as a received frame is kept.
std::string TraceDump(const std::string& frame, bool stored);
std::vector<uint8_t> StrToBytes(const std::string& text);
std::string BytesToStr(const std::vector<uint8_t>& bytes);

// Readers of a stored frame.
inline uint8_t FrameByte(const std::string& f, std::size_t i) {
    return i < f.size() ? static_cast<uint8_t>(f[i]) : 0;
}
// The reply's function (control field and $4F) of a stored frame, either form.
inline uint8_t FrameFunction(const std::string& f) {
    return (f.size() == 5 ? FrameByte(f, 0) : FrameByte(f, 3)) & 0x4F;
}

}  // namespace qv
