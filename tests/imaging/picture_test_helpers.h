#pragma once
// Helpers for the picture suites: files on disk, the independent image tools, and
// portable anymap pictures as the tools write them.

#include <cstdint>
#include <string>
#include <vector>

namespace qv::test {

bool ToolAvailable(const std::string& name);
// Runs a shell command; answers its standard output, exit status in *status.
std::string RunCommand(const std::string& command, int* status = nullptr);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& bytes);

// An RGB picture, rows top-down.
struct RgbImage {
    int Width = 0, Height = 0;
    std::vector<std::uint8_t> Pixels;      // r, g, b per pixel
    std::uint32_t At(int x, int y) const;  // 0xRRGGBB
    void Set(int x, int y, std::uint32_t rgb);
    bool operator==(const RgbImage&) const = default;
};

// Parses P4, P5 or P6 (maxval 255 or 1); empty picture on failure.
RgbImage ParsePnm(const std::string& bytes);
std::string ToPpm(const RgbImage& image);

// LZW data as a GIF holds it: codes (value, bit size) packed low bit first into
// sub-blocks of 255 bytes, then the terminator.
std::string PackCodes(const std::vector<std::pair<int, int>>& codes);
// The codes an ordinary GIF encoder writes for these pixels.
std::vector<std::pair<int, int>> ReferenceLzw(const std::vector<int>& pixels, int minCodeSize);

// A GIF file: header, screen descriptor with an optional global table (0xRRGGBB entries,
// padded to a power of two), the given blocks and the trailer.
std::string GifFile(int width, int height, const std::vector<std::uint32_t>& globalTable,
                    const std::string& blocks, const char* version = "89a");
// An image descriptor block with its local table bytes, minimum code size and data.
std::string ImageBlock(int left, int top, int width, int height, std::uint8_t flags,
                       const std::string& localTable, int minCodeSize, const std::string& data);
std::string GraphicControl(std::uint8_t flags, int delay, int transparent);

}  // namespace qv::test
