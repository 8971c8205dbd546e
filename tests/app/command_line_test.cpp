// The command line: token rules and the keyword analysis over argument vectors.

#include "app/core/command_line.h"

#include <gtest/gtest.h>

#include "app/core/meter_grid.h"
#include "platform/worker_message.h"

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
    Strings log;  // "!" in front marks a red line, "*" a yellow one
    std::vector<std::pair<std::string, bool>> uploads;
};

Outcome analyse(Strings args, bool withUpload = true) {
    Outcome r;
    r.s.Grid = {GridRow{"H"}, GridRow{}};
    Add_to_Grid(r.s.Grid, 99, 1, 1, "OLD");
    CommandLineCalls calls;
    calls.Log = [&](const std::string& t, int32_t c) {
        r.log.push_back((c == colour::Red ? "!" : c == colour::Yellow ? "*" : "") + t);
    };
    if (withUpload)
        calls.Subir_a_base = [&](const std::string& f, bool u) { r.uploads.emplace_back(f, u); };
    args.insert(args.begin(), "quorvanta");
    r.start = Analiza_parametros(CommandLine::FromArguments(args, "/q"), r.s, calls);
    return r;
}

TEST(CommandLineAnalysis, KeywordsAndTheirLogLines) {
    const struct {
        Strings args;
        Strings log;  // after "- ANALIZANDO PARAMETROS"
        bool start;
    } cases[] = {
        {{"-nostart", " -Show "},
         {"- NO INICIAR LA LECTURA AUTOMATICAMENTE", "- NO MINIMIZAR"},
         false},
        {{"-ASDURETRY", "15", "-INTERASDUS", "25", "-TIMEOUTASDUS", "300", "-ASDURETRY", "0"},
         {"- SETS ASDU RETRIES WHEN NO ANSWER TO : 9",
          "- SETS INTER ASDU QUERY INTERVAL TO (SECS.) : 20",
          "- SETS THE TIMEOUT FOR THE ASDU QUERY TO (SECS.) : 300",
          "- SETS ASDU RETRIES WHEN NO ANSWER TO : 1"},
         true},
        {{"-ASDURETRY", "-SHOW", "-TIMEOUTASDUS", "x", "-DB", "-NOSTART"},
         {"- NO MINIMIZAR", "- EXPORTAR A  BASE DE DATOS",
          "- NO INICIAR LA LECTURA AUTOMATICAMENTE"},
         false},
        {{"-INTERVAL", "quarter", "-INTERVAL", "x", "-DB", "/tmp/csv"},
         {"- INTERVALO DE LECTURA: CUARTIHORARIO", "- INTERVALO DE LECTURA: CUARTIHORARIO",
          "- EXPORTAR A BASE DE DATOS USANDO CARPETA .CSV : /tmp/csv"},
         true},
        {{"-FROM", "no date", "-TO", "2026/12/05", "-NOCLOSE"},
         {"- FECHA DE INICIO : 1899/12/30", "- FECHA DE FIN : 2026/12/05", "- NO CERRAR AL SALIR"},
         true},
        {{"-METERS", "12-1-5,13-1-5-OPC 7", "-modem", "555"},
         {"*- ANALIZANDO PARAMETROS DE ALTA DE CONTADORES...",
          "- ALTA DE CONTADOR   - Direccion de  Enlace :12",
          "- ALTA DE CONTADOR   - Direccion de  Enlace :13",
          "- UTILIZAR MODEM GSM LLAMANDO AL NUMERO: 555"},
         true},
        {{"-METERS", "12-1", "-INI", "/nonexistent/A.INI", "-RESTART"},
         {"*- ANALIZANDO PARAMETROS DE ALTA DE CONTADORES...",
          "!- NO EXISTE INIFILE: /nonexistent/A.INI",
          "- FORCE MODEM RESET BEFORE CALLING WITH AT+CFUN=1,1 : "},
         true},
        {{"-" + std::string(100000, 'M'), std::string(100000, '-'), "-METERS",
          std::string(70000, '1') + "-1-1," + std::string(50000, ',')},
         {"*- ANALIZANDO PARAMETROS DE ALTA DE CONTADORES..."},
         true},
    };
    for (const auto& c : cases) {
        const Outcome r = analyse(c.args);
        Strings want = c.log;
        want.insert(want.begin(), "*- ANALIZANDO PARAMETROS");
        EXPECT_EQ(r.log, want) << c.args[0];
        EXPECT_EQ(r.start, c.start) << c.args[0];
    }
    EXPECT_TRUE(analyse({"-SHOW"}).log.empty());  // a single argument is ignored

    // Quotes escaped past the token rules group an item; the OPC part is trimmed, text after a
    // fourth "-" dropped, numbers within 32 bits.
    const Outcome meters = analyse(
        {"-METERS", "\\\"13-1-5- OP C -x\\\",99999999999-1-5,12-1-5" + std::string(300, 'x'),
         "-ASDURETRY", "-SHOW"});
    EXPECT_EQ(meters.s.Grid, (GridRows{GridRow{"H"}, GridRow{"13", "1", "5", "OP C", ""}}));
    EXPECT_TRUE(meters.s.AutoClose && !meters.s.AutoMinimize && meters.s.AsduRetries == 2);
    EXPECT_TRUE(MeterLinkTexts(analyse({"-METERS", "12-1"}).s.Grid).empty());
    // "-DB" followed by a keyword: the database output without a folder.
    const Outcome db = analyse({"-DB", "-NOSTART", "-INTERVAL", "q"});
    EXPECT_EQ(std::tuple(db.s.TipoSalida, db.s.Ruta, db.s.Intervalo), std::tuple(2, "", 0));
    EXPECT_EQ(analyse({"-DBUPLOAD", "/f", "-dbunique"}).uploads,
              (std::vector<std::pair<std::string, bool>>{{"/f", true}}));
    EXPECT_EQ(analyse({"-DBUPLOAD", "/f"}, false).log.back(),
              "!- SUBIDA A LA BASE DE DATOS NO DISPONIBLE");
}

}  // namespace
}  // namespace qv
