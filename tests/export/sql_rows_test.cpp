// Parsing readings files into rows, without a server.
#include "export/sql_rows.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "export/export_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

TEST(OkParse, DataLinesBecomeRowsAndOthersAreRejected) {
    const struct {
        std::string line, values;  // values NOMBRE .. COD_ERROR joined by "|"; empty: rejected
    } cases[] = {
        // Register 3 without data: its column is 0 and the row carries the error code.
        {"05/12/26;01:00;Verano;-5; +7; - ; 3; 4; 9223372036854775807; - ; - ; - ; ",
         "M1|2026-12-05|01:00:00|V|-5|7|0|4|3|9223372036854775807|1"},
        {"05/12/26;01:00;Verano;9223372036854775808;0x10;$10;1e3;0;0;",
         "M1|2026-12-05|01:00:00|V|0|0|0|0|0|0|1"},
        // Quoted fields; a blank also ends a field.
        {"\"05/12/26\";\"01:00\" Verano;1;\"2\";3;4;5;x", "M1|2026-12-05|01:00:00|V|1|2|3|5|4|0|1"},
        {"05/12/26;01:00;Verano;1;2;3;4;5", ""},  // 8 fields
        // A slot without a record, and a date of two parts: nothing to key the row on.
        {";;Invierno;- ; - ; - ; - ; - ; - ; - ; - ; - ; - ; - ; - ; ", ""},
        {"05/12;00:15;Invierno;1;2;3;4;5;6;", ""},
    };
    for (const auto& c : cases) {
        SqlRow row;
        std::string values;
        if (ok_parse("M1", c.line, row))
            for (const std::string& v : row.InsertValues())
                values += (values.empty() ? "" : "|") + v;
        EXPECT_EQ(values, c.values) << c.line;
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
        int lost = 0;
        h.output.UploadFailed = [&] { ++lost; };
        h.output.Subir_a_base(path, false);
        EXPECT_EQ(lost, 1);
        EXPECT_EQ(h.Log(), "R " + c.red + "\n");
        EXPECT_EQ(h.output.RunningUploads(), 0u);
        EXPECT_TRUE(c.lines.empty() || std::filesystem::exists(path));
    }
    test::ExportHarness h;
    h.output.Post_fixer("");
    EXPECT_EQ(h.Log(), "R - NO EXISTEN DATOS PARA SUBIR A LA BASE\n");
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv
