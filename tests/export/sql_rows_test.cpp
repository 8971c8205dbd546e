// Parsing readings files into rows, without a server.
#include "export/sql_rows.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "export/export_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

using Fields = std::vector<std::string>;

TEST(SplitDelimited, FollowsTheDelimitedTextRule) {
    const struct {
        std::string text;
        Fields fields;
    } cases[] = {
        {"a;b;c", {"a", "b", "c"}},
        {"123; 0; - ; ", {"123", "0", "-"}},  // a blank ends a field; "; " at the end adds none
        {"a;;b;", {"a", "", "b", ""}},        // a ";" at the very end adds one empty field
        {"  a b;c", {"a", "b", "c"}},         // blanks separate fields too
        {"\"x; \"\"y\"\"\";z", {"x; \"y\"", "z"}},
        {"\"open", {"open"}},
        {"", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitDelimited(c.text, ';'), c.fields) << c.text;
    EXPECT_EQ(SplitDelimited(std::string("a\0b;c", 5), ';'), Fields{"a"});
}

TEST(OkParse, DataLinesBecomeRowsAndOthersAreRejected) {
    const struct {
        std::string line;
        bool ok;
        Fields values;  // NOMBRE .. COD_ERROR
    } cases[] = {
        {"05/12/26;00:15;Invierno;123; 0; 45; 0; 6; 7; 0; 0; 0; 0; 0; 0; ",
         true,
         {"M1", "2026-12-05", "00:15:00", "I", "123", "0", "45", "6", "0", "7", "0"}},
        // Register 3 without data: its column is 0 and the row carries the error code.
        {"05/12/26;01:00;Verano;-5; +7; - ; 3; 4; 9223372036854775807; - ; - ; - ; - ; - ; - ; ",
         true,
         {"M1", "2026-12-05", "01:00:00", "V", "-5", "7", "0", "4", "3", "9223372036854775807",
          "1"}},
        {"05/12/26;01:00;Verano;9223372036854775808;0;0;0;0;0;",
         true,
         {"M1", "2026-12-05", "01:00:00", "V", "0", "0", "0", "0", "0", "0", "1"}},
        {"05/12/26;01:00;Verano;0x10;$10;1e3;0;0;0",
         true,
         {"M1", "2026-12-05", "01:00:00", "V", "0", "0", "0", "0", "0", "0", "1"}},
        {"05/12/26;01:00;Verano;1;2;3;4;5", false, {}},  // 8 fields
        {"", false, {}},
        // A slot without a record, and a date of two parts: nothing to key the row on.
        {";;Invierno;- ; - ; - ; - ; - ; - ; - ; - ; - ; - ; - ; - ; ", false, {}},
        {"05/12;00:15;Invierno;1;2;3;4;5;6;", false, {}},
    };
    for (const auto& c : cases) {
        SqlRow row;
        ASSERT_EQ(ok_parse("M1", c.line, row), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(row.InsertValues(), c.values) << c.line;
        }
    }
}

TEST(Upload, BadFilesAreRefusedWithTheirRedLineAndNothingStarts) {
    const std::string dir = test::makeTempDir("qv_export_files");
    const std::string row =
        test::CsvRow("05/12/26", "00:15", "Invierno", {"1", "2", "3", "4", "5", "6"});
    const std::string tail = " - IMPOSIBLE SUBIR DATOS A LA BASE";
    const struct {
        std::vector<std::string> lines;  // empty: the file does not exist
        std::string red;
    } cases[] = {
        {{}, " - NO EXISTE EL FICHERO " + dir + "/f0.CSV" + tail},
        {{test::kHeader, row}, " - EL FICHERO NO CONTIENE IDENTIFICACION OPC_ID" + tail},
        {{"OPC_ID :   ", test::kHeader, row},
         " - EL FICHERO NO CONTIENE IDENTIFICACION OPC_ID VALIDA" + tail},
        {{"OPC_ID : M1", row}, " - EL FICHERO NO CONTIENE DATOS VALIDOS" + tail},
        {{"OPC_ID : M1"}, " - EL FICHERO NO CONTIENE DATOS VALIDOS" + tail},
    };
    int i = 0;
    for (const auto& c : cases) {
        const std::string name = "f" + std::to_string(i++) + ".CSV";
        std::string path = dir + "/" + name;
        if (!c.lines.empty()) path = test::WriteFile(dir, name, c.lines);
        test::ExportHarness h;
        h.output.Subir_a_base(path, false);
        EXPECT_EQ(h.lines, (std::vector<std::pair<std::string, int32_t>>{{c.red, colour::Red}}));
        EXPECT_EQ(h.output.RunningUploads(), 0u);
        if (!c.lines.empty()) {
            EXPECT_TRUE(std::filesystem::exists(path));
        }
    }
    test::ExportHarness h;
    h.output.Post_fixer("");
    EXPECT_EQ(h.Log(), "- NO EXISTEN DATOS PARA SUBIR A LA BASE\n");
    std::filesystem::remove_all(dir);
}

TEST(Upload, UniqueModeIsAskedAnywhereOnTheCommandLineInAnyCase) {
    EXPECT_TRUE(AsksUnique("quorvanta -dbupload f.csv -DbUnique"));
    EXPECT_TRUE(AsksUnique("quorvanta -DBUNIQUE -dbupload f.csv"));
    EXPECT_FALSE(AsksUnique("quorvanta -dbupload DBUNIQUE.csv"));
}

}  // namespace
}  // namespace qv
