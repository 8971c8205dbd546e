// Decoding and encoding time of our GIF codec beside giflib's on the same data: a large
// 8-bit picture and a 100-frame animation. Prints both times and the ratio ours/giflib;
// the decoding target is a ratio of at most 1.1.

#include <gif_lib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "imaging/gif_image.h"

namespace {

struct Picture {
    int width, height;
    std::vector<std::vector<std::uint8_t>> frames;  // indexes, top row first
    std::vector<std::uint8_t> palette;              // 256 x rgb
};

// Smooth areas with some noise, as real pictures have; each frame shifted a little.
Picture MakePicture(int w, int h, int frames) {
    Picture p{w, h, {}, std::vector<std::uint8_t>(768)};
    for (int i = 0; i < 256; ++i) {
        p.palette[3 * std::size_t(i)] = std::uint8_t(i);
        p.palette[3 * std::size_t(i) + 1] = std::uint8_t(255 - i);
        p.palette[3 * std::size_t(i) + 2] = std::uint8_t(i * 7);
    }
    std::mt19937 rng(5);
    for (int f = 0; f < frames; ++f) {
        std::vector<std::uint8_t> px(std::size_t(w) * std::size_t(h));
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                px[std::size_t(y) * std::size_t(w) + std::size_t(x)] = std::uint8_t(
                    ((x + f) / 16 * 13 + y / 16 * 7) + ((rng() & 15) == 0 ? rng() & 31 : 0));
        p.frames.push_back(std::move(px));
    }
    return p;
}

qv::Bitmap ToBitmap(const Picture& p, int f) {
    qv::Bitmap b(p.width, p.height, qv::PixelFormat::Pf8bit);
    std::vector<qv::RGBQuad> t(256);
    for (std::size_t i = 0; i < 256; ++i)
        t[i] = {p.palette[3 * i + 2], p.palette[3 * i + 1], p.palette[3 * i], 0};
    b.SetColorTable(t);
    for (int y = 0; y < p.height; ++y)
        std::memcpy(b.ScanLine(y),
                    p.frames[std::size_t(f)].data() + std::size_t(y) * std::size_t(p.width),
                    std::size_t(p.width));
    return b;
}

std::string OursEncode(const Picture& p) {
    qv::TGIFImage gif;
    for (std::size_t f = 0; f < p.frames.size(); ++f) {
        qv::Bitmap b = ToBitmap(p, int(f));
        gif.AddFrame(&b);
    }
    qv::MemoryStream out;
    gif.SaveToStream(out);
    return out.Bytes();
}

std::size_t OursDecode(const std::string& file) {
    qv::TGIFImage gif;
    qv::MemoryStream in(file);
    gif.LoadFromStream(in);
    std::size_t sum = 0;
    for (int i = 0; i < gif.FrameCount(); ++i) {
        gif.FrameIndex = i;
        sum += gif.CurrentBitmap().Bits()[0];
    }
    return sum;
}

struct Reader {
    const std::string* data;
    std::size_t pos;
};

int ReadMem(GifFileType* gif, GifByteType* buf, int n) {
    auto* r = static_cast<Reader*>(gif->UserData);
    const std::size_t k = std::min<std::size_t>(std::size_t(n), r->data->size() - r->pos);
    std::memcpy(buf, r->data->data() + r->pos, k);
    r->pos += k;
    return int(k);
}

int WriteMem(GifFileType* gif, const GifByteType* buf, int n) {
    static_cast<std::string*>(gif->UserData)
        ->append(reinterpret_cast<const char*>(buf), std::size_t(n));
    return n;
}

std::size_t GiflibDecode(const std::string& file) {
    Reader r{&file, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&r, ReadMem, &err);
    if (!gif || DGifSlurp(gif) != GIF_OK) {
        std::fprintf(stderr, "giflib could not read the file\n");
        std::exit(1);
    }
    std::size_t sum = 0;
    for (int i = 0; i < gif->ImageCount; ++i) sum += gif->SavedImages[i].RasterBits[0];
    DGifCloseFile(gif, &err);
    return sum;
}

std::string GiflibEncode(const Picture& p) {
    std::string out;
    int err = 0;
    GifFileType* gif = EGifOpen(&out, WriteMem, &err);
    ColorMapObject* map = GifMakeMapObject(256, nullptr);
    for (int i = 0; i < 256; ++i) {
        map->Colors[i].Red = p.palette[3 * std::size_t(i)];
        map->Colors[i].Green = p.palette[3 * std::size_t(i) + 1];
        map->Colors[i].Blue = p.palette[3 * std::size_t(i) + 2];
    }
    EGifSetGifVersion(gif, p.frames.size() > 1);
    EGifPutScreenDesc(gif, p.width, p.height, 8, 0, map);
    for (const auto& frame : p.frames) {
        EGifPutImageDesc(gif, 0, 0, p.width, p.height, false, nullptr);
        for (int y = 0; y < p.height; ++y)
            EGifPutLine(
                gif,
                const_cast<GifPixelType*>(frame.data() + std::size_t(y) * std::size_t(p.width)),
                p.width);
    }
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
    return out;
}

double Seconds(const std::function<void()>& work, int reps) {
    double best = 1e30;
    for (int i = 0; i < reps; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        work();
        best = std::min(
            best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

void Compare(const char* name, const Picture& p) {
    const std::string ours = OursEncode(p), theirs = GiflibEncode(p);
    // Both decoders on both files, so neither side profits from its own encoder.
    volatile std::size_t sink = 0;
    const double decOurs = Seconds([&] { sink = sink + OursDecode(ours) + OursDecode(theirs); }, 5);
    const double decGif =
        Seconds([&] { sink = sink + GiflibDecode(ours) + GiflibDecode(theirs); }, 5);
    const double encOurs = Seconds([&] { sink = sink + OursEncode(p).size(); }, 3);
    const double encGif = Seconds([&] { sink = sink + GiflibEncode(p).size(); }, 3);
    std::printf("%-22s decode  ours %8.2f ms  giflib %8.2f ms  ratio %.2f\n", name, decOurs * 1e3,
                decGif * 1e3, decOurs / decGif);
    std::printf(
        "%-22s encode  ours %8.2f ms  giflib %8.2f ms  ratio %.2f  (sizes %zu / %zu bytes)\n", name,
        encOurs * 1e3, encGif * 1e3, encOurs / encGif, ours.size(), theirs.size());
}

}  // namespace

int main() {
    Compare("2048x2048 8-bit", MakePicture(2048, 2048, 1));
    Compare("100 frames 256x256", MakePicture(256, 256, 100));
    return 0;
}
