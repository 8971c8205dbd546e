#include "platform/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/text.h"

namespace qv {

namespace {

bool sameName(std::string_view a, std::string_view b) {
    return SameTextIgnoringCase(a, b);
}

std::string_view trim(std::string_view s) {
    const char* ws = " \t\r\f\v";
    const auto b = s.find_first_not_of(ws);
    if (b == std::string_view::npos) return {};
    const auto e = s.find_last_not_of(ws);
    return s.substr(b, e - b + 1);
}

// A value between a pair of the same quote character, as the Windows INI
// service strips them.
bool quoted(std::string_view v) {
    return v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front();
}

std::string_view unquoted(std::string_view v) {
    return quoted(v) ? v.substr(1, v.size() - 2) : v;
}

// The value as written to the file: between double quotes when reading would
// otherwise take its own quotes or its edge blanks off.
std::string stored(std::string_view v) {
    if (quoted(v) || trim(v).size() != v.size()) return "\"" + std::string(v) + "\"";
    return std::string(v);
}

void checkName(std::string_view name, const char* what) {
    if (name.find_first_of("\r\n") != std::string_view::npos)
        throw IniFileError(std::string("INI ") + what + " holds a line break");
}

}  // namespace

IniFile::IniFile(std::string path, bool autoSave) : path_(std::move(path)), autoSave_(autoSave) {
    std::ifstream in(path_, std::ios::binary);
    if (in) {
        std::ostringstream ss;
        ss << in.rdbuf();
        parse(ss.str());
    }
}

IniFile IniFile::fromText(std::string_view text) {
    IniFile f(std::string(), false);
    f.parse(text);
    return f;
}

namespace {

// The next line of `text` from `pos`, without its ending; a line ends at LF,
// CR LF or a lone CR (the ending goes into `eol`, empty for a last line
// without one). `pos` moves past the ending.
std::string_view next_line(std::string_view text, std::size_t& pos, std::string_view& eol) {
    const std::size_t start = pos;
    const std::size_t end = std::min(text.find_first_of("\r\n", start), text.size());
    std::size_t after = end;
    if (end < text.size()) after += text.compare(end, 2, "\r\n") == 0 ? 2 : 1;
    eol = text.substr(end, after - end);
    pos = after;
    return text.substr(start, end - start);
}

}  // namespace

void IniFile::parse(std::string_view text) {
    lines_.clear();
    std::string current;
    std::size_t pos = 0;
    bool firstEnding = true;
    while (pos < text.size()) {
        std::string_view eol;
        const std::string_view bytes = next_line(text, pos, eol);
        // Lines added later end as the file's first line does.
        if (firstEnding && !eol.empty()) {
            eol_ = std::string(eol);
            firstEnding = false;
        }
        // Each line in its own encoding: one Latin-1 byte in a comment must not
        // turn the UTF-8 of every other line into other letters.
        Line line;
        line.raw = Utf8OrLatin1(bytes);
        line.eol = std::string(eol);
        parseLine(line, current);
        lines_.push_back(std::move(line));
    }
}

void IniFile::parseLine(Line& line, std::string& current) {
    const std::string_view t = trim(line.raw);
    if (!t.empty() && t.front() == '[') {
        const auto close = t.find(']');
        line.kind = Line::Header;
        line.section = std::string(trim(
            t.substr(1, close == std::string_view::npos ? std::string_view::npos : close - 1)));
        // After the "]" only blanks or a comment: other text (a key written
        // on the header's line) leaves it open what the line means.
        const std::string_view rest =
            close == std::string_view::npos ? t : trim(t.substr(close + 1));
        line.strayHeader = close == std::string_view::npos ||
                           (!rest.empty() && rest.front() != ';' && rest.front() != '#');
        current = line.section;
    } else if (!t.empty() && t.front() != ';' && t.front() != '#') {
        // Text that is no "key=value" (no "=", or none after a key) is kept
        // as it stands, and known for what it is.
        const auto eq = t.find('=');
        line.kind = Line::Stray;
        if (eq != std::string_view::npos && !trim(t.substr(0, eq)).empty()) {
            line.kind = Line::Key;
            line.section = current;
            line.key = std::string(trim(t.substr(0, eq)));
            line.value = std::string(trim(t.substr(eq + 1)));
        }
    }
}

long IniFile::findSection(std::string_view section) const {
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].kind == Line::Header && sameName(lines_[i].section, section))
            return static_cast<long>(i);
    return -1;
}

template <class Pred>
std::vector<std::size_t> IniFile::sectionLines(std::string_view section, Pred wanted) const {
    // Every header of the section counts: a key under a second header is as
    // much the file's as one under the first.
    std::vector<std::size_t> found;
    bool inside = false;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& l = lines_[i];
        if (l.kind == Line::Header) inside = sameName(l.section, section);
        if (inside && wanted(l)) found.push_back(i);
    }
    return found;
}

