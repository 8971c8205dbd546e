#include "app/core/csv_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <memory>
#include <optional>
#include <random>

#include "app/core/app_log.h"
#include "app/core/shown_value.h"
#include "platform/text.h"
#include "platform/worker_message.h"

namespace qv {

namespace {

const std::string kDashes(68, '-');

std::string folderOf(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// A path in RUTA's folder as a line shows it: with RUTA's mask (a folder may
// be named as an FTP target is, user:password@host) and its control
// characters escaped.
std::string shown(const std::string& path) {
    return ShownValue("RUTA", path);
}

// The name from the root, as a failure names the file.
std::string fullPath(const std::string& name) {
    std::error_code ec;
    const auto full = std::filesystem::absolute(name, ec);
    return ec ? name : full.lexically_normal().string();
}

// Renames `from` to `to` only when no file of that name exists.
bool renameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS) return false;  // EEXIST among them
    // A file system without that flag: checked first, with a short window.
    struct stat st {};
    if (::lstat(to.c_str(), &st) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// The file of a reading that did not complete takes `name` only when it is
// free, else the first free of "(1)", "(2)", ... after it: it never replaces
// a file, which may hold a complete reading. The name taken; "" on failure.
std::string moveBeside(const std::string& temp, const std::string& name) {
    for (int i = 0; i < 1000; ++i) {
        const std::string n = i == 0 ? name : name + "(" + std::to_string(i) + ")";
        if (renameNoReplace(temp, n)) return n;
        if (errno != EEXIST && errno != ENOTEMPTY && errno != EISDIR) return "";
    }
    return "";
}

// Renames `from` to `to`; `replaced` tells whether a file of that name was.
bool renameOver(const std::string& from, const std::string& to, bool& replaced) {
    replaced = false;
    if (renameNoReplace(from, to)) return true;
    if (errno != EEXIST) return false;
    replaced = ::rename(from.c_str(), to.c_str()) == 0;
    return replaced;
}

// The file's full name: in `ruta` (made when missing, one level), in the
// current folder when `ruta` is empty, bare for the FTP output. A folder that
// cannot be made is logged; the write then fails with its own reason.
std::string outputName(int32_t linkAddress, bool viaFtp, const std::string& ruta, Day today,
                       const LogFn& log) {
    std::string name;
    try {
        name = CsvFileName(linkAddress, today);
        if (!viaFtp && ruta.empty()) {
            // No folder: the current one, as for the FTP output; the log shows
            // the full name.
            std::error_code ec;
            const auto cwd = std::filesystem::current_path(ec);
            if (!ec) name = cwd.string() + "/" + name;
        } else if (!viaFtp) {
            name = ruta + "/" + name;
            struct stat st {};
            if (::stat(ruta.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                if (::mkdir(ruta.c_str(), 0755) != 0)
                    log("- ERROR AL CREAR LA CARPETA/FICHERO LOCAL DE SALIDA DE DATOS : " +
                            shown(name) + " - " + std::strerror(errno),
                        colour::Red);
            }
        }
    } catch (const std::exception& e) {
        log(std::string("- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS - ") + e.what(),
            colour::Red);
    }
    return name;
}

constexpr std::string_view kTempPrefix = ".quorvanta-csv-";

// A name that mkstemp made from our pattern.
bool isOwnTempName(std::string_view name) {
    if (name.size() != kTempPrefix.size() + 6 || !name.starts_with(kTempPrefix)) return false;
    name.remove_prefix(kTempPrefix.size());
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
}

// A write killed between its temporary file and the rename leaves that file
// for good: ours (the pattern, a regular file of this user) older than a day
// is removed, with a line each. A younger one may be another writer's.
void removeLeftovers(const std::string& folder, const LogFn& log) {
    const std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), ::closedir);
    if (!dir) return;
    const std::time_t dayAgo = std::time(nullptr) - 24 * 3600;
    while (const dirent* e = ::readdir(dir.get())) {
        struct stat st {};
        if (!isOwnTempName(e->d_name) ||
            ::fstatat(::dirfd(dir.get()), e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() || st.st_mtime >= dayAgo)
            continue;
        if (::unlinkat(::dirfd(dir.get()), e->d_name, 0) == 0)
            log("- BORRADO FICHERO TEMPORAL ABANDONADO : " + shown(folder + "/" + e->d_name),
                colour::White);
    }
}

// A new file of our temporary pattern in `folder`, made with the mode any
// other new file gets (0666 less the umask, or the folder's default ACL):
// mkstemp would make it 0600. The descriptor, or -1 with errno set.
int createTemp(const std::string& folder, std::string& temp) {
    static constexpr std::string_view kLetters =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    thread_local std::mt19937 random{std::random_device{}()};
    std::uniform_int_distribution<std::size_t> pick(0, kLetters.size() - 1);
    for (int tries = 0; tries < 100; ++tries) {
        temp = folder + "/" + std::string(kTempPrefix);
        for (int i = 0; i < 6; ++i) temp += kLetters[pick(random)];
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;  // errno EEXIST
}

// The text in a new temporary file of `folder` (the final folder, so that the
// rename is atomic), synced to disk; its name, or "" with the reason in `err`.
std::string writeTemp(const std::string& folder, const std::string& text, int& err) {
    std::string temp;
    const int fd = createTemp(folder, temp);
    if (fd < 0) {
        err = errno;
        return "";
    }
    bool ok = WriteAll(fd, text) && ::fsync(fd) == 0;
    err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (ok) return temp;
    ::unlink(temp.c_str());
    return "";
}

// One register's value in a row, or nothing where it is not known ("- ").
using Field = std::optional<uint32_t>;
using Fields = std::array<Field, kRegisters>;

std::string prefix(const TSlotLabel& l) {
    return l.Date + ";" + l.Time + ";" + Es_verano(l.Summer) + ";";
}

std::string fieldText(const Field& v) {
    return v ? std::to_string(static_cast<int32_t>(*v)) + "; " : "- ; ";
}

std::string row(const TSlotLabel& label, const Fields& absolute, const Fields& increment) {
    std::string r = prefix(label);
    for (const Field& v : absolute) r += fieldText(v);
    for (const Field& v : increment) r += fieldText(v);
    return r;
}

bool takesPart(const Tdevice& d, std::size_t k, int hour, int quarter) {
    return !d.Labels[k](hour, quarter).Time.empty();
}

// The value a slot holds for a register; nothing when the slot holds no
// record or the record lacks the register.
Field stored(const Tdevice& d, std::size_t k, int reg, int hour, int quarter) {
    if (!takesPart(d, k, hour, quarter) || (d.Quality[k](reg, hour, quarter) & TDayQuality::NoData))
        return std::nullopt;
    return d.Values[k](reg, hour, quarter);
}

// Closure C(k), register by register.
Fields closure(const Tdevice& d, std::size_t k) {
    Fields c;
    for (int reg = 1; reg <= kRegisters; ++reg) c[reg - 1] = stored(d, k, reg, 0, 0);
    return c;
}

// a - b modulo 2^32 where both are known.
Fields minus(const Fields& a, const Fields& b) {
    Fields r;
    for (int i = 0; i < kRegisters; ++i)
        if (a[i] && b[i]) r[i] = *a[i] - *b[i];
    return r;
}

// "0" where the value is known: the opening row's increments.
Fields zeroWhereKnown(const Fields& a) {
    Fields r;
    for (int i = 0; i < kRegisters; ++i)
        if (a[i]) r[i] = 0;
    return r;
}

// Minutes of a slot's time tag on one scale across the changes of season
// (the summer hour taken back); -1 for a label without a time.
int labelMinutes(const TSlotLabel& l) {
    int hour = 0, minute = 0;
    if (std::sscanf(l.Time.c_str(), "%d:%d", &hour, &minute) != 2) return -1;
    return hour * 60 + minute - (l.Summer == 1 ? 60 : 0);
}

// The load-profile rows of one day. The running total of a register is the
// meter's counter only while every slot of the day so far holds that
// register's record, one period after the other from the opening closure on:
// a missing or unreadable record, or one that lacks the register, leaves the
// counter unknown until the next closure. Each record's increment is its own
// energy whatever came before it.
class ProfileDay {
  public:
    ProfileDay(const Tdevice& d, std::size_t k, bool quarterly)
        : d_(d), k_(k), quarterly_(quarterly), total_(closure(d, k)) {}

    // The rows of the day's slots, then the closing row against C(k+1).
    void rows(std::vector<std::string>& out) {
        const int lastQuarter = quarterly_ ? kQuarters - 1 : 0;
        if (quarterly_)
            for (int q = 1; q < kQuarters; ++q) out.push_back(slotRow(0, q));  // always written
        for (int h = 1; h < kHours; ++h)
            for (int q = 0; q <= lastQuarter; ++q)
                if (takesPart(d_, k_, h, q)) out.push_back(slotRow(h, q));
        out.push_back(closingRow());
    }

  private:
    // The record in (hour, quarter) is the day's next period: the first
    // period of the day in its first slot, else one period after the last
    // record of the unbroken run.
    bool follows(int hour, int quarter) const {
        const TSlotLabel& l = d_.Labels[k_](hour, quarter);
        if (!last_)
            return quarterly_ ? hour == 0 && quarter == 1 && l.Time == "00:15"
                              : hour == 1 && l.Time == "01:00";
        return l.Date == last_->Date &&
               labelMinutes(l) == labelMinutes(*last_) + (quarterly_ ? 15 : 60);
    }

    std::string slotRow(int hour, int quarter) {
        const bool taken = takesPart(d_, k_, hour, quarter);
        whole_ = whole_ && taken && follows(hour, quarter);
        Fields absolute, increment;
        for (int reg = 1; reg <= kRegisters; ++reg) {
            Field& total = total_[reg - 1];
            increment[reg - 1] = stored(d_, k_, reg, hour, quarter);
            if (!whole_ || !increment[reg - 1]) total.reset();
            if (total) absolute[reg - 1] = total = *total + *increment[reg - 1];
        }
        if (whole_) last_ = &d_.Labels[k_](hour, quarter);
        return row(d_.Labels[k_](hour, quarter), absolute, increment);
    }

    // The next closure as read; its increment only when every slot of the
    // day held a record, so that nothing is missing from it, whatever the
    // length of the day: the unbroken run reached the day's last period.
    std::string closingRow() const {
        const Fields next = closure(d_, k_ + 1);
        const bool complete = whole_ && last_ && last_->Time == (quarterly_ ? "23:45" : "23:00");
        return row(d_.Labels[k_ + 1](0, 0), next, complete ? minus(next, total_) : Fields{});
    }

    const Tdevice& d_;
    std::size_t k_;
    bool quarterly_;
    Fields total_;                      // the counter after the last slot, where known
    bool whole_ = true;                 // every slot so far holds its record
    const TSlotLabel* last_ = nullptr;  // the last record of the unbroken run
};

}  // namespace

std::string Es_verano(int flag) {
    return flag == 1 ? "Verano" : "Invierno";
}

std::string CsvFileName(int32_t linkAddress, Day date) {
    const std::chrono::year_month_day ymd{date};
    char buf[64];
    std::snprintf(buf, sizeof buf, "%d_%.2d_%.2u_%.2u.CSV", linkAddress,
                  static_cast<int>(ymd.year()) % 100, static_cast<unsigned>(ymd.month()),
                  static_cast<unsigned>(ymd.day()));
    return buf;
}

Day LocalToday() {
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    localtime_r(&t, &tm);
    return Day{std::chrono::year{tm.tm_year + 1900} / (tm.tm_mon + 1) / tm.tm_mday};
}

std::vector<std::string> CsvRows(const Tdevice& d) {
    std::vector<std::string> out;
    const std::size_t n = std::min({d.Values.size(), d.Quality.size(), d.Labels.size()});
    if (n == 0) return out;
    out.push_back(row(d.Labels[0](0, 0), closure(d, 0), zeroWhereKnown(closure(d, 0))));
    for (std::size_t k = 0; k + 1 < n; ++k) {
        switch (d.IntervalType) {
            case IntervalQuarterHour:
            case IntervalHourly:
                ProfileDay(d, k, d.IntervalType == IntervalQuarterHour).rows(out);
                break;
            default:  // daily and monthly closures
                out.push_back(row(d.Labels[k + 1](0, 0), closure(d, k + 1),
                                  minus(closure(d, k + 1), closure(d, k))));
        }
    }
    return out;
}

std::string CsvText(const Tdevice& d) {
    std::string text;
    if (!d.OpcCode.empty()) {
        text += UpperLatin1Letters("OPC_ID : " + d.OpcCode) + "\r\n";
    }
    text.append(kCsvHeader);
    text += "\r\n";
    for (const auto& r : CsvRows(d)) text += r + "\r\n";
    return text;
}

std::string Crear_fixer(const Tdevice& device, bool viaFtp, const std::string& ruta, Day today,
                        const LogFn& log) {
    log(kDashes, colour::White);
    std::string name = outputName(device.LinkAddress, viaFtp, ruta, today, log);
    const std::string wanted = name;
    try {
        const std::string folder = folderOf(name);
        removeLeftovers(folder, log);
        int err = 0;
        const std::string temp = writeTemp(folder, CsvText(device), err);
        bool ok = !temp.empty(), replaced = false;
        if (ok && !device.Complete) {
            const std::string beside = moveBeside(temp, name);
            ok = !beside.empty();
            err = errno;
            if (ok && beside != name)
                log("- LECTURA INCOMPLETA, SE CONSERVA EL FICHERO EXISTENTE : " + shown(name),
                    colour::Red);
            if (ok) name = beside;
        } else if (ok) {
            // An earlier file of the same name is replaced only by a whole new
            // one; a name that cannot be replaced (a folder, say) gets "(1)".
            ok = renameOver(temp, name, replaced);
            if (!ok) {
                name += "(1)";
                ok = renameOver(temp, name, replaced);
            }
            err = errno;
        }
        if (!ok) {
            if (!temp.empty()) ::unlink(temp.c_str());
            log("- ERROR AL CREAR EL FICHERO LOCAL DE SALIDA DE DATOS : " +
                    shown(fullPath(wanted)) + " - " + std::strerror(err),
                colour::Red);
            return "";
        }
        // The name holds the day of writing: a second reading that day replaces the first.
        if (replaced)
            log("- SE REEMPLAZA EL FICHERO EXISTENTE DEL MISMO DIA : " + shown(name),
                colour::White);
        log("- CREADO FICHERO LOCAL DE SALIDA DE DATOS : " + shown(name), colour::Green);
        log(kDashes, colour::White);
        return name;
    } catch (...) {
        return "";
    }
}

}  // namespace qv
