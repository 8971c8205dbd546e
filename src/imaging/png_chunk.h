#pragma once
// The chunk every PNG part is made of, the chunk list of one image and the
// registry that maps a four-letter chunk type to its chunk class.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "imaging/stream.h"

namespace qv {

class TPNGPicture;
class TChunkIHDR;

// A chunk on file: length (big-endian), four type letters, data, CRC over type
// and data. A plain TChunk holds a chunk type the codec does not understand and
// writes its bytes back unchanged.
class TChunk {
  public:
    explicit TChunk(TPNGPicture* owner);
    virtual ~TChunk() = default;
    TChunk(const TChunk&) = delete;
    TChunk& operator=(const TChunk&) = delete;

    // The chunk type a class stands for; empty for the plain chunk.
    static std::string GetName() { return {}; }
    // The virtual constructor: a new chunk of the same class for owner.
    virtual std::unique_ptr<TChunk> NewInstance(TPNGPicture* owner) const;

    // Copies type and data from source.
    virtual void Assign(const TChunk& source);
    // Reads size data bytes and the CRC, the stream standing at the first data
    // byte. EPngInvalidCRC when the CRC differs or the stream ends early.
    virtual bool LoadFromStream(Stream& stream, const std::string& chunkName, uint32_t size);
    virtual bool SaveToStream(Stream& stream);

    void SetDataSize(uint32_t length);
    uint32_t DataSize() const { return uint32_t(Data.size()); }
    // The owner's first chunk as the image header; std::bad_cast when it is not one.
    TChunkIHDR& HeaderChunk() const;

    std::string Data;  // chunk data, one char per byte
    TPNGPicture* Owner = nullptr;
    std::string Name;  // the four type bytes as on file (empty for a nameless chunk)

  protected:
    // Writes Name and Data as one chunk with its length and CRC.
    void WriteChunk(Stream& stream) const;
};

using ChunkFactory = std::function<std::unique_ptr<TChunk>(TPNGPicture* owner)>;

// The chunk list of one image; owns its chunks. Indexes are unsigned: anything
// at or past Count() reads as nullptr and is not written.
class TPNGList {
  public:
    explicit TPNGList(TPNGPicture* owner) : owner_(owner) {}

    uint32_t Count() const { return uint32_t(items_.size()); }
    // Grows with empty places or shrinks, freeing the chunks cut off.
    void SetCount(uint32_t n) { items_.resize(n); }
    TChunk* Item(uint32_t index) const {
        return index < items_.size() ? items_[index].get() : nullptr;
    }
    // Replaces the chunk at index (the old one is freed); ignored past the end.
    void SetItem(uint32_t index, std::unique_ptr<TChunk> chunk);
    TChunk* Add(std::unique_ptr<TChunk> chunk);
    // Takes the last place holding chunk out of the list and hands it back;
    // nullptr when the list does not hold it.
    std::unique_ptr<TChunk> Remove(const TChunk* chunk);
    void Clear() { items_.clear(); }

    // The first chunk of class T or of a class derived from it.
    template <class T>
    T* FindChunk() const {
        for (const auto& c : items_)
            if (auto p = dynamic_cast<T*>(c.get())) return p;
        return nullptr;
    }

    TPNGPicture* Owner() const { return owner_; }

  private:
    TPNGPicture* owner_;
    std::vector<std::unique_ptr<TChunk>> items_;
};

// Registers a chunk class under its type (T::GetName()). The ten classes the
// codec understands are registered before the first lookup.
void RegisterChunk(const std::string& name, ChunkFactory factory);
template <class T>
void RegisterChunk() {
    RegisterChunk(T::GetName(), [](TPNGPicture* owner) { return std::make_unique<T>(owner); });
}
// The chunk types registered, in registration order.
std::vector<std::string> RegisteredChunkTypes();

// A chunk of the first class registered under name (all four bytes,
// case-sensitive), or a plain TChunk; its Name is name.
std::unique_ptr<TChunk> CreateChunkForType(TPNGPicture* owner, const std::string& name);

}  // namespace qv