std::vector<std::size_t> IniFile::keyLines(std::string_view section,
                                           const std::string_view* key) const {
    return sectionLines(section, [key](const Line& l) {
        return l.kind == Line::Key && (!key || sameName(l.key, *key));
    });
}

std::vector<std::size_t> IniFile::strayLines(std::string_view section) const {
    std::vector<std::size_t> numbers =
        sectionLines(section, [](const Line& l) { return l.kind == Line::Stray || l.strayHeader; });
    for (std::size_t& n : numbers) ++n;
    return numbers;
}

std::vector<IniFile::Numbered> IniFile::strayHeaders() const {
    std::vector<Numbered> found;
    for (std::size_t i = 0; i < lines_.size(); ++i)
        if (lines_[i].strayHeader) found.push_back({i + 1, lines_[i].section});
    return found;
}

std::size_t IniFile::lineBeforeAnyHeader() const {
    for (std::size_t i = 0; i < lines_.size() && lines_[i].kind != Line::Header; ++i)
        if (lines_[i].kind != Line::Other) return i + 1;
    return 0;
}

long IniFile::findKey(std::string_view section, std::string_view key) const {
    const std::vector<std::size_t> lines = keyLines(section, &key);
    return lines.empty() ? -1 : static_cast<long>(lines.front());
}

std::string IniFile::readString(std::string_view section, std::string_view key,
                                std::string_view def) const {
    const long i = findKey(section, key);
    return i < 0 ? std::string(def)
                 : std::string(unquoted(lines_[static_cast<std::size_t>(i)].value));
}

long IniFile::readInteger(std::string_view section, std::string_view key, long def) const {
    const long i = findKey(section, key);
    long v;
    if (i < 0 || !ParseLong(trim(unquoted(lines_[static_cast<std::size_t>(i)].value)), v))
        return def;
    return v;
}

bool IniFile::readBool(std::string_view section, std::string_view key, bool def) const {
    const long v = readInteger(section, key, def ? 1 : 0);
    return v != 0;
}

void IniFile::writeString(std::string_view section, std::string_view key, std::string_view value) {
    checkName(section, "section");
    checkName(key, "key");
    checkName(value, "value");
    if (trim(key).empty() || key.find('=') != std::string_view::npos || trim(section).empty())
        throw IniFileError("INI key or section name is not usable");
    const std::string v = stored(Utf8OrLatin1(value));  // the file stays UTF-8 throughout
    const std::vector<std::size_t> found = keyLines(section, &key);
    if (!found.empty()) {
        Line& line = lines_[found.front()];
        line.value = v;
        line.raw = line.key + "=" + v;
        // The key written stands in one line: its repeats go, last first.
        for (auto r = found.rbegin(); r + 1 != found.rend(); ++r)
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*r));
    } else {
        Line line;
        line.kind = Line::Key;
        line.key = std::string(trim(key));
        line.value = v;
        line.raw = line.key + "=" + v;
        long s = findSection(section);
        if (s < 0) {
            Line header;
            header.kind = Line::Header;
            header.section = std::string(trim(section));
            header.raw = "[" + header.section + "]";
            line.section = header.section;
            lines_.push_back(std::move(header));
            lines_.push_back(std::move(line));
        } else {
            line.section = lines_[static_cast<std::size_t>(s)].section;
            // After the section's last key, ahead of blank lines and comments
            // that lead into the next section.
            std::size_t at = static_cast<std::size_t>(s) + 1;
            for (std::size_t i = at; i < lines_.size() && lines_[i].kind != Line::Header; ++i)
                if (lines_[i].kind == Line::Key) at = i + 1;
            lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(at), std::move(line));
        }
    }
    changed();
}

void IniFile::writeInteger(std::string_view section, std::string_view key, long value) {
    writeString(section, key, std::to_string(value));
}

void IniFile::writeBool(std::string_view section, std::string_view key, bool value) {
    writeString(section, key, value ? "1" : "0");
}

bool IniFile::sectionExists(std::string_view section) const {
    return findSection(section) >= 0;
}

bool IniFile::valueExists(std::string_view section, std::string_view key) const {
    return findKey(section, key) >= 0;
}

void IniFile::deleteKey(std::string_view section, std::string_view key) {
    const std::vector<std::size_t> found = keyLines(section, &key);
    if (found.empty()) return;
    for (auto r = found.rbegin(); r != found.rend(); ++r)
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(*r));
    changed();
}

void IniFile::eraseSection(std::string_view section) {
    bool any = false;
    for (long s; (s = findSection(section)) >= 0;) {
        std::size_t end = static_cast<std::size_t>(s) + 1;
        while (end < lines_.size() && lines_[end].kind != Line::Header) ++end;
        lines_.erase(lines_.begin() + s, lines_.begin() + static_cast<std::ptrdiff_t>(end));
        any = true;
    }
    if (any) changed();
}

