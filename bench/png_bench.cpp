// Decoding and encoding a 4096 x 4096 RGB picture and an 8-bit palette picture,
// ours and libpng's side by side on the same bytes and at the same zlib level,
// and decoding a few hundred small files with a gamma chunk, ours beside
// libpng's png_image reader. Prints ours/libpng after the runs.

#include <benchmark/benchmark.h>
#include <png.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/png_picture.h"

using namespace qv;

namespace {

constexpr int kSize = 4096;
constexpr int kLevel = 7;  // our default DeflateLevel

// A picture with smooth areas and noise, the way photos and charts mix.
Bitmap MakeBitmap(bool palette) {
    Bitmap bmp(kSize, kSize, palette ? PixelFormat::Pf8bit : PixelFormat::Pf24bit);
    std::mt19937 rng(42);
    if (palette) {
        std::vector<RGBQuad> table(256);
        for (int i = 0; i < 256; ++i)
            table[size_t(i)] = {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0};
        bmp.SetColorTable(table);
    }
    for (int y = 0; y < kSize; ++y) {
        uint8_t* row = bmp.ScanLine(y);
        for (int x = 0; x < kSize; ++x) {
            int noise = int(rng() % 9);
            if (palette) {
                row[x] = uint8_t(((x / 16) ^ (y / 16)) + noise);
            } else {
                row[3 * x] = uint8_t(x / 16 + noise);
                row[3 * x + 1] = uint8_t(y / 16 + noise);
                row[3 * x + 2] = uint8_t((x + y) / 32 + noise);
            }
        }
    }
    return bmp;
}

struct Sample {
    std::string file;  // written by us, read by both
    std::unique_ptr<TPNGPicture> picture;
    std::vector<uint8_t> pixels;  // top-down rows as libpng takes them
    int channels = 3;
    std::vector<png_color> palette;
};

Sample& GetSample(bool palette) {
    static std::map<bool, Sample> samples;
    auto it = samples.find(palette);
    if (it != samples.end()) return it->second;
    Sample& s = samples[palette];
    Bitmap bmp = MakeBitmap(palette);
    s.picture = std::make_unique<TPNGPicture>();
    s.picture->ImportBitmap(bmp, false, 0);
    MemoryStream out;
    s.picture->SaveToStream(out);
    s.file = out.Bytes();
    s.channels = palette ? 1 : 3;
    s.pixels.resize(size_t(kSize) * kSize * size_t(s.channels));
    for (int y = 0; y < kSize; ++y) {
        const uint8_t* row = bmp.ScanLine(y);
        uint8_t* dst = s.pixels.data() + size_t(y) * kSize * size_t(s.channels);
        if (palette) {
            std::memcpy(dst, row, kSize);
        } else {
            for (int x = 0; x < kSize; ++x) {
                dst[3 * x] = row[3 * x + 2];
                dst[3 * x + 1] = row[3 * x + 1];
                dst[3 * x + 2] = row[3 * x];
            }
        }
    }
    if (palette)
        for (const auto& q : bmp.ColorTable())
            s.palette.push_back({q.rgbRed, q.rgbGreen, q.rgbBlue});
    return s;
}

struct MemReader {
    const std::string* data;
    size_t at = 0;
};

void ReadFn(png_structp png, png_bytep out, png_size_t n) {
    auto r = static_cast<MemReader*>(png_get_io_ptr(png));
    if (r->at + n > r->data->size()) png_error(png, "short");
    std::memcpy(out, r->data->data() + r->at, n);
    r->at += n;
}

void WriteFn(png_structp png, png_bytep in, png_size_t n) {
    static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<char*>(in), n);
}

void FlushFn(png_structp) {}

