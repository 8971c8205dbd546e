#include "app/core/shown_value.h"

#include <span>
#include <vector>

#include "app/core/meter_grid.h"
#include "export/ftp_upload.h"
#include "platform/text.h"

namespace qv {

namespace {

bool is_any(std::string_view key, std::span<const std::string_view> names) {
    for (std::string_view name : names)
        if (SameTextIgnoringCase(key, name)) return true;
    return false;
}

// Hidden whole: a password, or the modem string.
constexpr std::string_view kHidden[] = {"PASSW", "SSH_PASS", "MODEM_INIT", "-MODEM_INIT"};
// What RUTA holds may be an FTP target whatever the output (one left there
// when the output was changed); -CSV and -DB give it a folder, but still set
// RUTA, whose value they then hold; -DBUPLOAD names a file, which may be one
// written in that folder.
constexpr std::string_view kTargets[] = {"RUTA", "-FTP", "-CSV", "-DB", "-DBUPLOAD"};
// The meter lists.
constexpr std::string_view kMeters[] = {"CONTADORES", "-METERS"};

std::string masked(std::string_view key, std::string_view value) {
    if (is_any(key, kTargets)) return MaskFtpTarget(std::string(value));
    if (SameTextIgnoringCase(key, "CONTADORES")) return MaskedCommaText(value);
    if (SameTextIgnoringCase(key, "-METERS")) {
        std::vector<std::string> items = FromCommaText(value);
        for (std::string& item : items) item = MaskedMeterItem(item);
        return ToCommaText(items);
    }
    return std::string(value);
}

}  // namespace

bool HoldsSecret(std::string_view key) {
    return is_any(key, kHidden) || is_any(key, kTargets) || is_any(key, kMeters);
}

std::string ShownValue(std::string_view key, std::string_view value) {
    if (value.empty()) return std::string();
    if (is_any(key, kHidden)) return "****";
    return ShownWithControls(masked(key, value));
}

}  // namespace qv
