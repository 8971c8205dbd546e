#include "app/core/app_log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/files.h"
#include "platform/text.h"

namespace qv {

namespace {

// Calls fn(code, bytes) for each character of text: a valid UTF-8 sequence is
// one character, any other byte one Latin-1 character.
template <class Fn>
void forEachCharacter(std::string_view text, Fn fn) {
    for (std::size_t i = 0; i < text.size();) {
        char32_t code = 0;
        std::size_t n = Utf8Sequence(text, i, code);
        if (n == 0) {  // a lone byte: a Latin-1 character
            code = static_cast<unsigned char>(text[i]);
            n = 1;
        }
        fn(code, text.substr(i, n));
        i += n;
    }
}

}  // namespace

std::string CleanLogText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    forEachCharacter(text, [&out](char32_t code, std::string_view bytes) {
        if (code < 32 || code > 128) {
            out += ' ';
        } else if (code >= 'a' && code <= 'z') {
            out += static_cast<char>(code - 'a' + 'A');
        } else {
            out.append(bytes);
        }
    });
    return out;
}

std::string OneLineText(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    forEachCharacter(text, [&out](char32_t code, std::string_view bytes) {
        if (code < 32 || code == 127) {
            out += ' ';
        } else if (bytes.size() == 1 && code >= 0x80) {  // Latin-1 to UTF-8
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out.append(bytes);
        }
    });
    return out;
}

std::string LogStamp(std::chrono::system_clock::time_point when) {
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%d/%m/%y - %H:%M:%S  ", &tm);
    return buf;
}

std::string LogLine(std::string_view text, std::chrono::system_clock::time_point when) {
    return LogStamp(when) + CleanLogText(text);
}

std::string ReplaceExtension(const std::string& path, std::string_view extension) {
    const auto slash = path.rfind('/');
    const auto dot = path.rfind('.');
    const bool hasExtension =
        dot != std::string::npos && (slash == std::string::npos || dot > slash + 1);
    return (hasExtension ? path.substr(0, dot) : path) + std::string(extension);
}

void Log_2_disk(const std::string& logPath, const std::string& oldPath, std::string_view line) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(logPath, ec);
    if (!ec && size > kLogFileLimit) {
        // A failed move is tried again with the next line; the log goes on
        // growing meanwhile, so it is named.
        std::filesystem::rename(logPath, oldPath, ec);
        if (ec) ReportUnwritableFile(oldPath, ec.message());
    }
    // The log names hosts, users and files: no world access, also for a log
    // an older version left readable (it may still hold passwords).
    const int fd = OpenWithoutWorldAccess(logPath, O_WRONLY | O_APPEND);
    if (fd < 0) {
        ReportUnwritableFile(logPath, errno);
        return;
    }
    std::string data(line);
    data += "\r\n";
    // One write per line keeps lines whole even with another writer appending.
    bool written = WriteAll(fd, data);
    int error = errno;
    if (::close(fd) != 0 && written) {  // a network file system may say it only now
        written = false;
        error = errno;
    }
    if (!written) ReportUnwritableFile(logPath, error);
}

}  // namespace qv
