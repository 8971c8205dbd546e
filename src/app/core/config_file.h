#pragma once
// The configuration file: every setting of the main window (and, through the
// database output's own reader and writer, the database window's boxes) as
// keys of section "MAIN" of an INI file, and the key-store record that tells
// other programs which file was used last.

#include <string>
#include <string_view>
#include <vector>

#include "app/core/settings.h"
#include "export/sql_output.h"
#include "platform/ini_file.h"

namespace qv {

inline constexpr std::string_view ConfigSection = "MAIN";
// Where the last configuration file is recorded for other programs.
inline constexpr std::string_view KeyStoreMaker = "PELLANTRIA";
inline constexpr std::string_view KeyStoreProgram = "QUORVANTA";
inline constexpr std::string_view IniRecordKey = "\\SOFTWARE\\PELLANTRIA\\QUORVANTA";
inline constexpr std::string_view IniRecordValue = "INI";

// Writes every key of the window's settings and then the database keys into
// the file, keeping its other sections and keys; each key the save writes
// stands once in the file. The file is replaced in one step: a failed save
// (false) leaves the file as it was. A value that a load would refuse is not
// saved, nor onto a file that a load would still refuse once the keys are
// written (MainKeysProblem: a key no part of the program reads, a line that
// is no key, a header with a key on its line): false, and *problem (when
// given) names the key, the value and why, or the line, as a load would.
// Each line keeps its ending.
bool SaveConfigFile(const std::string& path, const WindowSettings& s, const DbSettings& db,
                    std::string* problem = nullptr);

// The first key SaveConfigFile would not save because a load would not take
// it back as written, in a load's words ("KEY: \"value\" reason"); empty
// when every key would load back. The same rules as a load's, not a copy.
std::string ConfigKeysProblem(const WindowSettings& s, const DbSettings& db);

// The first line of section "MAIN" (under any of its headers) that holds
// text but no "key=" ("LINEA 7 DE [MAIN] NO ES CLAVE=VALOR"), or the first
// header of any section with more than a comment after its "]"
// ("[MAIN]RUTA=/srv": "LINEA 1 DE [MAIN] NO ES CLAVE=VALOR"; "[OTRA]x=1":
// "LINEA 4 DE [OTRA] NO ES CLAVE=VALOR"), whichever comes first; else the first key, in
// file order, that no part of the program reads or writes, or that is given
// twice (in any letter case), in a log line's words: "CLAVE RUTTA DESCONOCIDA EN
// [MAIN]", "CLAVE HOST REPETIDA EN [MAIN]: \"a\" Y \"b\"" (stored passwords,
// and the meters' in CONTADORES, as "****"). Empty when there is none.
std::string MainKeysProblem(const IniFile& f);

// Reads the window's keys (meter list to output folder) into s: the meters
// are merged into the grid, each other key sets its setting or, when
// missing, its default. False, with s unchanged, when the file cannot be read
// as a configuration file: missing, a folder, not readable, in another
// encoding (UTF-16, a UTF-8 byte-order mark), without section "MAIN", or one
// that means two things or names what nothing reads (MainKeysProblem). When
// given, *problems then holds why in a log line's words ("ERROR EN INIFILE
// path: reason"); after a load it holds one such line for each key that could
// not be taken as written (that key kept its previous value; see
// LoadConfigKeys), the database window's keys last (DbSettingsProblems: that
// window's own load keeps their previous values), or nothing.
bool LoadConfigFile(const std::string& path, WindowSettings& s,
                    std::vector<std::string>* problems = nullptr);
// Gives each key that could not be taken as written ("KEY: \"value\" reason";
// for CONTADORES the first entry, its password hidden), in the order a save
// writes them; such a key keeps the value s had (CONTADORES refused merges
// none of its meters). A key with a set of values or a range (PORT, the
// serial line's four, CONEXION, HOST_PORT, the dates, INTERVALO,
// Tipo_Salida, the check boxes) takes only those; a missing key, or an
// empty one, takes its default (PARIDAD_CONTADOR: stays; HOST_PORT: the
// default port 40000, also for a blank one; a port is taken as its number,
// " 40001 " as "40001"). The parity is also taken in English (NONE, ODD,
// EVEN, MARK, SPACE).
std::vector<std::string> LoadConfigKeys(const IniFile& f, WindowSettings& s);

// Writes a string value (DataType 1; any other type writes nothing) under Key
// of the key store at storePath, creating the key. Failures are ignored, as
// a registry write without administrator rights would be.
void SetRegistryData(const std::string& storePath, const std::string& Key,
                     const std::string& ValueName, int DataType, const std::string& Value);

}  // namespace qv
