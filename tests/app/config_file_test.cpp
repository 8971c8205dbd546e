// The configuration file: defaults, clamps, merging, and saves that keep or
// protect what is on disk (every key goes through the windows' test).

#include "app/core/config_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <tuple>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/password_codec.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

using test::ReadFile;

WindowSettings fresh() {
    WindowSettings s;
    s.Grid = {GridRow{"H"}, GridRow{}};
    s.ParityText = "IMPAR";
    s.FechaInicio = s.FechaFin = std::chrono::year(2026) / 3 / 29;
    return s;
}

WindowSettings load(const std::string& text, WindowSettings s = fresh()) {
    LoadConfigKeys(IniFile::fromText("[MAIN]\n" + text), s);
    return s;
}

TEST(ConfigFile, MissingAndEmptyKeysTakeTheirDefaults) {
    // The parity's default "NONE" is no item: the box stays. An empty key is a missing one
    // (an empty port text is the default port, which the field shows).
    for (const char* text :
         {"", "PORT=\nCONEXION=\nINTERVALO=\nFECHA_INICIO=\nPARIDAD_CONTADOR="}) {
        const WindowSettings s = load(text);
        EXPECT_EQ(std::tuple(s.ParityText, s.HostPort, s.FechaInicio, s.PortIndex, s.Intervalo,
                             s.Conexion, s.TipoSalida),
                  std::tuple("IMPAR", "40000", Today(), 0, 1, 0, 0))
            << text;
    }
    EXPECT_EQ(load("HOST_PORT=").HostPort, "40000");
    // A port with zeros in front is the number it is.
    EXPECT_EQ(load("HOST_PORT=0007321").HostPort, "7321");
    EXPECT_EQ(load("HOST_PORT=\" 000022 \"").HostPort, "22");
    // Other spellings of an item, hexadecimal numbers.
    const WindowSettings s = load("INTERVALO=$3\nPARIDAD_CONTADOR=none\nBAUD_CONTADOR=custom");
    EXPECT_EQ(std::tuple(s.Intervalo, s.ParityText, s.BaudText),
              std::tuple(3, "NINGUNA", "Custom"));
    EXPECT_EQ(load("PARIDAD_CONTADOR=even").ParityText, "PAR");
}