void LibpngDecode(const std::string& file, std::vector<uint8_t>& pixels) {
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    MemReader reader{&file};
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_read_struct(&png, &info, nullptr);
        throw std::runtime_error("libpng failed");
    }
    png_set_read_fn(png, &reader, ReadFn);
    png_read_info(png, info);
    // The same work as ours: colour rows stored blue, green, red.
    if (png_get_color_type(png, info) == PNG_COLOR_TYPE_RGB) png_set_bgr(png);
    png_read_update_info(png, info);
    size_t rowBytes = png_get_rowbytes(png, info);
    png_uint_32 h = png_get_image_height(png, info);
    pixels.resize(rowBytes * h);
    std::vector<png_bytep> rows(h);
    for (png_uint_32 y = 0; y < h; ++y) rows[y] = pixels.data() + y * rowBytes;
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
}

// Writes 8-bit top-down rows with libpng; setup adds the palette, gamma and settings.
std::string LibpngWrite(png_uint_32 w, png_uint_32 h, int type, const uint8_t* pixels,
                        const std::function<void(png_structp, png_infop)>& setup) {
    std::string out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        throw std::runtime_error("libpng failed");
    }
    png_set_write_fn(png, &out, WriteFn, FlushFn);
    png_set_IHDR(png, info, w, h, 8, type, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    setup(png, info);
    png_write_info(png, info);
    const size_t rowBytes = png_get_rowbytes(png, info);
    for (png_uint_32 y = 0; y < h; ++y)
        png_write_row(png, const_cast<uint8_t*>(pixels) + y * rowBytes);
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

std::string LibpngEncode(Sample& s) {
    const bool palette = s.channels == 1;
    return LibpngWrite(kSize, kSize, palette ? PNG_COLOR_TYPE_PALETTE : PNG_COLOR_TYPE_RGB,
                       s.pixels.data(), [&](png_structp png, png_infop info) {
                           if (palette)
                               png_set_PLTE(png, info, s.palette.data(), int(s.palette.size()));
                           // Same level, same filter and strategy as our default settings.
                           png_set_compression_level(png, kLevel);
                           png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
                           png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
                       });
}

// Small files as icons and thumbnails come: 16 to 96 pixels a side, RGB, RGBA,
// palette and grey, each with a gamma chunk (mostly the sRGB-like 1/2.2).
struct SmallFile {
    std::string bytes;
    bool alpha = false;
};

std::vector<SmallFile> MakeSmallFiles() {
    std::vector<SmallFile> files;
    std::mt19937 rng(9);
    const int types[] = {PNG_COLOR_TYPE_RGB, PNG_COLOR_TYPE_RGB_ALPHA, PNG_COLOR_TYPE_PALETTE,
                         PNG_COLOR_TYPE_GRAY};
    const double gammas[] = {1 / 2.2, 1 / 2.2, 1 / 2.2, 1.0, 1 / 1.8};
    std::vector<png_color> palette(256);
    for (int c = 0; c < 256; ++c)
        palette[size_t(c)] = {uint8_t(c), uint8_t(c * 3), uint8_t(255 - c)};
    for (int i = 0; i < 300; ++i) {
        const int type = types[i % 4];
        const png_uint_32 w = 16 + rng() % 81, h = 16 + rng() % 81;
        const size_t channels = type == PNG_COLOR_TYPE_RGB         ? 3
                                : type == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                                                                   : 1;
        std::vector<uint8_t> px(size_t(w) * h * channels);
        for (size_t k = 0; k < px.size(); ++k) {
            const size_t x = k % (w * channels), y = k / (w * channels);
            px[k] = uint8_t((x * 3 + y * 5) / 4 + rng() % 8);
        }
        auto setup = [&](png_structp png, png_infop info) {
            if (type == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette.data(), 256);
            png_set_gAMA(png, info, gammas[i % 5]);
        };
        files.push_back(
            {LibpngWrite(w, h, type, px.data(), setup), type == PNG_COLOR_TYPE_RGB_ALPHA});
    }
    return files;
}

const std::vector<SmallFile>& SmallFiles() {
    static const std::vector<SmallFile> files = MakeSmallFiles();
    return files;
}

void DecodeOursSmall(benchmark::State& state) {
    const auto& files = SmallFiles();
    for (auto _ : state) {
        for (const auto& f : files) {
            TPNGPicture pic;
            MemoryStream in(f.bytes);
            pic.LoadFromStream(in);
            benchmark::DoNotOptimize(pic.Scanline(0));
        }
    }
}

void DecodePngImageSmall(benchmark::State& state) {
    const auto& files = SmallFiles();
    std::vector<uint8_t> pixels;
    for (auto _ : state) {
        for (const auto& f : files) {
            png_image image;
            std::memset(&image, 0, sizeof image);
            image.version = PNG_IMAGE_VERSION;
            if (!png_image_begin_read_from_memory(&image, f.bytes.data(), f.bytes.size()))
                throw std::runtime_error("png_image failed");
            // The same layout as ours: blue, green, red, and alpha where the file has it.
            image.format = f.alpha ? PNG_FORMAT_BGRA : PNG_FORMAT_BGR;
            pixels.resize(PNG_IMAGE_SIZE(image));
            if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr))
                throw std::runtime_error("png_image failed");
            benchmark::DoNotOptimize(pixels.data());
        }
    }
}

