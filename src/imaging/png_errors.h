#pragma once
// The PNG codec's exceptions. Each carries its resource number and one fixed
// English text; the text is the whole message (what()).

#include <cstdint>
#include <stdexcept>
#include <string>

namespace qv {

// Resource numbers of the codec's messages.
enum PngMessageId : int {
    PNG_MSG_OUT_MEMORY = 64944,
    PNG_MSG_HEADER_NOT_PRESENT = 64945,
    PNG_MSG_INVALID_NEW_SIZE = 64946,
    PNG_MSG_INVALID_CRC = 64961,
    PNG_MSG_INVALID_IHDR = 64962,
    PNG_MSG_MISSING_MULTIPLE_IDAT = 64963,
    PNG_MSG_ZLIB_ERROR = 64964,
    PNG_MSG_INVALID_PALETTE = 64965,
    PNG_MSG_INVALID_FILE_HEADER = 64966,
    PNG_MSG_IHDR_NOT_FIRST = 64967,
    PNG_MSG_SIZE_EXCEEDS = 64968,
    PNG_MSG_UNKNOWN_PALETTE_ENTRY = 64969,
    PNG_MSG_UNKNOWN_CRITICAL_CHUNK = 64970,
    PNG_MSG_UNKNOWN_COMPRESSION = 64971,
    PNG_MSG_UNKNOWN_INTERLACE = 64972,
    PNG_MSG_NOT_SAME_CHUNK = 64973,
    PNG_MSG_UNEXPECTED_END = 64974,
    PNG_MSG_NO_IMAGE_DATA = 64975,
};

// The codec's string resources: the text of a message number, empty when the
// number is not one of the codec's.
std::string PngMessage(int id);

// Base of every codec exception; Id() is the message number it was raised with.
class PngException : public std::runtime_error {
  public:
    PngException(int id, const std::string& text) : std::runtime_error(text), id_(id) {}
    int Id() const { return id_; }

  private:
    int id_;
};

#define QV_PNG_EXCEPTION(Name)                                            \
    class Name : public PngException {                                    \
      public:                                                             \
        Name(int id, const std::string& text) : PngException(id, text) {} \
    }

QV_PNG_EXCEPTION(EPNGOutMemory);
QV_PNG_EXCEPTION(EPngError);
QV_PNG_EXCEPTION(EPngUnexpectedEnd);
QV_PNG_EXCEPTION(EPngInvalidCRC);
QV_PNG_EXCEPTION(EPngInvalidIHDR);
QV_PNG_EXCEPTION(EPNGMissingMultipleIDAT);
QV_PNG_EXCEPTION(EPNGZLIBError);
QV_PNG_EXCEPTION(EPNGInvalidPalette);
QV_PNG_EXCEPTION(EPNGInvalidFileHeader);
QV_PNG_EXCEPTION(EPNGIHDRNotFirst);
QV_PNG_EXCEPTION(EPNGSizeExceeds);
QV_PNG_EXCEPTION(EPNGUnknownCriticalChunk);
QV_PNG_EXCEPTION(EPNGUnknownCompression);
QV_PNG_EXCEPTION(EPNGUnknownInterlace);
QV_PNG_EXCEPTION(EPNGNoImageData);
QV_PNG_EXCEPTION(EPNGHeaderNotPresent);
QV_PNG_EXCEPTION(EPNGInvalidNewSize);

#undef QV_PNG_EXCEPTION

// Raises ExceptionClass with the text of message id (plus an optional suffix,
// used for the zlib description); never returns.
template <class ExceptionClass>
[[noreturn]] void RaisePngError(int id, const std::string& suffix = {}) {
    throw ExceptionClass(id, PngMessage(id) + suffix);
}

// zlib's result texts, "(0)" for Z_OK, indexed by the result code -6 .. 2;
// codes outside that range give "(n)".
std::string ZlibResultText(int code);

}  // namespace qv
