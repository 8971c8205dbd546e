#include "imaging/stream.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>

namespace qv {

std::int64_t Stream::Size() {
    const std::int64_t here = Seek(0, SeekOrigin::Current);
    const std::int64_t end = Seek(0, SeekOrigin::End);
    Seek(here, SeekOrigin::Beginning);
    return end;
}

std::int64_t Stream::Remaining() {
    const std::int64_t here = Position();
    const std::int64_t size = Size();
    return size > here ? size - here : 0;
}

void Stream::ReadBuffer(void* buffer, std::size_t count) {
    if (count != 0 && Read(buffer, count) != count) throw EReadError();
}

void Stream::WriteBuffer(const void* buffer, std::size_t count) {
    if (count != 0 && Write(buffer, count) != count) throw EWriteError();
}

std::uint8_t Stream::ReadByte() {
    std::uint8_t b = 0;
    ReadBuffer(&b, 1);
    return b;
}

void Stream::WriteByte(std::uint8_t value) {
    WriteBuffer(&value, 1);
}

std::int64_t Stream::CopyFrom(Stream& source, std::int64_t count) {
    if (count == 0) {
        source.SetPosition(0);
        count = source.Size();
    }
    if (count < 0) throw EReadError();
    char buffer[65536];
    std::int64_t left = count;
    while (left > 0) {
        const std::size_t n = std::size_t(std::min<std::int64_t>(left, sizeof buffer));
        source.ReadBuffer(buffer, n);
        WriteBuffer(buffer, n);
        left -= std::int64_t(n);
    }
    return count;
}

std::size_t MemoryStream::Read(void* buffer, std::size_t count) {
    if (position_ >= data_.size()) return 0;
    const std::size_t n = std::min(count, data_.size() - position_);
    std::memcpy(buffer, data_.data() + position_, n);
    position_ += n;
    return n;
}

std::size_t MemoryStream::Write(const void* buffer, std::size_t count) {
    if (count == 0) return 0;
    if (position_ > data_.max_size() - count) return 0;
    if (position_ + count > data_.size()) data_.resize(position_ + count);
    std::memcpy(data_.data() + position_, buffer, count);
    position_ += count;
    return count;
}

std::int64_t MemoryStream::Seek(std::int64_t offset, SeekOrigin origin) {
    std::int64_t base = 0;
    if (origin == SeekOrigin::Current) base = std::int64_t(position_);
    if (origin == SeekOrigin::End) base = std::int64_t(data_.size());
    std::int64_t target = base + offset;
    if (target < 0) target = 0;
    position_ = std::size_t(target);
    return target;
}

void MemoryStream::SetSize(std::int64_t size) {
    if (size < 0) size = 0;
    data_.resize(std::size_t(size));
    if (position_ > data_.size()) position_ = data_.size();
}

void MemoryStream::Clear() {
    data_.clear();
    position_ = 0;
}

void MemoryStream::LoadFromStream(Stream& source) {
    source.SetPosition(0);
    const std::int64_t size = source.Size();
    data_.assign(std::size_t(size), '\0');
    position_ = 0;
    source.ReadBuffer(data_.data(), data_.size());
}

void MemoryStream::LoadFromFile(const std::string& path) {
    FileStream file(path, FileMode::OpenRead);
    LoadFromStream(file);
}

void MemoryStream::SaveToFile(const std::string& path) const {
    FileStream file(path, FileMode::Create);
    SaveToStream(file);
}

FileStream::FileStream(const std::string& path, FileMode mode) {
    int flags = O_CLOEXEC;
    switch (mode) {
        case FileMode::OpenRead:
            flags |= O_RDONLY;
            break;
        case FileMode::Create:
            flags |= O_RDWR | O_CREAT | O_TRUNC;
            break;
        case FileMode::OpenReadWrite:
            flags |= O_RDWR;
            break;
    }
    fd_ = ::open(path.c_str(), flags, 0666);
    if (fd_ < 0) {
        const std::string reason = std::strerror(errno);
        if (mode == FileMode::Create)
            throw EFCreateError("Cannot create file \"" + path + "\". " + reason);
        throw EFOpenError("Cannot open file \"" + path + "\". " + reason);
    }
}

FileStream::~FileStream() {
    if (fd_ >= 0) ::close(fd_);
}

std::size_t FileStream::Read(void* buffer, std::size_t count) {
    std::size_t done = 0;
    auto* p = static_cast<char*>(buffer);
    while (done < count) {
        const ssize_t n = ::read(fd_, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    return done;
}

std::size_t FileStream::Write(const void* buffer, std::size_t count) {
    std::size_t done = 0;
    const auto* p = static_cast<const char*>(buffer);
    while (done < count) {
        const ssize_t n = ::write(fd_, p + done, count - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += std::size_t(n);
    }
    return done;
}

std::int64_t FileStream::Seek(std::int64_t offset, SeekOrigin origin) {
    const int whence = origin == SeekOrigin::Beginning ? SEEK_SET
                       : origin == SeekOrigin::Current ? SEEK_CUR
                                                       : SEEK_END;
    const off_t r = ::lseek(fd_, off_t(offset), whence);
    if (r < 0) throw EStreamError(std::string("Stream seek error: ") + std::strerror(errno));
    return std::int64_t(r);
}

void FileStream::SetSize(std::int64_t size) {
    if (::ftruncate(fd_, off_t(size)) != 0) throw EWriteError();
    if (Position() > size) Seek(size, SeekOrigin::Beginning);
}

}  // namespace qv