void DecodeOurs(benchmark::State& state, bool palette) {
    Sample& s = GetSample(palette);
    for (auto _ : state) {
        TPNGPicture pic;
        MemoryStream in(s.file);
        pic.LoadFromStream(in);
        benchmark::DoNotOptimize(pic.Scanline(0));
    }
}

void DecodeLibpng(benchmark::State& state, bool palette) {
    Sample& s = GetSample(palette);
    std::vector<uint8_t> pixels;
    for (auto _ : state) {
        LibpngDecode(s.file, pixels);
        benchmark::DoNotOptimize(pixels.data());
    }
}

void EncodeOurs(benchmark::State& state, bool palette) {
    Sample& s = GetSample(palette);
    for (auto _ : state) {
        MemoryStream out;
        s.picture->SaveToStream(out);
        benchmark::DoNotOptimize(out.Bytes().data());
    }
    state.counters["bytes"] = double(s.file.size());
}

void EncodeLibpng(benchmark::State& state, bool palette) {
    Sample& s = GetSample(palette);
    size_t size = 0;
    for (auto _ : state) {
        std::string out = LibpngEncode(s);
        size = out.size();
        benchmark::DoNotOptimize(out.data());
    }
    state.counters["bytes"] = double(size);
}

// Collects the runs and prints ours/libpng per case at the end.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        // With repetitions the median stands for the case.
        for (const auto& r : runs) {
            if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
            times_[r.run_name.function_name + (r.run_name.args.empty() ? "" : "/") +
                   r.run_name.args] = r.GetAdjustedRealTime();
        }
        ConsoleReporter::ReportRuns(runs);
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nours / libpng (target at most 1.10):\n");
        const char* pairs[][3] = {
            {"Decode Rgb", "DecodeOurs/Rgb", "DecodeLibpng/Rgb"},
            {"Decode Palette", "DecodeOurs/Palette", "DecodeLibpng/Palette"},
            {"Decode 300 small gAMA files (png_image)", "DecodeOursSmall", "DecodePngImageSmall"},
            {"Encode Rgb", "EncodeOurs/Rgb", "EncodeLibpng/Rgb"},
            {"Encode Palette", "EncodeOurs/Palette", "EncodeLibpng/Palette"}};
        for (const auto& [what, ours, theirs] : pairs)
            if (times_.count(ours) && times_.count(theirs))
                std::printf("  %-40s %.2f\n", what, times_[ours] / times_[theirs]);
    }

  private:
    std::map<std::string, double> times_;
};

}  // namespace

BENCHMARK_CAPTURE(DecodeOurs, Rgb, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodeLibpng, Rgb, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodeOurs, Palette, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodeLibpng, Palette, true)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodeOursSmall)->Unit(benchmark::kMillisecond);
BENCHMARK(DecodePngImageSmall)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeOurs, Rgb, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeLibpng, Rgb, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeOurs, Palette, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(EncodeLibpng, Palette, true)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
