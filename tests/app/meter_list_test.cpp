// The meter list: grid rules, comma text, meter items.

#include <gtest/gtest.h>

#include <tuple>

#include "app/core/meter_grid.h"
#include "app/core/settings_check.h"
#include "app/core/shown_value.h"

namespace qv {
namespace {

using Items = std::vector<std::string>;

GridRows empty_grid() {
    return {GridRow{"DIRECCION DE ENLACE"}, GridRow{}};
}

TEST(MeterGrid, AddReplaceAndRemove) {
    GridRows g = empty_grid();
    Add_to_Grid(g, 12, 1, 5, "A");
    Add_to_Grid(g, 13, 1, 5, "");
    Add_to_Grid(g, 14, 1, 5, "");
    for (std::size_t r = 1; r < 4; ++r) g[r][4] = "S" + std::to_string(r);
    // The same link address replaces its row and clears its status.
    Add_to_Grid(g, 12, 2, 7, "B");
    EXPECT_EQ(g[1], (GridRow{"12", "2", "7", "B", ""}));
    // Matched as trimmed text: 012 is not 12; the rows below move up with their status.
    EXPECT_FALSE(RemoveMeter(g, "012"));
    EXPECT_TRUE(RemoveMeter(g, " 13 "));
    EXPECT_EQ(g[2], (GridRow{"14", "1", "5", "", "S3"}));
    EXPECT_TRUE(RemoveMeter(g, "12") && RemoveMeter(g, "14"));
    EXPECT_EQ(g.size(), 1u);  // the header row alone
    Add_to_Grid(g, 20, 1, 1, "");
    EXPECT_EQ(MeterLinkTexts(g), (Items{"20"}));
    Quitar_todo(g);
    EXPECT_EQ(g, empty_grid());
}

TEST(CommaText, ReadingWritingAndMerging) {
    const std::pair<const char*, Items> cases[] = {
        {"", {}},
        {"  a  b\t, c ", {"a", "b", "c"}},
        {"a,", {"a", ""}},
        {"\"ab\"cd,\"open", {"ab", "cd", "open"}},
        {"\xe9t\xe9,b", {"\xe9t\xe9", "b"}},
        // Only blanks separate: any other control character stays in its item.
        {"86\x01"
         "42,\x1f \x01a\rb\n",
         {"86\x01"
          "42",
          "\x1f", "\x01a\rb\n"}},
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(FromCommaText(text), want) << text;

    const Items items = {"12", "", "OPC 7, \"x\"", "\t", "\xe9"};
    EXPECT_EQ(ToCommaText(items), "12,,\"OPC 7, \"\"x\"\"\",\"\t\",\xe9");
    EXPECT_EQ(GridCommaText(empty_grid()), ",,,");
    // What is written reads back the same, a grid's codes with blanks and controls too.
    const Items odd = {"a b", "\t", "x\x01", "\x7f", "\r\n", " ", "\"", ","};
    EXPECT_EQ(FromCommaText(ToCommaText(odd)), odd);
    GridRows saved = empty_grid();
    Add_to_Grid(saved, 101, 1, 7,
                "OP\x01"
                "C");
    Add_to_Grid(saved, 102, 2, 8, "\tA B\t");
    GridRows loaded = empty_grid();
    EXPECT_EQ(MergeGridCommaText(loaded, GridCommaText(saved)), "");
    EXPECT_EQ(loaded, saved);

    // A group with a non-numeric field, or an unfinished one, cannot say which item is
    // its password: every item is hidden. A list with such a group adds none of its meters.
    GridRows g = empty_grid();
    EXPECT_EQ(MergeGridCommaText(g, "x,1,5,Q,015,2,3,R,,,,,14"),
              "ENTRADA \"****,****,****,****\" NO ES ENLACE,PUNTO,CONTRASENA,OPC");
    EXPECT_EQ(g, empty_grid());
    EXPECT_EQ(MergeGridCommaText(g, "015,2,3,R"), "");
    EXPECT_TRUE(MergeGridCommaText(g, "16,1,1,,17,1").starts_with("ENTRADA \"****,****\" NO ES"));
    // Empty items after the last meter are none; a trailing blank-separated item is one.
    EXPECT_EQ(MergeGridCommaText(g, "18,1,1,\"\", "), "");
    EXPECT_EQ(MeterLinkTexts(g), (Items{"15", "18"}));
    EXPECT_TRUE(MergeGridCommaText(g, "19,1,1,OPC 19").starts_with("ENTRADA \"****\" NO ES"));
    // A meter without its code shifts the next one's items; a control character
    // inside a number is no separator.
    for (const char* shifted : {"101,1,7,102,2,8642097,\"\"",
                                "101,1,864\x01"
                                "2097,\"OPC1\""}) {
        const std::string why = MergeGridCommaText(g, shifted);
        EXPECT_TRUE(why.ends_with(" NO ES ENLACE,PUNTO,CONTRASENA,OPC")) << why;
        EXPECT_EQ(why.find("864"), std::string::npos) << why;
    }
    EXPECT_EQ(MeterLinkTexts(g), (Items{"15", "18"}));
    // A code with a control character is read whole; the list's check refuses it.
    EXPECT_EQ(MergeGridCommaText(g,
                                 "20,1,1,OP\x01"
                                 "C"),
              "");
    EXPECT_EQ(g.back(), (GridRow{"20", "1", "1",
                                 "OP\x01"
                                 "C",
                                 ""}));

    // A list as a message shows it: entries that read as meters lose their passwords,
    // the others every item; an entry of the form out of range keeps its numbers.
    const std::pair<const char*, const char*> shown[] = {
        {"101,1,7,,102,2,8,X", "101,1,****,,102,2,****,X"},
        {"101,1,7,102,2,8642097,\"\"", "101,1,****,102,****,****,"},
        {"65637,1,7,", "65637,1,****,"},
        {"101,1,7 8,\"OP 1\",x", "101,1,****,8,****,****"},
        {",,,", ",,,"},
    };
    for (const auto& [text, want] : shown) EXPECT_EQ(ShownValue("CONTADORES", text), want) << text;

    // What parts an item from the one before: blanks alone, or a ",".
    std::vector<bool> afterBlank;
    EXPECT_EQ(FromCommaText("a b,c \"d e\" ,f,", &afterBlank),
              (Items{"a", "b", "c", "d e", "f", ""}));
    EXPECT_EQ(afterBlank, (std::vector<bool>{false, true, false, true, false, false}));
}

// A command-line meter item: its OPC code all that follows the third "-", its
// numbers whole and within what the frames carry (the password never named).
TEST(MeterItems, FormFieldsAndTheWholeCode) {
    const std::tuple<const char*, std::string, std::string> rows[] = {
        {"101-1-7", "", ""},
        {" 101-1-7-CT-NORTE-7 ", "", "CT-NORTE-7"},
        {"101-1-7- A B -", "", "A B -"},
        {"65535-65535-2147483647", "", ""},
        {"0-0-0-", "", ""},
        {"101-1", std::string(MeterItemForm), ""},
        {"101--7", std::string(MeterItemForm), ""},
        {"x-1-7", std::string(MeterItemForm), ""},
        {"1-1-2147483648", std::string(MeterItemForm), ""},
        {"65536-1-1", "LA DIRECCION DE ENLACE \"65536\" NO CABE EN LA TRAMA (0 A 65535)", ""},
        {"1-65536-1", "EL PUNTO DE MEDIDA \"65536\" NO CABE EN LA TRAMA (0 A 65535)", ""},
    };
    for (const auto& [item, why, opc] : rows) {
        MeterItem m;
        EXPECT_EQ(MeterItemProblem(item, m), why) << item;
        if (why.empty()) {
            EXPECT_EQ(m.Opc, opc) << item;
        }
    }
    EXPECT_EQ(MeterNumbersProblem(" 1 ", "2", "-5"),
              "LA CONTRASENA NO CABE EN LA TRAMA (0 A 2147483647)");
    EXPECT_EQ(MeterNumbersProblem("1", "", "12"), "EL PUNTO DE MEDIDA \"\" NO ES UN NUMERO ENTERO");
    EXPECT_EQ(MeterNumbersProblem("1", "2", "12x"), "LA CONTRASENA NO ES UN NUMERO ENTERO");
}

// A control character anywhere in a code, also where a trim would drop it,
// is refused and shown escaped; blanks and letters beyond ASCII are taken.
TEST(MeterItems, ControlCharactersInTheCode) {
    const std::pair<const char*, std::string> rows[] = {
        {"101-1-7-A B ñ", ""},
        {"101-1-7-A\nB", "EL CODIGO OPC \"A\\x0AB\" LLEVA UN CARACTER DE CONTROL"},
        {"101-1-7-AB\r", "EL CODIGO OPC \"AB\\x0D\" LLEVA UN CARACTER DE CONTROL"},
        {"101-1-7-\tAB", "EL CODIGO OPC \"\\x09AB\" LLEVA UN CARACTER DE CONTROL"},
        {"101-1-7-A\x7F", "EL CODIGO OPC \"A\\x7F\" LLEVA UN CARACTER DE CONTROL"},
        {"101-1-7-A\xC2\x85", "EL CODIGO OPC \"A\\u0085\" LLEVA UN CARACTER DE CONTROL"},
        // The numbers are named first.
        {"101-1-x-A\nB", std::string(MeterItemForm)},
        // A control character is no separator: the number it ends is none.
        {"101-1-8642097\x01", std::string(MeterItemForm)},
    };
    for (const auto& [item, why] : rows) {
        MeterItem m;
        EXPECT_EQ(MeterItemProblem(item, m), why) << item;
    }
}

// The one check of a meter list, whatever its source: codes that are one name
// in the database (trimmed, upper-cased, the first 255 characters), both
// entries named with their passwords hidden; empty codes repeat freely.
TEST(MeterList, OneNameOneMeter) {
    const std::string longName(255, 'N');
    const std::tuple<const char*, std::string, std::string, std::string> rows[] = {
        {"distinct", "Pinar-2", "Pinar-3", ""},
        {"both empty", "", " ", ""},
        {"case", "Pinar-2", " PINAR-2 ",
         "ERROR EN EL CONTADOR 102: CODIGO OPC REPETIDO: \"101-1-****-Pinar-2\" Y "
         "\"102-2-****-PINAR-2\" SON UN SOLO NOMBRE, \"PINAR-2\", EN LA BASE DE DATOS (NO "
         "DISTINGUE MAYUSCULAS, ACENTOS NI ESPACIOS A LOS LADOS)"},
        {"Latin-1 letters", "Campiña", "CAMPIÑA", "CODIGO OPC REPETIDO"},
        // The server's collations take accented letters for their base letter.
        {"accent", "José", "JOSE",
         "CODIGO OPC REPETIDO: \"101-1-****-José\" Y \"102-2-****-JOSE\" SON UN SOLO NOMBRE, "
         "\"JOSÉ\","},
        {"accents and sharp s", "Straße-Ø", "STRASE-o", "CODIGO OPC REPETIDO"},
        {"soft hyphen", "AB", "A\u00ADB", "CODIGO OPC REPETIDO"},
        {"other letters", "U1", "Y1", ""},
        {"signs", "A×B", "AXB", ""},
        {"beyond 255", longName + "a", longName + "B", "CODIGO OPC REPETIDO"},
        {"control", "A\tB", "C",
         "ERROR EN EL CONTADOR 101: EL CODIGO OPC \"A\\x09B\" LLEVA UN CARACTER DE CONTROL"},
    };
    for (const auto& [name, first, second, why] : rows) {
        GridRows g = empty_grid();
        g.push_back(GridRow{"102", "2", "8", second, ""});
        g[1] = GridRow{"101", "1", "7", first, ""};
        g.push_back(GridRow{});  // an empty row at the end is no meter
        const std::string got = MeterListProblem(g);
        EXPECT_TRUE(why.empty() ? got.empty() : got.find(why) != std::string::npos)
            << name << ": " << got;
    }
    // A link address twice is named before the codes compare.
    const GridRows twice = {GridRow{}, GridRow{"7", "1", "1", "A"}, GridRow{"7", "1", "1", "a"}};
    EXPECT_EQ(MeterListProblem(twice), "ERROR EN EL CONTADOR 7: DIRECCION DE ENLACE 7 REPETIDA");
}

// A command-line item as a message shows it: an item of the form without its
// password; any other with every part hidden, its "-" kept, since which part
// is the password cannot be known.
TEST(MeterItems, ShownWithoutAnythingThatMayBeThePassword) {
    const std::pair<const char*, const char*> rows[] = {
        {"101-1-8642097", "101-1-****"},
        {"101-1-7-CT-NORTE-7", "101-1-****-CT-NORTE-7"},
        {"101-70000-8642097", "101-70000-****"},
        {"101-1-8642097-OP\x01"
         "C",
         "101-1-****-OP\x01"
         "C"},
        {"101-1--8642097", "****-****--****"},
        {"8642097", "****"},
        {"101-1-8642097\x01", "****-****-****"},
        {"101-1-8642097x-CT-NORTE-", "****-****-****-****-****-"},
        {"-8642097", "-****"},
    };
    for (const auto& [item, want] : rows) EXPECT_EQ(MaskedMeterItem(item), want) << item;
}

// One number of a meter at a time, as the add dialog asks for them.
TEST(MeterItems, EachNumberInItsField) {
    const std::tuple<MeterNumber, const char*, std::string> rows[] = {
        {MeterNumber::Link, "0", ""},
        {MeterNumber::Link, " 65535 ", ""},
        {MeterNumber::Link, "65536",
         "LA DIRECCION DE ENLACE \"65536\" NO CABE EN LA TRAMA (0 A 65535)"},
        {MeterNumber::Point, "0", ""},
        {MeterNumber::Point, "-1", "EL PUNTO DE MEDIDA \"-1\" NO CABE EN LA TRAMA (0 A 65535)"},
        {MeterNumber::Password, "2147483647", ""},
        {MeterNumber::Password, "100000", ""},
        {MeterNumber::Password, "-1", "LA CONTRASENA NO CABE EN LA TRAMA (0 A 2147483647)"},
        {MeterNumber::Password, "", "LA CONTRASENA NO ES UN NUMERO ENTERO"},
    };
    for (const auto& [field, text, why] : rows)
        EXPECT_EQ(MeterNumberProblem(field, text), why) << text;
}

}  // namespace
}  // namespace qv
