#pragma once
// Shared helpers of the PNG codec tests: hand-made files, loading and saving them.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "imaging/png_picture.h"
#include "imaging/stream.h"
#include "picture_test_helpers.h"

namespace qv::pngtest {

using namespace std::string_literals;
using test::ReadFileBytes;
using test::RunCommand;
using test::ScratchDir;
using test::WriteFileBytes;

std::string Signature();
// One chunk with its length and CRC.
std::string Chunk(const std::string& type, const std::string& data);
std::string IhdrData(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace = 0,
                     uint8_t compression = 0);
// Signature and header chunk.
std::string Head(uint32_t w, uint32_t h, uint8_t depth, uint8_t type, uint8_t interlace = 0);
std::string End();
std::string Zlib(const std::string& raw, int level = 6);
// A whole file: header, extra chunks, one data chunk of the compressed rows, end.
std::string MakePng(uint32_t w, uint32_t h, uint8_t depth, uint8_t type,
                    const std::string& filteredRows, const std::string& extra = {});

inline std::unique_ptr<TPNGPicture> Load(const std::string& bytes) {
    return test::LoadPicture<TPNGPicture>(bytes);
}
inline std::string Save(TPNGPicture& picture) {
    return test::SavePicture(picture);
}

// Runs f; answers the number and text of the E it raised, {0, ""} when none.
template <class E, class F>
std::pair<int, std::string> Raised(F f) {
    try {
        f();
    } catch (const E& e) {
        return {e.Id(), e.what()};
    }
    return {0, ""};
}

// The number of the E that loading file raises, 0 when none.
template <class E>
int FailureId(const std::string& file, TPNGPicture* into = nullptr) {
    TPNGPicture own;
    MemoryStream s(file);
    return Raised<E>([&] { (into ? *into : own).LoadFromStream(s); }).first;
}

// The chunk types of a file in order (stops at a damaged length).
std::vector<std::string> ChunkTypes(const std::string& file);
// The data of every chunk of one type, in order.
std::vector<std::string> ChunkData(const std::string& file, const std::string& type);

}  // namespace qv::pngtest
