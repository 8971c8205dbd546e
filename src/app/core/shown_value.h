#pragma once
// How a setting's value appears in a message (stderr, the log, the status
// file, the window's log pane): the one place that decides it, so that no
// message shows a secret that the key's own lines hide. The boxes where the
// value is typed show it as it is.

#include <string>
#include <string_view>

namespace qv {

// `value` of `key` (a configuration file's key in any letter case, or a
// command-line keyword with its "-") as a message may quote it:
// - RUTA (whatever the output: a target may stay there when the output is
//   changed), -FTP, and -CSV and -DB, which set RUTA: an FTP target's password
//   as "****" (MaskFtpTarget), in every form of the target; a path in RUTA's
//   folder, as -DBUPLOAD may name, is shown with RUTA's mask too;
// - MODEM_INIT, -MODEM_INIT: not shown ("****"): it may hold a SIM PIN;
// - the stored passwords PASSW, SSH_PASS: "****";
// - CONTADORES (comma text, MaskedCommaText) and -METERS
//   (LINK-POINT-PASSWORD[-OPC] items, MaskedMeterItem): each meter's access
//   password as "****", and every item of an entry that is not of the form;
// and in all of them, as in any other key's, every control character
// escaped (ShownWithControls). An empty value stays empty.
std::string ShownValue(std::string_view key, std::string_view value);

// True for the keys and keywords above whose values may hold a secret: RUTA,
// -FTP, -CSV, -DB, -DBUPLOAD, MODEM_INIT, -MODEM_INIT, PASSW, SSH_PASS,
// CONTADORES, -METERS.
bool HoldsSecret(std::string_view key);

}  // namespace qv
