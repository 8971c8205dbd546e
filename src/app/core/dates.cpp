#include "app/core/dates.h"

#include <cctype>
#include <cstdio>
#include <ctime>

namespace qv {

namespace {

struct Scanner {
    std::string_view s;
    std::size_t pos = 0;

    void blanks() {
        while (pos < s.size() && s[pos] == ' ') ++pos;
    }
    bool number(int& n, int& digits) {
        blanks();
        n = 0;
        digits = 0;
        // At most four digits: a fifth one then fails the separator that follows.
        while (pos < s.size() && digits < 4 && std::isdigit(static_cast<unsigned char>(s[pos]))) {
            n = n * 10 + (s[pos++] - '0');
            ++digits;
        }
        return digits > 0;
    }
    bool separator() {
        blanks();
        if (pos < s.size() && s[pos] == '/') {
            ++pos;
            return true;
        }
        return false;
    }
};

enum class Order { YMD, MDY, DMY };

Order order_of(std::string_view format) {
    for (char c : format) {
        switch (std::toupper(static_cast<unsigned char>(c))) {
            case 'Y':
                return Order::YMD;
            case 'M':
                return Order::MDY;
            case 'D':
                return Order::DMY;
            default:
                break;
        }
    }
    return Order::YMD;
}

int current_year() {
    return static_cast<int>(std::chrono::year_month_day(Today()).year());
}

}  // namespace

Day STR_TO_NOW(std::string_view Text, std::string_view Format) {
    const Order order = order_of(Format);
    Scanner sc{Text};
    int n1, n2, n3, l1, l2, l3;
    if (!sc.number(n1, l1) || !sc.separator() || !sc.number(n2, l2)) return NullDate;
    int y, m, d, yearDigits;
    if (sc.separator()) {
        if (!sc.number(n3, l3)) return NullDate;
        switch (order) {
            case Order::YMD:
                y = n1, m = n2, d = n3, yearDigits = l1;
                break;
            case Order::MDY:
                m = n1, d = n2, y = n3, yearDigits = l3;
                break;
            default:
                d = n1, m = n2, y = n3, yearDigits = l3;
                break;
        }
        sc.separator();  // one trailing separator is tolerated
    } else {
        y = current_year();
        yearDigits = 4;
        if (order == Order::DMY)
            d = n1, m = n2;
        else
            m = n1, d = n2;
    }
    sc.blanks();
    if (sc.pos != Text.size()) return NullDate;
    if (yearDigits <= 2) y += current_year() / 100 * 100;
    const std::chrono::year_month_day ymd{std::chrono::year(y), std::chrono::month(m),
                                          std::chrono::day(d)};
    if (y < 1 || !ymd.ok()) return NullDate;
    return Day(ymd);
}

Day ReadDateYmd(std::string_view Text) {
    while (!Text.empty() && Text.front() == ' ') Text.remove_prefix(1);
    while (!Text.empty() && Text.back() == ' ') Text.remove_suffix(1);
    if (Text.find_first_not_of("0123456789/") != std::string_view::npos) return NullDate;
    Scanner sc{Text};
    int n[3], digits[3];
    for (int i = 0; i < 3; ++i)
        if ((i > 0 && !sc.separator()) || !sc.number(n[i], digits[i])) return NullDate;
    if (sc.pos != Text.size() || digits[0] != 4 || digits[1] > 2 || digits[2] > 2) return NullDate;
    const std::chrono::year_month_day ymd{std::chrono::year(n[0]), std::chrono::month(n[1]),
                                          std::chrono::day(n[2])};
    return ymd.ok() && Day(ymd) >= FirstTagDay && Day(ymd) <= LastTagDay ? Day(ymd) : NullDate;
}

std::string ReversedRangeLine(Day from, Day to) {
    if (from <= to || to == NullDate) return std::string();
    return "- FECHA DE INICIO POSTERIOR A LA DE FIN: SOLO SE LEE EL " + FormatDateYmd(to);
}

std::string FormatDateYmd(Day d) {
    const std::chrono::year_month_day ymd(d);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%04d/%02u/%02u", static_cast<int>(ymd.year()),
                  static_cast<unsigned>(ymd.month()), static_cast<unsigned>(ymd.day()));
    return buf;
}

Day Today() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return Day(std::chrono::year(local.tm_year + 1900) / (local.tm_mon + 1) / local.tm_mday);
}

}  // namespace qv
