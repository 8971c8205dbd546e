#include "imaging/png_chunk.h"

#include <algorithm>
#include <mutex>
#include <typeinfo>

#include "imaging/png_chunks.h"
#include "imaging/png_errors.h"
#include "imaging/png_idat.h"
#include "imaging/png_picture.h"
#include "imaging/png_zlib.h"

namespace qv {

TChunk::TChunk(TPNGPicture* owner) : Owner(owner) {}

std::unique_ptr<TChunk> TChunk::NewInstance(TPNGPicture* owner) const {
    return std::make_unique<TChunk>(owner);
}

void TChunk::Assign(const TChunk& source) {
    Name = source.Name;
    Data = source.Data;
}

void TChunk::SetDataSize(uint32_t length) {
    Data.resize(length);
}

bool TChunk::LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size) {
    // A length that runs past the end of the stream cannot be honest; refusing
    // it before allocating keeps a forged length from taking all memory.
    if (int64_t(size) > stream.Remaining()) {
        Data.clear();
        RaisePngError<EPngInvalidCRC>(PNG_MSG_INVALID_CRC);
    }
    SetDataSize(size);
    if (size > 0 && stream.Read(Data.data(), size) != size)
        RaisePngError<EPngInvalidCRC>(PNG_MSG_INVALID_CRC);
    uint8_t stored[4];
    if (stream.Read(stored, 4) != 4) RaisePngError<EPngInvalidCRC>(PNG_MSG_INVALID_CRC);
    std::string type = chunkName;
    type.resize(4);
    if (ChunkCRC(type.data(), Data.data(), Data.size()) != ReadBE32(stored))
        RaisePngError<EPngInvalidCRC>(PNG_MSG_INVALID_CRC);
    return true;
}

void TChunk::WriteChunk(Stream& stream) const {
    std::string type = Name;
    type.resize(4);
    std::string out;
    out.reserve(Data.size() + 12);
    AppendBE32(out, uint32_t(Data.size()));
    out += type;
    out += Data;
    AppendBE32(out, ChunkCRC(type.data(), Data.data(), Data.size()));
    stream.WriteString(out);
}

bool TChunk::SaveToStream(Stream& stream) {
    WriteChunk(stream);
    return true;
}

TChunkIHDR& TChunk::HeaderChunk() const {
    TChunk* first = Owner ? Owner->Chunks().Item(0) : nullptr;
    if (!first) RaisePngError<EPNGHeaderNotPresent>(PNG_MSG_HEADER_NOT_PRESENT);
    return dynamic_cast<TChunkIHDR&>(*first);
}

void TPNGList::SetItem(uint32_t index, std::unique_ptr<TChunk> chunk) {
    if (index < items_.size()) items_[index] = std::move(chunk);
}

TChunk* TPNGList::Add(std::unique_ptr<TChunk> chunk) {
    items_.push_back(std::move(chunk));
    return items_.back().get();
}

std::unique_ptr<TChunk> TPNGList::Remove(const TChunk* chunk) {
    for (size_t i = items_.size(); i-- > 0;) {
        if (items_[i].get() == chunk) {
            auto taken = std::move(items_[i]);
            items_.erase(items_.begin() + ptrdiff_t(i));
            return taken;
        }
    }
    return nullptr;
}

namespace {

struct ChunkClass {
    std::string name;
    ChunkFactory factory;
};

struct Registry {
    std::mutex mutex;
    std::vector<ChunkClass> classes;
};

Registry& ChunkRegistry() {
    static Registry* registry = [] {
        static Registry r;
        auto add = [&](std::string name, ChunkFactory f) {
            r.classes.push_back({std::move(name), std::move(f)});
        };
        auto make = [&]<class T>() {
            add(T::GetName(), [](TPNGPicture* owner) { return std::make_unique<T>(owner); });
        };
        make.operator()<TChunkIEND>();
        make.operator()<TChunkIHDR>();
        make.operator()<TChunkIDAT>();
        make.operator()<TChunkPLTE>();
        make.operator()<TChunkgAMA>();
        make.operator()<TChunktRNS>();
        make.operator()<TChunkpHYs>();
        make.operator()<TChunktIME>();
        make.operator()<TChunktEXt>();
        make.operator()<TChunkzTXt>();
        return &r;
    }();
    return *registry;
}

}  // namespace

void RegisterChunk(const std::string& name, ChunkFactory factory) {
    auto& r = ChunkRegistry();
    std::lock_guard lock(r.mutex);
    r.classes.push_back({name, std::move(factory)});
}

std::vector<std::string> RegisteredChunkTypes() {
    auto& r = ChunkRegistry();
    std::lock_guard lock(r.mutex);
    std::vector<std::string> names;
    for (const auto& c : r.classes) names.push_back(c.name);
    return names;
}

std::unique_ptr<TChunk> CreateChunkForType(TPNGPicture* owner, const std::string& name) {
    ChunkFactory factory;
    {
        auto& r = ChunkRegistry();
        std::lock_guard lock(r.mutex);
        for (const auto& c : r.classes) {
            if (c.name == name) {
                factory = c.factory;
                break;
            }
        }
    }
    std::unique_ptr<TChunk> chunk = factory ? factory(owner) : std::make_unique<TChunk>(owner);
    chunk->Name = name;
    return chunk;
}

}  // namespace qv
