// The configuration file: defaults, clamps, merging, and saves that keep or
// protect what is on disk (every key goes through the windows' test).

#include "app/core/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <tuple>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

using test::ReadFile;

WindowSettings fresh() {
    WindowSettings s;
    s.Grid = {GridRow{"H"}, GridRow{}};
    s.ParityText = "IMPAR";
    return s;
}

TEST(ConfigFile, MissingAndBadValues) {
    const auto load = [](const char* text) {
        WindowSettings s = fresh();
        LoadConfigKeys(IniFile::fromText(std::string("[MAIN]\n") + text), s);
        return s;
    };
    // The parity's default "NONE" is no item: the box stays.
    WindowSettings s = load("");
    EXPECT_EQ(std::tuple(s.ParityText, s.HostPort, s.FechaInicio, s.PortIndex, s.Intervalo,
                         s.Conexion, s.TipoSalida),
              std::tuple("IMPAR", "40000", Today(), 0, 1, 0, 0));
    s = load(
        "PORT=30\nCONEXION=7\nINTERVALO=4\nTipo_Salida=9\nPARIDAD_CONTADOR=par\n"
        "FECHA_INICIO=not a date\nLOGSCREEN=x\nLOGDISK=0");
    EXPECT_EQ(std::tuple(s.PortIndex, s.Conexion, s.Intervalo, s.TipoSalida, s.ParityText,
                         s.FechaInicio, s.LogScreen, s.LogDisk),
              std::tuple(-1, 3, -1, 2, "PAR", NullDate, true, false));
    s = load("conexion=-1\ntipo_salida=-5\nINTERVALO=$3\nFECHA_FIN=2099/12/31");
    EXPECT_EQ(std::tuple(s.Conexion, s.TipoSalida, s.Intervalo, s.FechaFin),
              std::tuple(-1, -1, 3, Day(std::chrono::year(2099) / 12 / 31)));
    // Dates only as written in full, within the years the meters carry.
    for (const char* date :
         {"FECHA_INICIO=01/03/26", "FECHA_INICIO=26/03/01", "FECHA_INICIO=1900/01/01"})
        EXPECT_EQ(load(date).FechaInicio, NullDate);
}

// The first key that cannot be taken as written (the others and the good
// meter loaded all the same), or why the file is not loaded at all.
TEST(ConfigFile, WhatCannotBeTakenAsWrittenIsNamed) {
    const std::string path = test::makeTempDir("config_file") + "/c.ini";
    const std::tuple<std::string, bool, std::string> rows[] = {
        {"[MAIN]\nCONTADORES=,,,,101,1,7,\n", true, ""},
        {"[MAIN]\nINTERVALO=x\n", true, "INTERVALO: \"x\" NO ES 0 A 3"},
        {"[MAIN]\nCONTADORES=101,1,7,,101,1,8,B\n", true,
         "CONTADORES: DIRECCION DE ENLACE 101 REPETIDA"},
        {"[main]\nCONTADORES=101,1,7,,10x,2,22\n", true,
         "CONTADORES: ENTRADA \"10x,2,****\" NO ES"},
        {"\xEF\xBB\xBF[MAIN]\nHOST=h\n", false, "CODIFICACION UTF-8 CON BOM"},
        {std::string("\xFF\xFE[\0M\0", 6), false, "CODIFICACION UTF-16"},
        {"[OTHER]\nHOST=h\n", false, "NO TIENE SECCION [MAIN]"},
    };
    for (const auto& [text, loaded, problem] : rows) {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
        WindowSettings s = fresh();
        std::vector<std::string> problems;
        EXPECT_EQ(LoadConfigFile(path, s, &problems), loaded) << text;
        const std::string got = problems.empty() ? std::string() : problems.front();
        EXPECT_TRUE(problem.empty() ? got.empty()
                                    : got.starts_with("ERROR EN INIFILE " + path + ": " + problem))
            << got;
        EXPECT_EQ(MeterLinkTexts(s.Grid).size(), loaded && text.find("101") != std::string::npos);
    }
}

TEST(ConfigFile, SavingKeepsTheRestOfTheFileOrAllOfIt) {
    const std::string dir = test::makeTempDir("config_file"), path = dir + "/My Config.ini";
    const std::string kept = "; notes\r\n[OTHER]\r\nA=1\r\n[main]\r\nEXTRA=keep\r\n";
    std::ofstream(path) << kept << "HOST=old\r\n";
    std::filesystem::permissions(path, std::filesystem::perms(0640));
    // Owned by a service account (when the test may give it away, as root).
    const bool givenAway = ::chown(path.c_str(), 65534, 65534) == 0;
    WindowSettings s = fresh();
    s.Host = "new";
    ASSERT_TRUE(SaveConfigFile(path, s, {}));
    // The other lines as they were, the host's value replaced where it stands.
    EXPECT_TRUE(ReadFile(path).starts_with(kept + "HOST=new\r\n")) << ReadFile(path);

    // A value that cannot be stored fails the save and leaves the file whole.
    const std::string before = ReadFile(path);
    s.Ruta = "two\nlines";
    EXPECT_FALSE(SaveConfigFile(path, s, {}));
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_FALSE(SaveConfigFile(dir + "/no such folder/x.ini", fresh(), {}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
    // A new file is private (it holds the disguised passwords); one that exists keeps its mode.
    ASSERT_TRUE(SaveConfigFile(dir + "/new.ini", fresh(), {}));
    EXPECT_EQ(int(std::filesystem::status(dir + "/new.ini").permissions()), 0600);
    EXPECT_EQ(int(std::filesystem::status(path).permissions()), 0640);
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    if (givenAway) {
        EXPECT_EQ(std::pair(st.st_uid, st.st_gid), std::pair(65534u, 65534u));
    }
    // A missing file or a folder is not loaded.
    EXPECT_FALSE(LoadConfigFile(dir + "/missing.ini", s) || LoadConfigFile(dir, s));
}

}  // namespace
}  // namespace qv
