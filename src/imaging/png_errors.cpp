#include "imaging/png_errors.h"

namespace qv {

std::string PngMessage(int id) {
    switch (id) {
        case PNG_MSG_OUT_MEMORY:
            return "Some operation could not be performed because the system is out of "
                   "resources. Close some windows and try again.";
        case PNG_MSG_HEADER_NOT_PRESENT:
            return "This operation is not valid because the current image contains no valid "
                   "header.";
        case PNG_MSG_INVALID_NEW_SIZE:
            return "The new size provided for image resizing is invalid.";
        case PNG_MSG_INVALID_CRC:
            return "This \"Portable Network Graphics\" image is not valid because it contains "
                   "invalid pieces of data (crc error)";
        case PNG_MSG_INVALID_IHDR:
            return "The \"Portable Network Graphics\" image could not be loaded because one of "
                   "its main piece of data (ihdr) might be corrupted";
        case PNG_MSG_MISSING_MULTIPLE_IDAT:
            return "This \"Portable Network Graphics\" image is invalid because it has missing "
                   "image parts.";
        case PNG_MSG_ZLIB_ERROR:
            return "Could not decompress the image because it contains invalid compressed "
                   "data.\r\n Description: ";
        case PNG_MSG_INVALID_PALETTE:
            return "The \"Portable Network Graphics\" image contains an invalid palette.";
        case PNG_MSG_INVALID_FILE_HEADER:
            return "The file being readed is not a valid \"Portable Network Graphics\" image "
                   "because it contains an invalid header. This file may be corruped, try "
                   "obtaining it again.";
        case PNG_MSG_IHDR_NOT_FIRST:
            return "This \"Portable Network Graphics\" image is not supported or it might be "
                   "invalid.\r\n(IHDR chunk is not the first)";
        case PNG_MSG_SIZE_EXCEEDS:
            return "This \"Portable Network Graphics\" image is not supported because either "
                   "it's width or height exceeds the maximum size, which is 65535 pixels "
                   "length.";
        case PNG_MSG_UNKNOWN_PALETTE_ENTRY:
            return "There is no such palette entry.";
        case PNG_MSG_UNKNOWN_CRITICAL_CHUNK:
            return "This \"Portable Network Graphics\" image contains an unknown critical part "
                   "which could not be decoded.";
        case PNG_MSG_UNKNOWN_COMPRESSION:
            return "This \"Portable Network Graphics\" image is encoded with an unknown "
                   "compression scheme which could not be decoded.";
        case PNG_MSG_UNKNOWN_INTERLACE:
            return "This \"Portable Network Graphics\" image uses an unknown interlace scheme "
                   "which could not be decoded.";
        case PNG_MSG_NOT_SAME_CHUNK:
            return "The chunks must be compatible to be assigned.";
        case PNG_MSG_UNEXPECTED_END:
            return "This \"Portable Network Graphics\" image is invalid because the decoder "
                   "found an unexpected end of the file.";
        case PNG_MSG_NO_IMAGE_DATA:
            return "This \"Portable Network Graphics\" image contains no data.";
        default:
            return {};
    }
}

std::string ZlibResultText(int code) {
    static const char* const kTexts[] = {
        "incompatible version (-6)",
        "buffer error (-5)",
        "insufficient memory (-4)",
        "data error (-3)",
        "stream error (-2)",
        "file error (-1)",
        "(0)",
        "stream end (1)",
        "need dictionary (2)",
    };
    if (code < -6 || code > 2) {
        std::string text(1, '(');
        text.append(std::to_string(code));
        text.push_back(')');
        return text;
    }
    return kTexts[code + 6];
}

}  // namespace qv
