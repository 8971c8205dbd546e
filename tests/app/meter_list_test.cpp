// The meter list: grid rules, comma text, meter items.

#include <gtest/gtest.h>

#include "app/core/meter_grid.h"

namespace qv {
namespace {

using Items = std::vector<std::string>;

GridRows empty_grid() {
    return {GridRow{"DIRECCION DE ENLACE"}, GridRow{}};
}

// Link address and status of each meter row.
std::vector<std::pair<std::string, std::string>> rows(const GridRows& g) {
    std::vector<std::pair<std::string, std::string>> out;
    for (std::size_t r = 1; r < g.size(); ++r) out.emplace_back(g[r][0], g[r][4]);
    return out;
}

TEST(MeterGrid, AddReplaceAndRemove) {
    GridRows g = empty_grid();
    Add_to_Grid(g, 12, 1, 5, "A");
    EXPECT_EQ(g.size(), 2u);
    Add_to_Grid(g, 13, 1, 5, "");
    Add_to_Grid(g, 14, 1, 5, "");
    ASSERT_EQ(g.size(), 4u);
    for (std::size_t r = 1; r < 4; ++r) g[r][4] = "S" + std::to_string(r);

    // The same link address replaces its row and clears its status.
    Add_to_Grid(g, 12, 2, 7, "B");
    EXPECT_EQ(g[1], (GridRow{"12", "2", "7", "B", ""}));
    EXPECT_EQ(g.size(), 4u);

    // Matched as trimmed text: 012 is not 12; the rows below move up with their status.
    EXPECT_FALSE(RemoveMeter(g, "012"));
    EXPECT_TRUE(RemoveMeter(g, " 13 "));
    EXPECT_EQ(rows(g),
              (std::vector<std::pair<std::string, std::string>>{{"12", ""}, {"14", "S3"}}));
    EXPECT_EQ(MeterLinkTexts(g), (Items{"12", "14"}));

    EXPECT_TRUE(RemoveMeter(g, "12"));
    EXPECT_TRUE(RemoveMeter(g, "14"));
    EXPECT_EQ(g.size(), 1u);  // the header row alone
    Add_to_Grid(g, 20, 1, 1, "");
    EXPECT_EQ(rows(g), (std::vector<std::pair<std::string, std::string>>{{"20", ""}}));
    EXPECT_EQ(g[0][0], "DIRECCION DE ENLACE");

    Quitar_todo(g);
    EXPECT_EQ(g, empty_grid());
    EXPECT_TRUE(MeterLinkTexts(g).empty());
}

TEST(CommaText, Reading) {
    const struct {
        const char* text;
        Items want;
    } cases[] = {
        {"", {}},
        {"a,b", {"a", "b"}},
        {"  a  b\t", {"a", "b"}},
        {" a , b ", {"a", "b"}},
        {",,", {"", "", ""}},
        {"a,", {"a", ""}},
        {"\"OPC 7, x\",c", {"OPC 7, x", "c"}},
        {"\"x\"\"y\"", {"x\"y"}},
        {"\"ab\"cd", {"ab", "cd"}},
        {"\"open", {"open"}},
        {"\xe9t\xe9,b", {"\xe9t\xe9", "b"}},
    };
    for (const auto& c : cases) EXPECT_EQ(FromCommaText(c.text), c.want) << c.text;
}

TEST(CommaText, WritingRoundTrips) {
    const Items items = {"12", "1", "", "OPC 7, \"x\"", "\t", "\xe9"};
    EXPECT_EQ(ToCommaText(items), "12,1,,\"OPC 7, \"\"x\"\"\",\"\t\",\xe9");
    EXPECT_EQ(FromCommaText(ToCommaText(items)), items);
    EXPECT_EQ(GridCommaText(empty_grid()), ",,,");
}

TEST(CommaText, MergingIntoTheGrid) {
    GridRows g = empty_grid();
    // Nine items: two meters, the ninth ignored; a non-numeric group skipped.
    MergeGridCommaText(g, "12,1,5,,13,1,5,\"O P\",14");
    MergeGridCommaText(g, "x,1,5,Q,015,2,3,R,,,,");
    EXPECT_EQ(MeterLinkTexts(g), (Items{"12", "13", "15"}));
    EXPECT_EQ(g[2][3], "O P");
    MergeGridCommaText(g, ",,,");
    EXPECT_EQ(g.size(), 4u);
}

TEST(MeterItems, Parsing) {
    const struct {
        std::string item;
        bool ok;
        int32_t link, point, password;
        std::string opc;
    } cases[] = {
        {"12-1-5", true, 12, 1, 5, ""},
        {"13-1-5-OPC", true, 13, 1, 5, "OPC"},
        {"13-1-5- OP C -x", true, 13, 1, 5, "OP C"},
        {"65535-0-99999", true, 65535, 0, 99999, ""},
        {"12-1", false, 0, 0, 0, ""},
        {"7", false, 0, 0, 0, ""},
        {"-1-1-1", false, 0, 0, 0, ""},
        {"a-1-5", false, 0, 0, 0, ""},
        {"12-1-b", false, 0, 0, 0, ""},
        {"12-1-5" + std::string(300, 'x'), false, 0, 0, 0, ""},
        {"99999999999-1-5", false, 0, 0, 0, ""},
    };
    for (const auto& c : cases) {
        MeterItem m;
        ASSERT_EQ(ParseMeterItem(c.item, m), c.ok) << c.item;
        if (!c.ok) continue;
        EXPECT_EQ(m.Link, c.link);
        EXPECT_EQ(m.Point, c.point);
        EXPECT_EQ(m.Password, c.password);
        EXPECT_EQ(m.Opc, c.opc);
    }
}

}  // namespace
}  // namespace qv
