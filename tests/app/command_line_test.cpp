// The command line: token rules and the keyword analysis over argument vectors.

#include "app/core/command_line.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/password_codec.h"
#include "export/sql_output.h"
#include "platform/worker_message.h"
#include "support/test_env.h"

namespace qv {
namespace {

using Strings = std::vector<std::string>;

TEST(CommandLineTokens, TextAndArguments) {
    const std::string text =
        "prog  -INI \"C:\\my path\\a.ini\"\t a\\\\\\\"b a\\\\\"b c\" a\\\\b \\ \"\" \"open end";
    Strings got;
    std::size_t pos = 0, length = 0;
    for (std::string token; NextCmdToken(text, pos, &token, &length); got.push_back(token))
        EXPECT_EQ(token.size(), length);
    EXPECT_EQ(got, (Strings{"prog", "-INI", "C:\\my path\\a.ini", "a\\\"b", "a\\b c", "a\\\\b",
                            "\\", "", "open end"}));
    // Arguments that arrive split keep their blanks; quotes and backslash runs follow the rules.
    const CommandLine argv = CommandLine::FromArguments(
        {"quorvanta", "/tmp/my dir/a.ini", "\"/tmp/my dir/b.ini\"", "a\\\\\\\"b"}, "/q");
    EXPECT_EQ((Strings{argv.CmdToken(0), argv.CmdToken(1), argv.CmdToken(2), argv.CmdToken(3),
                       argv.CmdToken(4)}),
              (Strings{"/q", "/tmp/my dir/a.ini", "/tmp/my dir/b.ini", "a\\\"b", ""}));
}

struct Outcome {
    WindowSettings s;
    bool start = false;
    Strings log;  // "!" in front marks a red line
};

// From settings a run can start with (the CSV files into the current folder);
// each upload asked for is logged as "UPLOAD file".
// `db`: the database window's settings before the analysis (unset: its initial texts).
Outcome analyse(Strings args, bool* refused = nullptr, const DbSettings* db = nullptr) {
    Outcome r;
    r.s.Grid = {GridRow{"H"}, GridRow{}};
    Add_to_Grid(r.s.Grid, 99, 1, 1, "OLD");
    r.s.FechaInicio = r.s.FechaFin = std::chrono::year(2026) / 3 / 29;
    r.s.Host = "meter.example";
    CommandLineCalls calls;
    calls.Log = [&](const std::string& t, int32_t c) {
        r.log.push_back((c == colour::Red ? "!" : "") + t);
    };
    calls.Subir_a_base = [&](const std::string& file, bool) { r.log.push_back("UPLOAD " + file); };
    if (db) calls.SqlSettings = [db] { return *db; };
    args.insert(args.begin(), "quorvanta");
    r.start = Analiza_parametros(CommandLine::FromArguments(args, "/q"), r.s, calls, refused);
    return r;
}

TEST(CommandLineAnalysis, KeywordsTheRunsDoNotReach) {
    // Counts clamped or as typed, an interval by its first letter, the database
    // output named without a folder, DBUNIQUE taken wherever it stands.
    const Outcome r =
        analyse({"-ASDURETRY", "15", "-INTERASDUS", "25", "-TIMEOUTASDUS", "300", "-INTERVAL",
                 "quarter", "-NOCLOSE", "-RESTART", "-DB", "-nostart", "-DBUNIQUE", "-show"});
    EXPECT_FALSE(r.start);
    EXPECT_EQ(std::tuple(r.s.AsduRetries, r.s.InterAsdu, r.s.AsduTimeout, r.s.Intervalo,
                         r.s.TipoSalida, r.s.Ruta),
              std::tuple(9, 20, 300, 0, 2, ""));
    EXPECT_TRUE(!r.s.AutoMinimize && !r.s.AutoClose && r.s.ModemReset);
    EXPECT_EQ(analyse({"-ASDURETRY", "0"}).s.AsduRetries, 1);
    EXPECT_TRUE(analyse({"-SHOW"}).log.empty());  // a single argument is ignored

    // An upload without meters reads nothing; the FTP target's password is masked.
    EXPECT_TRUE(UploadOnly(CommandLine::FromArguments({"q", "-INI", "a", "-dbupload", "f"}, "")));
    EXPECT_FALSE(UploadOnly(CommandLine::FromArguments({"q", "-DBUPLOAD", "f", "-METERS"}, "")));
    EXPECT_EQ(analyse({"-FTP", "u:p@s:s@h:2121/d/", "-SHOW"}).log.at(1),
              "- EXPORTAR A SERVIDOR FTP : u:****@h:2121/d/");
    // A folder holds RUTA's value as a target does: a folder named as one is masked as one.
    EXPECT_EQ(analyse({"-CSV", "u:p@h/d", "-NOSTART"}).log.at(1),
              "- EXPORTAR A  FICHERO .CSV : u:****@h/d");
    EXPECT_EQ(analyse({"-DB", "u:p@h/d\x01", "-NOSTART"}).log.at(1),
              "- EXPORTAR A BASE DE DATOS USANDO CARPETA .CSV : u:****@h/d\\x01");
    const Outcome upload = analyse({"-DBUPLOAD", "/f", "-SHOW"});
    EXPECT_EQ(upload.log.at(2), "UPLOAD /f");

    // Quotes escaped past the token rules group an item; the OPC code is all after the third
    // "-", trimmed; the list replaces the one shown.
    const Outcome meters = analyse({"-METERS", "\\\"13-1-5- OP C -x\\\""});
    EXPECT_EQ(meters.s.Grid, (GridRows{GridRow{"H"}, GridRow{"13", "1", "5", "OP C -x", ""}}));
    // The widest fields fit; an empty item is no meter; a list of none leaves the one shown.
    EXPECT_EQ(analyse({"-METERS", "65535-65535-2147483647-CT-NORTE-7,,0-0-0,"}).s.Grid,
              (GridRows{GridRow{"H"}, GridRow{"65535", "65535", "2147483647", "CT-NORTE-7", ""},
                        GridRow{"0", "0", "0", "", ""}}));
    for (const char* none : {"", ",", " , "})
        EXPECT_EQ(analyse({"-METERS", none, "-SHOW"}).s.Grid.at(1).at(3), "OLD") << none;
}

// A port is kept, logged and saved as the number it is taken for.
TEST(CommandLineAnalysis, PortTakenAsItsNumber) {
    const Outcome r = analyse({"-PORT", " 40001 ", "-SHOW"});
    EXPECT_EQ(r.s.HostPort, "40001");
    EXPECT_NE(std::find(r.log.begin(), r.log.end(), "- UTILIZAR PUERTO IP HOST : 40001"),
              r.log.end());
}

// A date is taken with its plain meaning (month and day of one digit, blanks
// around it) or refused; a count outside its range takes its nearest end, a
// negative one is no value and one beyond 32 bits no number.
TEST(CommandLineAnalysis, DatesAndCountsAsTheUsageGivesThem) {
    for (const char* day : {"2026/03/05", "2026/3/5", "2026/03/5", " 2026/03/05", "2026/03/05 "}) {
        bool refused = false;
        EXPECT_EQ(analyse({"-FROM", day, "-SHOW"}, &refused).s.FechaInicio,
                  std::chrono::year(2026) / 3 / 5)
            << day;
        EXPECT_FALSE(refused) << day;
    }
    for (const char* bad : {"+2026/03/05", "2026/003/05", "02026/03/05", "2026/03/05/",
                            "2026 /03/05", "\t2026/03/05", "2026/3/5x", "2026/02/29", ""}) {
        bool refused = false;
        analyse({"-TO", bad, "-SHOW"}, &refused);
        EXPECT_TRUE(refused) << bad;
    }
    const Outcome edges =
        analyse({"-ASDURETRY", "10", "-INTERASDUS", "21", "-TIMEOUTASDUS", "2147483647", "-SHOW"});
    EXPECT_EQ(std::tuple(edges.s.AsduRetries, edges.s.InterAsdu, edges.s.AsduTimeout),
              std::tuple(9, 20, 2147483647));
    EXPECT_EQ(analyse({"-TIMEOUTASDUS", "0", "-INTERASDUS", "0", "-SHOW"}).s.AsduTimeout, 0);
    for (const char* bad : {"-1", "2147483648"}) {
        bool refused = false;
        analyse({"-TIMEOUTASDUS", bad, "-SHOW"}, &refused);
        EXPECT_TRUE(refused) << bad;
    }
}

// The modem string is shown only where it is sent: to the analog modem, as the
// whole command line leaves it (it may hold a SIM PIN).
TEST(CommandLineAnalysis, ModemStringShownOnlyWhereItIsSent) {
    const std::string line = "- UTILIZAR CADENA DE INICIALIZACION DE MODEM ANALOGICO :";
    const auto shown = [&](Strings args) {
        Strings out;
        for (const std::string& l : analyse(std::move(args)).log)
            if (l.starts_with(line)) out.push_back(l.substr(line.size()));
        return out;
    };
    EXPECT_EQ(shown({"-ANALOG", "555", "-MODEM_INIT", "AT&F X3"}), Strings{"AT&F X3"});
    EXPECT_EQ(shown({"-MODEM_INIT", "AT&F X3", "-ANALOG", "555"}), Strings{"AT&F X3"});
    EXPECT_EQ(shown({"-MODEM", "555", "-MODEM_INIT", "AT+CPIN=1234"}), Strings{"****"});
    EXPECT_EQ(shown({"-MODEM_INIT", "AT+CPIN=1234", "-ANALOG", "5", "-MODEM", "5"}),
              Strings{"****"});
    // Replaced by a later one, it is not sent either.
    EXPECT_EQ(shown({"-ANALOG", "555", "-MODEM_INIT", "AT+CPIN=1234", "-MODEM_INIT", "ATZ"}),
              (Strings{"****", "ATZ"}));
}

// A command line that cannot be done exactly: one red line naming the argument,
// the last of the analysis (no "SOLO SE LEE" after a rejected date), no start,
// nothing uploaded and the settings as they were, whatever came before it.
TEST(CommandLineAnalysis, WhatCannotBeDoneExactlyStops) {
    const std::string dir = test::makeTempDir("command_line");
    std::ofstream(dir + "/a file") << "";
    std::ofstream(dir + "/tcp.ini") << "[MAIN]\nCONEXION=2 ; TCP\n";
    const std::pair<Strings, std::string> rows[] = {
        {{"--FROM", "2026/01/01"}, "DESCONOCIDA: --FROM"},
        {{"-SHOW", "stray"}, "SIN PALABRA CLAVE: \"stray\""},
        {{"-ASDURETRY", " -Show "}, "FALTA EL VALOR DE -ASDURETRY ANTES DE \" -Show \""},
        {{"-PORT", "", "-SHOW"}, "PUERTO IP NO VALIDO: \"\""},
        {{"-PORT", "65536"}, "PUERTO IP NO VALIDO: \"65536\""},
        {{"-INTERVAL", "x"}, "INTERVALO DE LECTURA NO VALIDO: \"x\""},
        {{"-TIMEOUTASDUS", "2s"}, "-TIMEOUTASDUS: \"2s\" NO ES UN NUMERO ENTERO"},
        {{"-FROM", "2026/06/12", "-TO", "12/25"}, "FECHA DE FIN: \"12/25\" NO ES UNA FECHA"},
        // An item not of the form cannot say which part is its password: all are hidden.
        {{"-METERS", "101-1-7x"}, "-METERS: \"****-****-****\" NO ES"},
        {{"-METERS", "101-1--8642097"},
         "-METERS: \"****-****--****\" NO ES ENLACE-PUNTO-CONTRASENA[-OPC]"},
        {{"-METERS", "101-1-7 8642097"}, "-METERS: \"****\" NO ES ENLACE-PUNTO"},
        // A control character separates nothing: the number or the code it is in is refused.
        {{"-METERS", "101-1-8642097\x01"}, "-METERS: \"****-****-****\" NO ES ENLACE-PUNTO"},
        {{"-METERS",
          "101-1-8642097-OP\x01"
          "C"},
         "\"101-1-****-OP\\x01C\": EL CODIGO OPC \"OP\\x01C\" LLEVA UN CARACTER DE CONTROL"},
        // A value starting with "-" is taken for a keyword; after a keyword whose value
        // may hold a secret, it is not shown, nor a keyword right after such a value.
        {{"-MODEM_INIT", "-FtpS3cr"}, "FALTA EL VALOR DE -MODEM_INIT ANTES DE \"****\""},
        {{"-FTP", "-u:FtpS3cr@h/"}, "FALTA EL VALOR DE -FTP ANTES DE \"****\""},
        {{"-METERS", "-8642097"}, "FALTA EL VALOR DE -METERS ANTES DE \"****\""},
        {{"-CSV", "-u:FtpS3cr@h"}, "FALTA EL VALOR DE -CSV ANTES DE \"****\""},
        {{"-MODEM_INIT", " -show", "-SHOW"}, "FALTA EL VALOR DE -MODEM_INIT ANTES DE \" -show\""},
        {{"-METERS", "101-1-7", "-8642097"}, "PALABRA CLAVE DESCONOCIDA: ****"},
        {{"-FTP", "u:Ftp", "-S3cr@h/"}, "PALABRA CLAVE DESCONOCIDA: ****"},
        {{"-METERS", "101-1-7", "-SHOW", "-X"}, "PALABRA CLAVE DESCONOCIDA: -X"},
        {{"-METERS", "101-1-7 0101-2-8"}, "REPETIDA EN -METERS: 101"},
        {{"-INI", "/nonexistent/A.INI", "-SHOW"}, "NO EXISTE INIFILE: /nonexistent/A.INI"},
        {{"-INI", dir + "/tcp.ini", "-SHOW"}, "tcp.ini: CONEXION: \"2 ; TCP\" NO ES 0 A 3"},
        {{"-METERS", "65637-1-7"}, "\"65637-1-****\": LA DIRECCION DE ENLACE \"65637\" NO CABE"},
        {{"-METERS", "101-65536-7"}, "\"101-65536-****\": EL PUNTO DE MEDIDA \"65536\" NO CABE"},
        {{"-METERS", "101-1-2147483648"}, "\"****-****-****\" NO ES ENLACE-PUNTO"},
        {{"-METERS", "101-1-7,102-2-22-OPC 1 02"},
         "\"102-2-****-OPC 1 02\": UN CODIGO OPC CON ESPACIOS VA ENTRE COMILLAS"},
        {{"-METERS", "102-2-22-OPC", "102", "-SHOW"}, "\"102-2-****-OPC 102\": UN CODIGO OPC"},
        {{"-IP", " "}, "HOST NO VALIDO EN -IP: \" \" ESTA VACIO"},
        // Bytes that are no UTF-8 (a Latin-1 terminal) would name another folder.
        {{"-CSV", "/srv/a\xF1o"}, "EL VALOR DE -CSV NO ES TEXTO UTF-8"},
        {{"-SHOW", "-\xF1"}, "EL ARGUMENTO 2 NO ES TEXTO UTF-8"},
        {{"-IP", "127.0.0.1:40000"}, "-IP: \"127.0.0.1:40000\" LLEVA UN PUERTO"},
        {{"-MODEM", " "}, "NUMERO DE DISCADO DEL MODEM NO PUEDE ESTAR EN BLANCO"},
        {{"-CSV", dir + "/a file"}, "a file\": ES UN FICHERO, NO UNA CARPETA"},
        {{"-DB", dir + "/x/y"}, "/x/y\": NO EXISTE, NI LA CARPETA \"" + dir + "/x\""},
        // Two meters that would be one name in the database; a code with a line of its own,
        // escaped as the refusal of a blank suggests.
        {{"-METERS", "101-1-7-Pinar-2,102-2-8-PINAR-2"},
         "CODIGO OPC REPETIDO: \"101-1-****-Pinar-2\" Y \"102-2-****-PINAR-2\""},
        {{"-METERS", "\\\"101-1-7-A\nB\\\""},
         "\"101-1-****-A\\x0AB\": EL CODIGO OPC \"A\\x0AB\" LLEVA UN CARACTER DE CONTROL"},
        {{"-DB", "-METERS", "101-1-7"}, "ERROR EN EL CONTADOR 101: SIN CODIGO OPC"},
        {{"-DB", "-METERS", "101-1-7-M\u20AC"}, "\"M\u20AC\" TIENE EL CARACTER U+20AC"},
        // Refused before the upload that comes first could start.
        {{"-DBUPLOAD", "/f.CSV", "-IP", "h2", "-BOGUS"}, "DESCONOCIDA: -BOGUS"},
    };
    const WindowSettings before = analyse({}).s;
    for (const auto& [args, named] : rows) {
        bool refused = false;
        Outcome r = analyse(args, &refused);
        const auto red =
            std::count_if(r.log.begin(), r.log.end(), [](auto& l) { return l[0] == '!'; });
        EXPECT_TRUE(refused && !r.start && red == 1 && r.log.size() == 2 &&
                    r.log.back().starts_with("!- ") &&
                    r.log.back().find(named) != std::string::npos)
            << r.log.back();
        // How the program closes is taken (-SHOW and -NOCLOSE before the fault count),
        // and the meters named, which the status file shows not read.
        r.s.AutoMinimize = before.AutoMinimize, r.s.AutoClose = before.AutoClose;
        r.s.Grid = before.Grid;
        EXPECT_EQ(r.s, before) << r.log.back();
    }
    // An empty port in a configuration file is the default one, as in the window; a run that
    // does not start by itself is not checked (the window checks it when it starts).
    const std::string ini = dir + "/fresh.ini";
    std::ofstream(ini) << "[MAIN]\nCONEXION=2\nHOST=h\nHOST_PORT=\n";
    EXPECT_EQ(analyse({"-INI", ini, "-SHOW"}).log.back(), "- NO MINIMIZAR");
    EXPECT_TRUE(analyse({"-CSV", dir + "/a file", "-NOSTART"}).log.back().starts_with("- NO "));
}

// With the database output, every database and tunnel setting that needs no
// connection, as the keywords leave the database window's: from a file named
// with -INI, or the window's own. Other outputs, and a start that does not
// read, do not need them.
TEST(CommandLineAnalysis, DatabaseSettingsCheckedBeforeTheFirstCall) {
    const std::string dir = test::makeTempDir("command_line_db");
    const std::string tunnel = "HABILITA_TUNEL=1\nSSH_HOST=s\nSSH_LOGIN=u\n";
    const std::pair<std::string, std::string> files[] = {
        {"PASSW=" + EncodePWDEx("x") + "\nHOST_NAME=\nPUERTO=\nSSH_PASS=Passw0rd", ""},
        {"PASSW=Passw0rd",
         "LA CLAVE PASSW DEL FICHERO DE CONFIGURACION NO ES UNA CONTRASENA CODIFICADA"},
        {tunnel + "SSH_PASS=Passw0rd", "LA CLAVE SSH_PASS DEL FICHERO"},
        {tunnel + "SSH_PASS=" + EncodePWDEx("p") + "\nDEST_HOST=db\nDEST_PORT=\nLIST_PORT=", ""},
        {"HABILITA_TUNEL=1\nSSH_HOST=s\nSSH_LOGIN=", "SSH_LOGIN: \"\" ESTA VACIO"},
        {"HABILITA_TUNEL=1\nSSH_LOGIN=u", "SSH_HOST: \"\" ESTA VACIO"},
        {tunnel + "DEST_HOST=db:3306",
         "DEST_HOST: \"db:3306\" LLEVA UN PUERTO: EL PUERTO SE DA APARTE (DEST_PORT)"},
        {"HOST_NAME=db server", "HOST_NAME: \"db server\" LLEVA ESPACIOS"},
        {"DB_NAME=", "DB_NAME: \"\" ESTA VACIO"},
        {"DB_NAME=" + std::string(65, 'd'), "TIENE MAS DE 64 CARACTERES"},
        {"USER_NAME=U\u20AC", "USER_NAME TIENE EL CARACTER U+20AC"},
    };
    const std::string ini = dir + "/db.ini";
    const Strings reading = {"-INI", ini, "-IP", "h", "-DB", "-METERS", "101-1-7-M1"};
    for (const auto& [keys, why] : files) {
        std::ofstream(ini) << "[MAIN]\n" << keys << "\n";
        bool refused = false;
        const Outcome r = analyse(reading, &refused);
        EXPECT_EQ(refused, !why.empty()) << keys;
        const std::string& red = r.log.back();
        if (!why.empty()) {
            EXPECT_TRUE(red.starts_with("!- ERROR EN LA BASE DE DATOS: ") &&
                        red.find(why) != std::string::npos)
                << red;
        }
    }
    std::ofstream(ini) << "[MAIN]\nPASSW=Passw0rd\n";
    EXPECT_TRUE(analyse({"-INI", ini, "-IP", "h", "-CSV", dir}).start);
    EXPECT_FALSE(analyse({"-INI", ini, "-IP", "h", "-DB", "-NOSTART"}).log.back().starts_with("!"));

    // The database window's own settings, where no file replaces them.
    DbSettings window;
    window.PUERTO = "70000";
    EXPECT_EQ(analyse({"-DB", "-METERS", "101-1-7-M1"}, nullptr, &window).log.back(),
              "!- ERROR EN LA BASE DE DATOS: PUERTO: \"70000\" NO ES UN PUERTO DE 1 A 65535");
    window.PUERTO.clear(), window.PASSWORD = PasswordDecodeFailure;
    EXPECT_TRUE(analyse({"-DB", "-METERS", "101-1-7-M1"}, nullptr, &window)
                    .log.back()
                    .starts_with("!- ERROR EN LA BASE DE DATOS: LA CLAVE PASSW"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace qv
