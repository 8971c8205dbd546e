// The meter list: grid rules, comma text, meter items.

#include <gtest/gtest.h>

#include <tuple>

#include "app/core/meter_grid.h"

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
    };
    for (const auto& [text, want] : cases) EXPECT_EQ(FromCommaText(text), want) << text;

    const Items items = {"12", "", "OPC 7, \"x\"", "\t", "\xe9"};
    EXPECT_EQ(ToCommaText(items), "12,,\"OPC 7, \"\"x\"\"\",\"\t\",\xe9");
    EXPECT_EQ(GridCommaText(empty_grid()), ",,,");

    // A group with a non-numeric field is named without its password, an unfinished
    // one too; a list with such a group adds none of its meters.
    GridRows g = empty_grid();
    EXPECT_EQ(MergeGridCommaText(g, "x,1,5,Q,015,2,3,R,,,,,14"),
              "ENTRADA \"x,1,****,Q\" NO ES ENLACE,PUNTO,CONTRASENA,OPC");
    EXPECT_EQ(g, empty_grid());
    EXPECT_EQ(MergeGridCommaText(g, "015,2,3,R"), "");
    EXPECT_TRUE(MergeGridCommaText(g, "16,1,1,,17,1").starts_with("ENTRADA \"17,1\" NO ES"));
    // Empty items after the last meter are none; a trailing blank-separated item is one.
    EXPECT_EQ(MergeGridCommaText(g, "18,1,1,\"\", "), "");
    EXPECT_EQ(MeterLinkTexts(g), (Items{"15", "18"}));
    EXPECT_TRUE(MergeGridCommaText(g, "19,1,1,OPC 19").starts_with("ENTRADA \"19\" NO ES"));

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

}  // namespace
}  // namespace qv
