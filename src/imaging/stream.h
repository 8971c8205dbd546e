#pragma once
// Byte streams for the picture layer: a stream in memory and one on a file. Reads and
// writes that cannot move the whole count raise the class library's stream errors with
// their fixed texts ("Stream read error", "Stream write error").

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace qv {

class EStreamError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class EReadError : public EStreamError {
  public:
    EReadError() : EStreamError("Stream read error") {}
    using EStreamError::EStreamError;
};

class EWriteError : public EStreamError {
  public:
    EWriteError() : EStreamError("Stream write error") {}
    using EStreamError::EStreamError;
};

// "Cannot open file "<name>". <reason>" / "Cannot create file "<name>". <reason>"
class EFOpenError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};
class EFCreateError : public EStreamError {
  public:
    using EStreamError::EStreamError;
};

enum class SeekOrigin { Beginning, Current, End };

class Stream {
  public:
    virtual ~Stream() = default;

    // Moves up to count bytes; answers how many moved (0 at the end).
    virtual std::size_t Read(void* buffer, std::size_t count) = 0;
    virtual std::size_t Write(const void* buffer, std::size_t count) = 0;
    virtual std::int64_t Seek(std::int64_t offset, SeekOrigin origin) = 0;
    virtual void SetSize(std::int64_t size) = 0;

    std::int64_t Position() { return Seek(0, SeekOrigin::Current); }
    void SetPosition(std::int64_t position) { Seek(position, SeekOrigin::Beginning); }
    std::int64_t Size();
    // Bytes from the position to the end (0 when the position is past the end).
    std::int64_t Remaining();

    // Exactly count bytes or EReadError / EWriteError.
    void ReadBuffer(void* buffer, std::size_t count);
    void WriteBuffer(const void* buffer, std::size_t count);
    std::uint8_t ReadByte();
    void WriteByte(std::uint8_t value);
    void WriteString(const std::string& bytes) { WriteBuffer(bytes.data(), bytes.size()); }

    // Copies count bytes from source's position; count 0 copies the whole source from its
    // start. Answers the bytes copied; a short source raises EReadError.
    std::int64_t CopyFrom(Stream& source, std::int64_t count);
};

class MemoryStream : public Stream {
  public:
    MemoryStream() = default;
    explicit MemoryStream(std::string bytes) : data_(std::move(bytes)) {}

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;

    void Clear();
    const std::string& Bytes() const { return data_; }
    std::string& Bytes() { return data_; }
    const std::uint8_t* Memory() const {
        return reinterpret_cast<const std::uint8_t*>(data_.data());
    }
    std::uint8_t* Memory() { return reinterpret_cast<std::uint8_t*>(data_.data()); }
    void LoadFromStream(Stream& source);
    void SaveToStream(Stream& dest) const { dest.WriteBuffer(data_.data(), data_.size()); }
    void LoadFromFile(const std::string& path);
    void SaveToFile(const std::string& path) const;

  private:
    std::string data_;
    std::size_t position_ = 0;
};

enum class FileMode { OpenRead, Create, OpenReadWrite };

class FileStream : public Stream {
  public:
    FileStream(const std::string& path, FileMode mode);
    ~FileStream() override;
    FileStream(const FileStream&) = delete;
    FileStream& operator=(const FileStream&) = delete;

    std::size_t Read(void* buffer, std::size_t count) override;
    std::size_t Write(const void* buffer, std::size_t count) override;
    std::int64_t Seek(std::int64_t offset, SeekOrigin origin) override;
    void SetSize(std::int64_t size) override;

  private:
    int fd_ = -1;
};

}  // namespace qv