std::vector<std::string> IniFile::sections() const {
    std::vector<std::string> out;
    for (const Line& l : lines_) {
        if (l.kind != Line::Header) continue;
        bool seen = false;
        for (const auto& s : out) seen = seen || sameName(s, l.section);
        if (!seen) out.push_back(l.section);
    }
    return out;
}

std::vector<std::string> IniFile::keys(std::string_view section) const {
    std::vector<std::string> out;
    for (std::size_t i : keyLines(section, nullptr)) out.push_back(lines_[i].key);
    return out;
}

std::vector<IniFile::Entry> IniFile::entries(std::string_view section) const {
    std::vector<Entry> out;
    for (std::size_t i : keyLines(section, nullptr))
        out.push_back({lines_[i].key, std::string(unquoted(lines_[i].value))});
    return out;
}

std::string IniFile::text() const {
    std::string out;
    // Each line keeps its own ending; a last line without one gets the file's.
    for (const Line& l : lines_) {
        out += l.raw;
        out += l.eol.empty() ? eol_ : l.eol;
    }
    return out;
}

void IniFile::changed() {
    if (autoSave_ && !path_.empty()) updateFile();
}

void IniFile::updateFile() {
    if (path_.empty()) throw IniFileError("INI file has no name");
    const std::string tmp = path_ + ".tmp" + std::to_string(::getpid());
    const std::string data = text();
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    // The new file takes the old one's permissions: a file made private (it may
    // hold passwords) stays private. Its owner and group too, where the process
    // may give them (root; a group of its own), so that the account a service
    // runs as can still read it; the mode is set after, which a change of owner
    // may reset.
    struct stat old {};
    if (ok && ::stat(path_.c_str(), &old) == 0) {
        // Not allowed to give the file away: the group alone, when the process
        // belongs to it; otherwise the file stays the saving user's.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0)
            (void)!::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        if (::fchmod(fd, old.st_mode & 07777) != 0) ok = false;
    }
    std::size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<std::size_t>(n);
    }
    if (fd >= 0 && ::close(fd) != 0) ok = false;
    // Replacing by rename: a crash never leaves half a settings file.
    if (ok && ::rename(tmp.c_str(), path_.c_str()) != 0) ok = false;
    if (!ok) {
        const int err = errno;
        ::unlink(tmp.c_str());
        throw IniFileError("Unable to write to " + path_ + ": " + std::strerror(err));
    }
}

// ---- key store ----------------------------------------------------------------

std::string KeyStore::defaultPath(const std::string& maker, const std::string& program) {
    // The system-wide configuration folder: the first of XDG_CONFIG_DIRS, /etc/xdg
    // when it is not set.
    std::string base = "/etc/xdg";
    if (const char* dirs = std::getenv("XDG_CONFIG_DIRS"); dirs && dirs[0] == '/') {
        base = dirs;
        base = base.substr(0, base.find(':'));
    }
    return base + "/" + maker + "/" + program + ".conf";
}

KeyStore::KeyStore(std::string path) : path_(std::move(path)) {}

namespace {
std::string keySection(const std::string& key) {
    std::string k = key;
    while (!k.empty() && k.front() == '\\') k.erase(k.begin());
    while (!k.empty() && k.back() == '\\') k.pop_back();
    return k;
}
}  // namespace

bool KeyStore::openKey(const std::string& key, bool canCreate) {
    const std::string section = keySection(key);
    if (section.empty() || section.find_first_of("\r\n[]") != std::string::npos) return false;
    if (!canCreate && !IniFile(path_, false).sectionExists(section)) return false;
    key_ = section;
    open_ = true;
    return true;
}

void KeyStore::closeKey() {
    open_ = false;
    key_.clear();
}

bool KeyStore::writeString(const std::string& name, const std::string& value) {
    if (!open_) return false;
    try {
        // The maker's folder may not exist yet; creating it may fail without rights.
        const auto slash = path_.rfind('/');
        if (slash != std::string::npos && slash > 0) ::mkdir(path_.substr(0, slash).c_str(), 0755);
        IniFile f(path_, false);
        f.writeString(key_, name, value);
        f.updateFile();
        return true;
    } catch (const IniFileError&) {
        return false;
    }
}

bool KeyStore::writeInteger(const std::string& name, long value) {
    return writeString(name, std::to_string(value));
}

std::string KeyStore::readString(const std::string& name) const {
    if (!open_) return std::string();
    return IniFile(path_, false).readString(key_, name, "");
}

long KeyStore::readInteger(const std::string& name, long def) const {
    if (!open_) return def;
    return IniFile(path_, false).readInteger(key_, name, def);
}

bool KeyStore::valueExists(const std::string& name) const {
    return open_ && IniFile(path_, false).valueExists(key_, name);
}

}  // namespace qv
