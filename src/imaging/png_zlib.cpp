#include "imaging/png_zlib.h"

#include <zlib.h>

#include <array>
#include <cstring>

#include "imaging/png_errors.h"

namespace qv {

namespace {

std::string ZlibMessage(const z_stream& z, int code) {
    if (z.msg) return z.msg;
    return ZlibResultText(code);
}

// Output is gathered this many bytes per call, as the stream wrappers always have.
constexpr size_t kStep = 256;

}  // namespace

uint32_t PngCRC32(uint32_t crc, const void* buffer, size_t count) {
    // zlib's CRC is the same polynomial, several bytes a step; it inverts on the
    // way in and out, which the two inversions here undo.
    return ~uint32_t(crc32_z(~crc & 0xFFFFFFFFu, static_cast<const Bytef*>(buffer), count));
}

uint32_t ChunkCRC(const char type[4], const void* data, size_t size) {
    uint32_t crc = PngCRC32(0xFFFFFFFFu, type, 4);
    if (size > 0) crc = PngCRC32(crc, data, size);
    return ~crc;
}

namespace {

// Starts a zlib stream over the whole input; false, with the error text, when
// the input is too large for one stream or zlib cannot start.
template <class Init>
bool openStream(z_stream& z, const void* input, size_t inputSize, std::string& output,
                std::string& error, Init init) {
    output.clear();
    error.clear();
    if (inputSize > 0xFFFFFFFFu) {
        error = ZlibResultText(Z_BUF_ERROR);
        return false;
    }
    std::memset(&z, 0, sizeof z);
    const int rc = init(z);
    if (rc != Z_OK) {
        error = ZlibMessage(z, rc);
        return false;
    }
    z.next_in = static_cast<Bytef*>(const_cast<void*>(input));
    z.avail_in = static_cast<uInt>(inputSize);
    return true;
}

}  // namespace

bool InflateBuffer(const void* input, size_t inputSize, std::string& output, std::string& error,
                   size_t limit) {
    z_stream z;
    if (!openStream(z, input, inputSize, output, error,
                    [](z_stream& st) { return inflateInit(&st); }))
        return false;
    int rc;
    unsigned char step[kStep];
    bool ok = false;
    for (;;) {
        z.next_out = step;
        z.avail_out = kStep;
        rc = inflate(&z, Z_NO_FLUSH);
        size_t produced = kStep - z.avail_out;
        if (rc == Z_OK || rc == Z_STREAM_END) {
            if (output.size() + produced > limit) {
                error = ZlibResultText(Z_MEM_ERROR);
                break;
            }
            output.append(reinterpret_cast<char*>(step), produced);
        }
        if (rc == Z_STREAM_END) {
            ok = true;
            break;
        }
        if (rc != Z_OK) {
            error = ZlibMessage(z, rc);
            break;
        }
        // zlib answers Z_OK without progress only when it wants input it will
        // never get; a stream cut short must end here, not spin.
        if (produced == 0 && z.avail_in == 0) {
            error = ZlibResultText(Z_BUF_ERROR);
            break;
        }
    }
    inflateEnd(&z);
    return ok;
}

bool DeflateBuffer(const void* input, size_t inputSize, int level, std::string& output,
                   std::string& error) {
    z_stream z;
    if (!openStream(z, input, inputSize, output, error,
                    [level](z_stream& st) { return deflateInit(&st, level); }))
        return false;
    int rc;
    unsigned char step[kStep];
    bool ok = false;
    for (;;) {
        z.next_out = step;
        z.avail_out = kStep;
        rc = deflate(&z, Z_FINISH);
        if (rc < 0) {
            error = ZlibMessage(z, rc);
            break;
        }
        output.append(reinterpret_cast<char*>(step), kStep - z.avail_out);
        if (rc == Z_STREAM_END) {
            ok = true;
            break;
        }
    }
    deflateEnd(&z);
    return ok;
}

}  // namespace qv
