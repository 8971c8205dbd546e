#pragma once
// What the database upload computes without a server: the split of a readings
// CSV line into one table row, the statements that write a row, and the
// reading of a whole readings file. Values always travel as bound parameters;
// only the schema name is written into the statement text, quoted as an
// identifier.

#include <array>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

// One row of the table `quorvanta`, every value as the text sent to the server.
struct SqlRow {
    std::string NOMBRE;
    std::string METER_DATE;  // "yyyy-mm-dd"
    std::string METER_TIME;  // "hh:nn:00"
    std::string HORARIO;     // "V" or "I"
    // E_ACTIVA_POS, E_ACTIVA_NEG, E_REACTIVA_L_POS, E_REACTIVA_L_NEG,
    // E_REACTIVA_C_POS, E_REACTIVA_C_NEG
    std::array<std::string, 6> Energy;
    std::string COD_ERROR;  // "0", or "1" when an energy field was not a number
    // Not empty: why the row cannot be written (a date or time that does not
    // exist). The upload stops at it as at a statement the server refuses, so
    // that a server without strict mode does not store it as zeros.
    std::string Fault;

    // The values in the column order of the INSERT.
    std::vector<std::string> InsertValues() const;
    // What unique mode looks a row up by. The season tells apart the two hours
    // of the same name on the day summer time ends.
    std::vector<std::string> Key() const { return {NOMBRE, METER_DATE, METER_TIME, HORARIO}; }
};

// The fields of a delimited text: a field ends at the delimiter or at a blank
// or control character, blanks after a field are skipped, a field may be
// double-quoted (a doubled quote inside stands for one), and a delimiter at the
// very end adds one empty last field.
std::vector<std::string> SplitDelimited(std::string_view text, char delimiter);

// The meter name of a readings file's first line: the trimmed text after the
// first ":", at most 255 characters.
std::string MeterNameOf(std::string_view firstLine);

// A meter name (UTF-8) as the table's usual collations compare it: letters in
// one case and without their accents or strokes ("Jose", "JOSÉ" and "josé"
// give "JOSE"), "ß" as "S", "ª" and "º" as "A" and "O", superscript digits as
// digits, the soft hyphen left out; other characters as they are. Two names
// with one key may be one name to the server's WHERE, so their rows would
// merge. The Swedish collation's own equalities ("Ü" = "Y", and "Å", "Ä", "Ö"
// = "[", "\", "]") are not followed: "Ü" would make "U1" and "Y1" one name.
std::string NameCollationKey(std::string_view name);

// Text as the connection's Latin-1 takes it. Valid UTF-8 (the command line, a
// configuration file written by hand) is converted; any other text is Latin-1
// already (the window's, and the files it writes). False, with the first
// character Latin-1 cannot hold in `bad`, when there is one.
bool ToLatin1(std::string_view text, std::string& out, char32_t& bad);
// "U+20AC": a character named in a log line, which shows only ASCII.
std::string CodePointName(char32_t c);

// One CSV data line into a row of meter `name`. False for a line with fewer
// than 9 fields and for a line without a full date (a slot with no reading
// stored, which has no key to be written under). A date or time that does
// not exist gives a row with its Fault set.
bool ok_parse(const std::string& name, std::string_view line, SqlRow& row);

// `name` quoted as a MySQL identifier (backticks, a backtick inside doubled).
std::string QuoteIdentifier(std::string_view name);
// ", `column`": one more column of the INSERT's column list.
std::string Insert_Field(std::string_view column);

std::string InsertStatement(std::string_view schema);     // parameters: InsertValues()
std::string SelectKeyStatement(std::string_view schema);  // parameters: Key()
// Parameters: the six energies then Key().
std::string UpdateStatement(std::string_view schema);

// Reads a readings file for the upload: `rows` gets one row per data line that
// parses. False when the file cannot be uploaded; `log` then had the red reason.
using UploadLog = std::function<void(const std::string& line)>;
bool ReadReadingsFile(const std::string& path, std::vector<SqlRow>& rows, const UploadLog& log);

}  // namespace qv