// A value a run would not take as written: one line naming the key and the
// value, and the setting (the database window's box too) keeps what it had.
TEST(ConfigFile, EveryBadValueIsNamedAndKeepsThePreviousOne) {
    const std::string path = test::makeTempDir("config_file") + "/c.ini";
    const std::string good =
        "PORT=4\nBAUD_CONTADOR=19200\nBITS_CONTADOR=7\nPARIDAD_CONTADOR=PAR\nSTOP_CONTADOR=2\n"
        "CONEXION=3\nHOST_PORT=4001\nFECHA_INICIO=2026/03/01\nFECHA_FIN=2026/03/02\nINTERVALO=0\n"
        "Tipo_Salida=2\nLOGSCREEN=0\nLOGDISK=0\nMINIMIZAR=1\nSSH_PORT=2222\nDEST_PORT=3307\n"
        "LIST_PORT=13306\nHABILITA_TUNEL=1\nPUERTO=3308\n";
    const WindowSettings before = load(good);
    const DbSettings db = ReadDbSettings(IniFile::fromText("[MAIN]\n" + good), DecodePWDEx);
    const std::tuple<std::string, std::string, std::string> rows[] = {
        {"CONEXION", "2 ; TCP", "NO ES 0 A 3"},
        {"CONEXION", "-1", "NO ES 0 A 3"},
        {"CONEXION", "22", "NO ES 0 A 3"},
        {"Tipo_Salida", "3", "NO ES 0 A 2"},
        {"INTERVALO", "4", "NO ES 0 A 3"},
        {"PORT", "30", "NO ES 0 A 29"},
        {"PORT", "-1", "NO ES 0 A 29"},
        {"BAUD_CONTADOR", "96000", "NO ES Custom, 110, 300,"},
        {"BITS_CONTADOR", "9", "NO ES 5, 6, 7 NI 8"},
        {"PARIDAD_CONTADOR", "NO", "NO ES NINGUNA, IMPAR, PAR, Marca NI Espacio"},
        {"STOP_CONTADOR", "1,5", "NO ES 1, 1.5 NI 2"},
        {"HOST_PORT", "7x", "NO ES UN PUERTO DE 1 A 65535"},
        {"HOST_PORT", "70000", "NO ES UN PUERTO DE 1 A 65535"},
        {"FECHA_INICIO", "2026-03-29", "NO ES UNA FECHA yyyy/MM/dd DE 2000 A 2099"},
        {"FECHA_FIN", "2026/13/45", "NO ES UNA FECHA"},
        {"FECHA_INICIO", "01/03/26", "NO ES UNA FECHA"},
        {"FECHA_INICIO", "26/03/01", "NO ES UNA FECHA"},
        {"FECHA_FIN", "1900/01/01", "NO ES UNA FECHA"},
        {"LOGSCREEN", "x", "NO ES UN NUMERO ENTERO"},
        {"MINIMIZAR", "yes", "NO ES UN NUMERO ENTERO"},
        {"SSH_PORT", "99999", "NO ES UN PUERTO DE 1 A 65535"},
        {"DEST_PORT", "0", "NO ES UN PUERTO"},
        {"LIST_PORT", "-1", "NO ES UN PUERTO"},
        {"PUERTO", "abc", "NO ES UN PUERTO"},
        {"HABILITA_TUNEL", "si", "NO ES UN NUMERO ENTERO"},
    };
    for (const auto& [key, value, why] : rows) {
        const std::string bad = std::regex_replace(good, std::regex("(^|\n)" + key + "=[^\n]*"),
                                                   "$1" + key + "=" + value);
        std::ofstream(path, std::ios::trunc) << "[MAIN]\n" << bad;
        WindowSettings s = before;
        std::vector<std::string> problems;
        EXPECT_TRUE(LoadConfigFile(path, s, &problems));
        EXPECT_EQ(problems.size(), 1u) << key << "=" << value;
        if (!problems.empty()) {
            EXPECT_TRUE(problems[0].starts_with("ERROR EN INIFILE " + path + ": " + key + ": \"" +
                                                value + "\" " + why))
                << problems[0];
        }
        EXPECT_EQ(s, before) << key << "=" << value;
        const IniFile f = IniFile::fromText("[MAIN]\n" + bad);
        EXPECT_EQ(ReadDbSettings(f, DecodePWDEx, &db), db) << key;
    }
    // Without the box's value, a bad one takes the default, as a missing one would.
    const DbSettings fallback = ReadDbSettings(
        IniFile::fromText("[MAIN]\nSSH_PORT=99999\nHABILITA_TUNEL=si\n"), DecodePWDEx);
    EXPECT_EQ(std::pair(fallback.SSH_PORT, fallback.HABILITA_TUNEL),
              std::pair(std::string("22"), false));
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

// The first key that cannot be taken as written (the others loaded all the
// same, but none of a refused meter list's meters), or why the file is not
// loaded at all.
TEST(ConfigFile, WhatCannotBeTakenAsWrittenIsNamed) {
    const std::string path = test::makeTempDir("config_file") + "/c.ini";
    const std::tuple<std::string, bool, std::string> rows[] = {
        {"[MAIN]\nCONTADORES=,,,,101,1,7,\n", true, ""},
        {"[MAIN]\nINTERVALO=x\n", true, "INTERVALO: \"x\" NO ES 0 A 3"},
        {"[MAIN]\nCONTADORES=101,1,7,,101,1,8,B\n", true,
         "CONTADORES: DIRECCION DE ENLACE 101 REPETIDA"},
        {"[main]\nCONTADORES=101,1,7,,10x,2,22\n", true,
         "CONTADORES: ENTRADA \"****,****,****\" NO ES"},
        // A meter without its code: which item of the next is its password is unknown.
        {"[MAIN]\nCONTADORES=101,1,7,102,2,8642097,\"\"\n", true,
         "CONTADORES: ENTRADA \"****,****\" NO ES ENLACE,PUNTO,CONTRASENA,OPC"},
        // A control character separates nothing: the number it is in is none.
        {"[MAIN]\nCONTADORES=101,1,864\x01"
         "2097,\"OPC1\"\n",
         true, "CONTADORES: ENTRADA \"****,****,****,****\" NO ES ENLACE,PUNTO,CONTRASENA,OPC"},
        {"\xEF\xBB\xBF[MAIN]\nHOST=h\n", false, "CODIFICACION UTF-8 CON BOM"},
        {std::string("\xFF\xFE[\0M\0", 6), false, "CODIFICACION UTF-16"},
        {"[OTHER]\nHOST=h\n", false, "NO TIENE SECCION [MAIN]"},
        // A meter that does not fit its fields (the password never shown); a trailing ","
        // or empty items after the last meter are no meter.
        {"[MAIN]\nCONTADORES=65637,1,7,\n", true,
         "CONTADORES: ENTRADA \"65637,1,****,\": LA DIRECCION DE ENLACE \"65637\" NO CABE EN LA "
         "TRAMA (0 A 65535)"},
        {"[MAIN]\nCONTADORES=102,65536,7,X\n", true,
         "CONTADORES: ENTRADA \"102,65536,****,X\": EL "},
        {"[MAIN]\nCONTADORES=102,1,-5,\"\"\n", true,
         "CONTADORES: ENTRADA \"102,1,****,\": LA CONTRASENA NO CABE EN LA TRAMA (0 A 2147483647)"},
        {"[MAIN]\nCONTADORES=101,1,7,\"\",\n", true, ""},
        {"[MAIN]\nCONTADORES=101,1,7,,,,\n", true, ""},
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
        EXPECT_EQ(MeterLinkTexts(s.Grid).size(), loaded && text.find("101") != std::string::npos &&
                                                     !problem.starts_with("CONTADORES"))
            << text;
    }
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

TEST(ConfigFile, SavingKeepsTheRestOfTheFileOrAllOfIt) {
    const std::string dir = test::makeTempDir("config_file"), path = dir + "/My Config.ini";
    const std::string kept = "; notes\r\n[OTHER]\r\nA=1\r\nEXTRA=keep\r\n[main]\r\n; mine\r\n";
    std::ofstream(path) << kept << "HOST=old\r\n";
    std::filesystem::permissions(path, std::filesystem::perms(0640));
    // Owned by a service account (when the test may give it away, as root).
    const bool givenAway = ::chown(path.c_str(), 65534, 65534) == 0;
    WindowSettings s = fresh();
    s.Host = "new";
    ASSERT_TRUE(SaveConfigFile(path, s, {}));
    // The other lines as they were, the host's value replaced where it stands.
    EXPECT_TRUE(ReadFile(path).starts_with(kept + "HOST=new\r\n")) << ReadFile(path);

    // A value that cannot be stored, or that a load would refuse, fails the save, says
    // which and leaves the file whole.
    const std::string before = ReadFile(path);
    const std::pair<void (*)(WindowSettings&, DbSettings&), std::string> refused[] = {
        {[](WindowSettings& w, DbSettings&) { w.Ruta = "two\nlines"; },
         "RUTA: UN VALOR DE VARIAS LINEAS NO SE GUARDA"},
        {[](WindowSettings& w, DbSettings&) { w.PortIndex = -1; }, "PORT: \"-1\" NO ES 0 A 29"},
        {[](WindowSettings& w, DbSettings&) { w.Intervalo = -1; }, "INTERVALO: \"-1\" NO ES 0"},
        {[](WindowSettings& w, DbSettings&) { w.FechaInicio = NullDate; },
         "FECHA_INICIO: \"1899/12/30\" NO ES UNA FECHA"},
        {[](WindowSettings& w, DbSettings&) { w.HostPort = "abc"; }, "HOST_PORT: \"abc\" NO ES UN"},
        {[](WindowSettings& w, DbSettings&) { Put_in_grid_line(w.Grid, 1, 70000, 1, 7, ""); },
         "CONTADORES: ENTRADA \"70000,1,****,\": LA DIRECCION DE ENLACE"},
        {[](WindowSettings& w, DbSettings&) {
             w.Grid.push_back({"0101", "1", "1", "", ""});
         },
         "CONTADORES: DIRECCION DE ENLACE 101 REPETIDA"},
        {[](WindowSettings&, DbSettings& d) { d.SSH_PORT = "99999"; }, "SSH_PORT: \"99999\" NO ES"},
        {[](WindowSettings&, DbSettings& d) { d.PUERTO = "abc"; }, "PUERTO: \"abc\" NO ES UN"},
    };
    for (const auto& [change, named] : refused) {
        WindowSettings w = s;
        Add_to_Grid(w.Grid, 101, 1, 7, "");
        DbSettings d;
        change(w, d);
        std::string problem;
        EXPECT_FALSE(SaveConfigFile(path, w, d, &problem));
        EXPECT_TRUE(problem.starts_with(named)) << problem;
        EXPECT_EQ(ReadFile(path), before);
    }
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
    std::filesystem::remove_all(dir);
}

// A file that means two things (a key given twice, also in another letter case
// or under a second [MAIN]) or names a key nothing reads is not loaded at all,
// named with both values (passwords hidden); other sections may hold anything.
TEST(ConfigFile, RepeatedOrUnknownKeysStopTheLoad) {
    const std::string path = test::makeTempDir("config_file") + "/c.ini";
    const std::pair<std::string, std::string> rows[] = {
        {"[MAIN]\nHOST=a\nRUTA=/x\nhost=b\n", "CLAVE HOST REPETIDA EN [MAIN]: \"a\" Y \"b\""},
        {"[MAIN]\nCONTADORES=101,1,7,\n[OTHER]\nX=1\n[Main]\nCONTADORES=\"102\",2,22,OPC\n",
         "CLAVE CONTADORES REPETIDA EN [MAIN]: \"101,1,****,\" Y \"102,2,****,OPC\""},
        {"[MAIN]\nPASSW=secret1\nPASSW=secret2\n",
         "CLAVE PASSW REPETIDA EN [MAIN]: \"****\" Y \"****\""},
        {"[MAIN]\nSSH_PASS=\nSSH_PASS=x\n", "CLAVE SSH_PASS REPETIDA EN [MAIN]: \"\" Y \"****\""},
        {"[MAIN]\nTipo_Salida=0\nTIPO_SALIDA=1\n", "CLAVE Tipo_Salida REPETIDA EN [MAIN]"},
        {"[MAIN]\nRUTTA=/srv/out\nRUTA=/x\n", "CLAVE RUTTA DESCONOCIDA EN [MAIN]"},
        {"[MAIN]\nHOST=a\n[MAIN]\nPASWD=x\n", "CLAVE PASWD DESCONOCIDA EN [MAIN]"},
        // A key without its "=", or a "=" without its key, is never read either;
        // its text may be a password.
        {"[MAIN]\nHOST=a\n = secret\n", "LINEA 3 DE [MAIN] NO ES CLAVE=VALOR"},
        {"[MAIN]\n; RUTA sin igual\n\nRUTA /srv/out\n", "LINEA 4 DE [MAIN] NO ES CLAVE=VALOR"},
        {"[OTHER]\nanything\n[MAIN]\nHOST=a\n[Main]\n  PASSW secret \n",
         "LINEA 6 DE [MAIN] NO ES CLAVE=VALOR"},
        // A key on a header's line was dropped; in any section it leaves open
        // where it and the lines after it belong.
        {"[MAIN]RUTA=/srv/lecturas\n", "LINEA 1 DE [MAIN] NO ES CLAVE=VALOR"},
        {"; notas\n[main]  PASSW=secret\nHOST=a\n", "LINEA 2 DE [MAIN] NO ES CLAVE=VALOR"},
        {"[OTHER]x=1\n[MAIN]\nHOST=a\n", "LINEA 1 DE [OTHER] NO ES CLAVE=VALOR"},
        {"[MAIN]\nHOST=a\n[OTHER][MAIN]\nRUTA=/x\n", "LINEA 3 DE [OTHER] NO ES CLAVE=VALOR"},
        // A key above every header belongs to no section: it was never read.
        {"RUTA=/srv/out\n[MAIN]\nHOST=a\n", "LINEA 1 ANTES DE TODA SECCION NO ES COMENTARIO"},
        {"; notas\n\n  PASSW secret\n[MAIN]\nHOST=a\n",
         "LINEA 3 ANTES DE TODA SECCION NO ES COMENTARIO"},
        // Lines ended by a lone CR are lines: each is read for what it is.
        {"[MAIN]\rHOST=a\rRUTA=/x\rhost=b\r", "CLAVE HOST REPETIDA EN [MAIN]: \"a\" Y \"b\""},
        {"[MAIN]\r\nHOST=a\rRUTA /x\n", "LINEA 3 DE [MAIN] NO ES CLAVE=VALOR"},
    };
    for (const auto& [text, why] : rows) {
        std::ofstream(path, std::ios::trunc) << text;
        WindowSettings s = fresh();
        std::vector<std::string> problems;
        EXPECT_FALSE(LoadConfigFile(path, s, &problems)) << text;
        EXPECT_EQ(problems.size(), 1u);
        EXPECT_TRUE(!problems.empty() &&
                    problems[0].starts_with("ERROR EN INIFILE " + path + ": " + why))
            << (problems.empty() ? "" : problems[0]);
        EXPECT_EQ(s, fresh()) << text;
    }
    // [MAIN] under two headers, each key once; repeats and strange keys elsewhere.
    std::ofstream(path, std::ios::trunc) << "[OTHER]\nA=1\nA=2\nRUTTA=x\n[MAIN]\nHOST=h\n[X]\n["
                                            "MAIN]\nRUTA=/r\nCONTADORES=101,1,7,\n";
    WindowSettings s = fresh();
    std::vector<std::string> problems;
    EXPECT_TRUE(LoadConfigFile(path, s, &problems));
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(std::tuple(s.Host, s.Ruta, MeterLinkTexts(s.Grid)),
              std::tuple("h", "/r", std::vector<std::string>{"101"}));
    std::filesystem::remove_all(std::filesystem::path(path).parent_path());
}

// A file whose lines end in a lone CR (or in a mix of endings) is read line by
// line, and a save onto it keeps its endings and the meaning of every section.
// A save onto a file with a key on a header's line is refused as its load is.
TEST(ConfigFile, EveryLineEndingIsALineForTheLoadAndTheSave) {
    const std::string dir = test::makeTempDir("config_file"), path = dir + "/c.ini";
    const std::string other = "[OTHER]\rHOST=other\rRUTA=/other\r";
    std::ofstream(path, std::ios::binary)
        << "[MAIN]\rCONEXION=2\rHOST=127.0.0.1\r\nHOST_PORT=40001\nCONTADORES=101,1,7,\r" << other;
    WindowSettings s = fresh();
    std::vector<std::string> problems;
    ASSERT_TRUE(LoadConfigFile(path, s, &problems));
    EXPECT_TRUE(problems.empty());
    EXPECT_EQ(std::tuple(s.Conexion, s.Host, s.HostPort, MeterLinkTexts(s.Grid)),
              std::tuple(2, "127.0.0.1", "40001", std::vector<std::string>{"101"}));
    s.Ruta = "/srv/lecturas";
    ASSERT_TRUE(SaveConfigFile(path, s, {}));
    const std::string saved = ReadFile(path);
    // Each line keeps its ending; the lines added end as the first does.
    EXPECT_TRUE(
        saved.starts_with("[MAIN]\rCONEXION=2\rHOST=127.0.0.1\r\nHOST_PORT=40001\n"
                          "CONTADORES=101,1,7,\rPORT=0\r"))
        << saved;
    EXPECT_EQ(std::count(saved.begin(), saved.end(), '\n'), 2);
    EXPECT_NE(saved.find("\rRUTA=/srv/lecturas\r"), std::string::npos) << saved;
    EXPECT_TRUE(saved.ends_with("\r" + other)) << saved;
    WindowSettings back = fresh();
    ASSERT_TRUE(LoadConfigFile(path, back));
    EXPECT_EQ(back, s);
    EXPECT_EQ(IniFile(path).readString("OTHER", "RUTA", ""), "/other");

    for (const std::string text : {"[MAIN]RUTA=/srv\rHOST=a\r", "[MAIN]\nHOST=a\n[OTHER]x=1\n"}) {
        std::ofstream(path, std::ios::trunc | std::ios::binary) << text;
        std::string problem;
        EXPECT_FALSE(SaveConfigFile(path, fresh(), {}, &problem)) << text;
        EXPECT_TRUE(problem.starts_with("LINEA ") && problem.ends_with(" NO ES CLAVE=VALOR"))
            << problem;
        EXPECT_EQ(ReadFile(path), text);
    }
    std::filesystem::remove_all(dir);
}

// A port is taken, shown and saved as the number it is taken for: blanks
// around it go, a blank one is its default port.
TEST(ConfigFile, PortsAreTheNumbersTheyAreTakenFor) {
    const IniFile f = IniFile::fromText(
        "[MAIN]\nHOST_PORT=\" 40001 \"\nPUERTO=\" \"\nSSH_PORT= \"00022\"\nDEST_PORT=\" 3307\"\n"
        "LIST_PORT=\"  \"\n");
    WindowSettings s = fresh();
    EXPECT_TRUE(LoadConfigKeys(f, s).empty());
    EXPECT_TRUE(DbSettingsProblems(f).empty());
    EXPECT_EQ(s.HostPort, "40001");
    const DbSettings db = ReadDbSettings(f, DecodePWDEx);
    EXPECT_EQ(std::vector<std::string>({db.PUERTO, db.SSH_PORT, db.DEST_PORT, db.LIST_PORT}),
              std::vector<std::string>({"3306", "22", "3307", "3306"}));
    // Saved from settings that hold them otherwise.
    const std::string dir = test::makeTempDir("config_file"), path = dir + "/c.ini";
    s.HostPort = " 40002 ";
    DbSettings typed;
    typed.PUERTO = " ", typed.SSH_PORT = "00022", typed.DEST_PORT = "3307 ", typed.LIST_PORT = "";
    ASSERT_TRUE(SaveConfigFile(path, s, typed));
    const IniFile saved(path);
    std::string written;
    for (const char* key : {"HOST_PORT", "PUERTO", "SSH_PORT", "DEST_PORT", "LIST_PORT"})
        written += std::string(key) + "=" + saved.readString("MAIN", key, "?") + " ";
    EXPECT_EQ(written, "HOST_PORT=40002 PUERTO=3306 SSH_PORT=22 DEST_PORT=3307 LIST_PORT=3306 ");
    std::filesystem::remove_all(dir);
}

// A save onto a file leaves each key once (under the first [MAIN]); onto one
// whose [MAIN] holds a key nothing reads it is refused, naming it, and the file
// stays as it was.
TEST(ConfigFile, SavingLeavesEachKeyOnceAndNoKeyUnknown) {
    const std::string dir = test::makeTempDir("config_file"), path = dir + "/c.ini";
    std::ofstream(path) << "[MAIN]\nHOST=a\nhost=b\n[OTHER]\nHOST=c\nHOST=d\n[MAIN]\nPUERTO=1\n"
                           "CONTADORES=101,1,7,\n";
    WindowSettings s = fresh();
    s.Host = "new";
    ASSERT_TRUE(SaveConfigFile(path, s, {}));
    const IniFile saved(path);
    EXPECT_EQ(MainKeysProblem(saved), "");
    EXPECT_EQ(saved.keys("MAIN").size(), 32u);
    EXPECT_EQ(saved.readString("MAIN", "HOST", ""), "new");
    EXPECT_EQ(saved.keys("OTHER"), (std::vector<std::string>{"HOST", "HOST"}));  // not ours
    WindowSettings back = fresh();
    EXPECT_TRUE(LoadConfigFile(path, back));
    EXPECT_EQ(back.Host, "new");

    std::ofstream(path, std::ios::trunc) << "[MAIN]\nRUTTA=/srv\n";
    std::string problem;
    EXPECT_FALSE(SaveConfigFile(path, s, {}, &problem));
    EXPECT_EQ(problem, "CLAVE RUTTA DESCONOCIDA EN [MAIN]");
    EXPECT_EQ(ReadFile(path), "[MAIN]\nRUTTA=/srv\n");
    std::filesystem::remove_all(dir);
}

// The sample configuration file loads as it stands (every control's edges
// saved and loaded back: the window's tests).
TEST(ConfigFile, TheSampleFileLoadsAsItStands) {
    WindowSettings sample = fresh();
    std::vector<std::string> sampleProblems;
    EXPECT_TRUE(LoadConfigFile(QV_SAMPLE_INI, sample, &sampleProblems));
    EXPECT_TRUE(sampleProblems.empty()) << sampleProblems.front();
    EXPECT_EQ(MeterLinkTexts(sample.Grid), (std::vector<std::string>{"101", "102"}));
}

// The comment text of the sample file, its lines joined by blanks.
std::string sampleComments() {
    std::istringstream in(ReadFile(QV_SAMPLE_INI));
    std::string text;
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(";")) text += line.substr(line.starts_with("; ") ? 2 : 1) + " ";
    return text;
}

// The values the sample lists for a key written "KEY a, b or c (default ...": up to its
// "(default", "(missing" or ";", split at ",", "or" and "also as".
std::vector<std::string> sampleList(const std::string& comments, const std::string& key) {
    std::size_t at = comments.find(key + " ");
    if (at == std::string::npos) return {};
    at += key.size() + 1;
    std::size_t end = comments.size();
    for (const char* stop : {" (default", " (missing", ";"})
        end = std::min(end, comments.find(stop, at));
    const std::string list =
        std::regex_replace(comments.substr(at, end - at), std::regex(",? or |, also as |, "), "\n");
    std::vector<std::string> values;
    std::istringstream in(list);
    for (std::string v; std::getline(in, v);) values.push_back(v);
    return values;
}

// Every value the sample file names for a key is one a load takes (and the
// ends it names are the ends: one past them is refused).
TEST(ConfigFile, EveryValueTheSampleFileNamesIsTaken) {
    const std::string comments = sampleComments();
    // clang-format off
    std::vector<std::pair<std::string, std::string>> taken = {
        {"PORT", "0"}, {"PORT", "29"}, {"CONEXION", "0"}, {"CONEXION", "3"},
        {"HOST_PORT", ""}, {"HOST_PORT", "1"}, {"HOST_PORT", "65535"},
        {"INTERVALO", "0"}, {"INTERVALO", "3"}, {"Tipo_Salida", "0"}, {"Tipo_Salida", "2"},
        {"FECHA_INICIO", ""}, {"FECHA_INICIO", "2000/01/01"}, {"FECHA_FIN", "2099/12/31"},
        // Month and day of one digit, blanks around the date.
        {"FECHA_INICIO", "2026/3/5"}, {"FECHA_FIN", "\" 2026/03/05 \""},
        {"LOGSCREEN", "0"}, {"LOGDISK", "2"}, {"MINIMIZAR", "1"}, {"HABILITA_TUNEL", "1"},
        {"PUERTO", ""}, {"PUERTO", "65535"}, {"SSH_PORT", "1"}, {"DEST_PORT", ""},
        {"LIST_PORT", "65535"}};
    const std::pair<const char*, std::size_t> lists[] = {
        {"BAUD_CONTADOR", 16}, {"BITS_CONTADOR", 4}, {"PARIDAD_CONTADOR", 10}, {"STOP_CONTADOR", 3}};
    // clang-format on
    for (const auto& [key, count] : lists) {
        const std::vector<std::string> values = sampleList(comments, key);
        EXPECT_EQ(values.size(), count) << key << ": " << comments;
        for (const std::string& v : values) taken.emplace_back(key, v);
    }
    // clang-format off
    const std::pair<const char*, const char*> refused[] = {
        {"PORT", "30"}, {"CONEXION", "4"}, {"INTERVALO", "4"}, {"Tipo_Salida", "3"},
        {"HOST_PORT", "65536"}, {"PUERTO", "0"}, {"LOGDISK", "on"},
        {"FECHA_INICIO", "1999/12/31"}, {"FECHA_FIN", "2100/01/01"},
        {"FECHA_INICIO", "2026/003/05"}, {"FECHA_INICIO", "+2026/03/05"}};
    // clang-format on
    const std::string dir = test::makeTempDir("config_file");
    const auto problems = [&](const std::string& key, const std::string& value) {
        std::ofstream(dir + "/c.ini", std::ios::trunc) << "[MAIN]\n" << key << "=" << value << "\n";
        WindowSettings s = fresh();
        std::vector<std::string> found;
        EXPECT_TRUE(LoadConfigFile(dir + "/c.ini", s, &found));
        return found;
    };
    for (const auto& [key, value] : taken) {
        const std::vector<std::string> found = problems(key, value);
        EXPECT_TRUE(found.empty()) << key << "=" << value << ": " << found.front();
    }
    for (const auto& [key, value] : refused)
        EXPECT_EQ(problems(key, value).size(), 1u) << key << "=" << value;
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv
