#pragma once
// The meter list: the rows of the main window's meter grid as plain data,
// how meters are added, replaced and removed, and the comma text the list
// takes in the configuration file and on the command line.
//
// A meter is identified by its link-address text: the grid never holds two
// rows with the same one. Row 0 is the header row; an empty list is two rows
// whose row 1 has an empty link address.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "meter/reading_run.h"
#include "platform/text.h"

namespace qv {

// A whole number as typed: blanks before it, an optional sign, decimal digits
// (or "$"/"0x" hexadecimal), within 32 bits. Nothing may follow.
bool parse_int32(std::string_view text, int32_t& value);

// Writes one meter into Row (growing the grid when needed); the status cell is
// cleared, so a replaced meter loses its old status.
void Put_in_grid_line(GridRows& grid, std::size_t Row, int32_t Link, int32_t Point,
                      int32_t Password, const std::string& Opc);
// Replaces the row with the same link address, else fills the empty row of an
// empty list, else appends a row.
void Add_to_Grid(GridRows& grid, int32_t Link, int32_t Point, int32_t Password,
                 const std::string& Opc);
// Empties the list: two rows, row 1 blank; the header row stays.
void Quitar_todo(GridRows& grid);
// Removes the rows whose link address, trimmed of blanks, equals LinkText
// trimmed; the rows below move up. Removing the last meter leaves the header
// row alone. Gives whether a row was removed.
bool RemoveMeter(GridRows& grid, std::string_view LinkText);
// The link addresses of the meters, trimmed, empty ones left out, in row order.
std::vector<std::string> MeterLinkTexts(const GridRows& grid);

// Comma text: items joined by ","; an item holding a blank, a control
// character, a "," or a double quote is quoted with inner quotes doubled.
std::string ToCommaText(const std::vector<std::string>& items);
// Items separated by "," and by unquoted blanks (space, tab); double quotes
// group an item. Any other control character is part of its item, quoted or
// not: it separates nothing.
// When afterBlank is given, it says for each item whether only blanks (no
// ",") separate it from the one before.
std::vector<std::string> FromCommaText(std::string_view text,
                                       std::vector<bool>* afterBlank = nullptr);

// A meter list's comma text as a message may show it, four items a meter:
// in an entry that reads as one (link, point and password whole numbers, then
// the code) the password as "****"; in any other, every non-empty item as
// "****", since which one is the password cannot be known.
std::string MaskedCommaText(std::string_view text);

// The configuration file's meter list: columns 0 to 3 of rows 1 and up.
std::string GridCommaText(const GridRows& grid);
// Merges the meters of a comma text into the grid, four items a meter (a
// group of four empty items, an empty list as saved, is no meter, nor are
// empty items after the last meter, a trailing ","). Gives the first entry
// that cannot be taken as written, empty when there is none: a group whose
// first three items are not whole numbers or do not fit their fields (see
// MeterNumbersProblem), an unfinished group at the end, a link address given
// twice. A text with such an entry merges none of its meters.
std::string MergeGridCommaText(GridRows& grid, std::string_view text);

// The link address and the measuring point travel as two bytes of every
// frame; the password as four bytes of the session's opening, but the list
// and the grid hold it as a signed 32-bit number, so a negative one would go
// out as another.
inline constexpr int32_t MaxLinkAddress = MaxFrameAddress;
inline constexpr int32_t MaxMeasurePoint = MaxFrameAddress;
inline constexpr int32_t MaxPassword = 2147483647;
// Why a meter's link address, measuring point and password (texts as typed,
// blanks around them allowed) cannot reach the meter as typed: not a whole
// number, or outside 0..MaxLinkAddress, 0..MaxMeasurePoint, 0..MaxPassword.
// The password's value is never shown. Empty when they can.
std::string MeterNumbersProblem(std::string_view link, std::string_view point,
                                std::string_view password);

// One meter item of the command line: LINK-POINT-PASSWORD[-OPC], the OPC
// code being all the text after the third "-", trimmed of blanks.
struct MeterItem {
    int32_t Link = 0;
    int32_t Point = 0;
    int32_t Password = 0;
    std::string Opc;
};
inline constexpr std::string_view MeterItemForm = "NO ES ENLACE-PUNTO-CONTRASENA[-OPC]";
// Why an item cannot be taken as a meter: MeterItemForm, MeterNumbersProblem's
// reason or OpcCodeProblem's; empty (and `meter` set) when it can.
std::string MeterItemProblem(std::string_view item, MeterItem& meter);
// A "-METERS" item as it may be shown: its access password (the third part)
// as "****"; an item that is not of the form (MeterItemForm) with every
// non-empty part between its "-" as "****".
std::string MaskedMeterItem(std::string_view item);

// One of a meter's three numbers, and why its text (as typed, blanks around
// it allowed) cannot reach the meter: MeterNumbersProblem's reason for it.
enum class MeterNumber { Link, Point, Password };
std::string MeterNumberProblem(MeterNumber field, std::string_view text);

// Why an OPC code cannot name a meter: a control character (C0, DEL or C1)
// anywhere in it, blanks around it included, which would write lines of its
// own into the CSV file and the status file. The code shown as
// ShownWithControls shows it; empty when it can.
std::string OpcCodeProblem(std::string_view opc);

}  // namespace qv
