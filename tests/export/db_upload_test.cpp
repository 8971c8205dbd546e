// The database output: readings files parsed into rows, uploads to the MariaDB
// test server, directly and through an SSH tunnel via the sshd test server, and
// the settings window.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "export/export_harness.h"
#include "export/sql_form.h"
#include "export/sql_rows.h"
#include "platform/text.h"
#include "support/condition_wait.h"
#include "support/loopback_peer.h"
#include "support/test_env.h"

namespace qv {
namespace {

using test::ConnectedTo;
using test::WaitFor;

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
        // A day or time that does not exist stops the upload at its row.
        {"05/12/26;12:60;Verano;1;2;3;4;5;6;", "HORA INEXISTENTE EN EL FICHERO: 05/12/26 12:60"},
        // The file's text as the log line shows it: a control character escaped (C0
        // ones end a field, as a blank does).
        {"05/12/26;12\xC2\x85:60;Verano;1;2;3;4;5;6;",
         "HORA INEXISTENTE EN EL FICHERO: 05/12/26 12\\u0085:60"},
        {"05\x7F/12/26;00:15;Verano;1;2;3;4;5;6;",
         "FECHA INEXISTENTE EN EL FICHERO: 05\\x7F/12/26 00:15"},
    };
    for (const auto& c : cases) {
        SqlRow row;
        std::string values;
        if (ok_parse("M1", c.line, row))
            for (const std::string& v : row.InsertValues())
                values += (values.empty() ? "" : "|") + v;
        if (!row.Fault.empty()) values = row.Fault;
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
        std::string password = "";  // as the configuration file's decoder gave it
        std::string name = "";      // the file's own, not "f<n>.CSV"
    } cases[] = {
        {{}, " - NO EXISTE EL FICHERO " + dir + "/f0.CSV" + tail},
        // The path as typed after -DBUPLOAD: its control character escaped.
        {{}, " - NO EXISTE EL FICHERO " + dir + "/f\\x01.CSV" + tail, "", "f\x01.CSV"},
        {{test::kHeader, row}, " - EL FICHERO NO CONTIENE IDENTIFICACION OPC_ID" + tail},
        {{"OPC_ID :   ", test::kHeader, row},
         " - EL FICHERO NO CONTIENE IDENTIFICACION OPC_ID VALIDA" + tail},
        {{"OPC_ID : M1", row}, " - EL FICHERO NO CONTIENE DATOS VALIDOS" + tail},
        // UTF-8 (the command line's) that Latin-1 cannot hold; a password not decoded.
        {{"OPC_ID : M\u20AC1", test::kHeader, row},
         " - LA IDENTIFICACION OPC_ID DEL FICHERO TIENE EL CARACTER U+20AC, QUE LA BASE "
         "(LATIN-1) NO ADMITE" +
             tail},
        {{"OPC_ID : M1", test::kHeader, row},
         " - LA CLAVE PASSW DEL FICHERO DE CONFIGURACION NO ES UNA CONTRASENA CODIFICADA: "
         "ESCRIBALA EN \"CONFIGURACION MySQL\" Y GUARDE LA CONFIGURACION" +
             tail,
         "\x01"},
    };
    int i = 0;
    for (const auto& c : cases) {
        const std::string name = c.name.empty() ? "f" + std::to_string(i) + ".CSV" : c.name;
        ++i;
        std::string path = dir + "/" + name;
        if (!c.lines.empty()) path = test::WriteFile(dir, name, c.lines);
        test::ExportHarness h;
        int lost = 0;
        h.output.UploadFailed = [&](const std::string&, const std::string&) { ++lost; };
        h.output.Settings.PASSWORD = c.password;
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

using Table = std::vector<std::vector<std::string>>;
const std::string kEnd = "G  - DESCONECTADO DE LA BASE DE DATOS...\n";

using DbUpload = test::UploadTest;

// Rows are inserted one by one (the lines that give none: the parse table; the
// count of rows: the program's upload); the first failing statement ends the
// upload, and so does a date or time that does not exist, whatever the server's
// SQL mode (a server without strict mode would store zeros; a strict one takes 24:00).
TEST_F(DbUpload, WholeFileIsInsertedRowByRowUpToTheFirstFailure) {
    int lost = 0;
    h.output.UploadFailed = [&](const std::string&, const std::string&) { ++lost; };
    for (const bool strict : {true, false}) {
        if (!strict) NonStrict();
        client.FreshTable(schema);
        const std::string date = strict ? "06/12/26" : "31/02/26",
                          time = strict ? "24:00" : "00:15";
        const std::string log = Upload(
            "M1", {test::CsvRow("05/12/26", "00:15", "Invierno", {"-1", "- ", "3", "4", "5", "6"}),
                   test::CsvRow(date, time, "Invierno", {"1", "1", "1", "1", "1", "1"}),
                   test::CsvRow("06/12/26", "00:15", "Invierno", {"1", "1", "1", "1", "1", "1"})});
        EXPECT_NE(
            log.find("R  - ERROR EN LA BASE DE DATOS  - " + std::string(strict ? "HORA" : "FECHA") +
                     " INEXISTENTE EN EL FICHERO: " + date + " " + time),
            std::string::npos)
            << log;
        EXPECT_TRUE(log.ends_with(kEnd)) << log;
        EXPECT_EQ(
            Stored(),
            (Table{{"M1", "2026-12-05", "00:15:00", "I", "-1", "0", "3", "5", "4", "6", "1"}}));
    }
    EXPECT_EQ(lost, 2);
}

// Quotes, backslashes, semicolons and Latin-1 letters in the meter name and the schema name are
// stored as written; unique mode reads and writes the configured schema only (a
// new key, and the row of a reading with an error kept: the program's own unique
// upload). The season is part of the key: on the day summer time ends, the
// winter 00:15 updates its own row and the summer one is a row of its own.
TEST_F(DbUpload, UniqueModeUpdatesAndInsertsUnderOddNames) {
    const std::string odd = schema + "`'\\;";
    const std::string name = "O'B\\\"X\"; DROP TABLE quorvanta; -- \xD1";  // Latin-1 too
    client.FreshTable(odd);
    h.output.Settings.DATA_BASE = odd;
    Upload(name, {test::CsvRow("05/12/26", "00:15", "Invierno", {"1", "2", "3", "4", "5", "6"})},
           false);
    for (int i = 0; i < 2; ++i)
        Upload(name,
               {test::CsvRow("05/12/26", "00:15", "Invierno", {"10", "20", "30", "40", "50", "60"}),
                test::CsvRow("05/12/26", "00:15", "Verano", {"7", "7", "7", "7", "7", "7"})},
               true);
    EXPECT_EQ(
        Stored(odd),
        (Table{{name, "2026-12-05", "00:15:00", "V", "7", "7", "7", "7", "7", "7", "0"},
               {name, "2026-12-05", "00:15:00", "I", "10", "20", "30", "50", "40", "60", "0"}}));
    EXPECT_TRUE(Stored().empty());
    client.Drop(odd);
}

// Two meter names that the server's usual collations take for one would put
// two meters' readings on the same rows: the name key the meter list is
// checked with must take them for one too. Every pair of Latin-1 characters
// that the server compares as equal, per collation, has one key; the Swedish
// collation's own letters are left out ("Ü" = "Y": the key would take "U1" and
// "Y1" for one name; "Å", "Ä", "Ö" = "[", "\", "]").
TEST_F(DbUpload, NamesTheServerTakesForOneHaveOneKey) {
    const std::pair<const char*, const char*> collations[] = {
        {"latin1", "latin1_swedish_ci"},   {"latin1", "latin1_general_ci"},
        {"latin1", "latin1_spanish_ci"},   {"latin1", "latin1_german1_ci"},
        {"utf8mb4", "utf8mb4_general_ci"}, {"utf8mb4", "utf8mb4_unicode_ci"},
    };
    std::string values;
    for (int c = 0x21; c <= 0xFF; ++c) {
        if (c >= 0x7F && c < 0xA0) continue;
        char hex[24];
        std::snprintf(hex, sizeof hex, "%s(%d,_latin1 X'%02X')", values.empty() ? "" : ",", c, c);
        values += hex;
    }
    const auto utf8 = [](int c) { return Utf8OrLatin1(std::string(1, char(c))); };
    const std::string t = QuoteIdentifier(schema) + ".chars";
    int pairs = 0;
    for (const auto& [charset, collation] : collations) {
        client.Run("DROP TABLE IF EXISTS " + t);
        client.Run("CREATE TABLE " + t + " (id INT, c VARCHAR(2) CHARACTER SET " + charset +
                   " COLLATE " + collation + ")");
        client.Run("INSERT INTO " + t + " VALUES " + values);
        for (const auto& r : client.Run("SELECT a.id, b.id FROM " + t + " a JOIN " + t +
                                        " b ON a.c = b.c AND a.id < b.id")) {
            const std::string a = NameCollationKey(utf8(std::stoi(r[0]))),
                              b = NameCollationKey(utf8(std::stoi(r[1])));
            const std::string both = std::min(a, b) + std::max(a, b);
            const bool swedish = both == "UY" || both == "A[" || both == "A\\" || both == "O]";
            if (swedish && std::string_view(collation) == "latin1_swedish_ci") continue;
            ++pairs;
            EXPECT_EQ(a, b) << collation << ": " << utf8(std::stoi(r[0])) << " = "
                            << utf8(std::stoi(r[1]));
        }
    }
    EXPECT_GT(pairs, 6 * 26);  // at least the letters' two cases, in every collation
}

// Wrong password, nothing listening, a server that never answers: each ends
// with the red line and the disconnection, within the connection's waits.
// Closing the program while a statement waits on a locked table, or while the
// connection waits for a server that never answers, does not wait for them.
TEST_F(DbUpload, ConnectionFailuresAndStopsEndInBoundedTime) {
    test::LoopbackListener silent;
    const DbSettings good = h.output.Settings;
    const std::string notFound = "R  - NO SE HA PODIDO ENCONTRAR EL SERVIDOR! - ",
                      refused = " - EL SERVIDOR DE BASES DE DATOS RECHAZA LA CONEXION";
    const struct {
        std::string password, port, schema, text;
    } cases[] = {
        // The server's own reason first when it answered.
        {"wrong", good.PUERTO, good.DATA_BASE,
         "R  - ACCESS DENIED FOR USER 'QVTEST'@'127.0.0.1' (USING PASSWORD: YES)" + refused},
        {good.PASSWORD, good.PUERTO, "NO_SUCH_SCHEMA",
         "R  - UNKNOWN DATABASE 'NO_SUCH_SCHEMA'" + refused},
        {good.PASSWORD, std::to_string(test::LoopbackListener().port()), good.DATA_BASE,
         notFound + "CAN'T CONNECT TO SERVER ON '127.0.0.1'"},
        {good.PASSWORD, std::to_string(silent.port()), good.DATA_BASE,
         notFound + "LOST CONNECTION TO SERVER AT 'HANDSHAKE: "},
    };
    for (const auto& c : cases) {
        h.output.Settings.PASSWORD = c.password;
        h.output.Settings.PUERTO = c.port;
        h.output.Settings.DATA_BASE = c.schema;
        h.output.TestConnection();
        ASSERT_TRUE(h.WaitIdle(std::chrono::seconds(20))) << h.Log();
        const std::string log = h.Log(true);
        EXPECT_NE(log.find(c.text), std::string::npos) << log;
        EXPECT_TRUE(log.ends_with(kEnd)) << log;
    }

    client.Run("LOCK TABLES " + QuoteIdentifier(schema) + ".quorvanta WRITE");
    const std::string file = test::ReadingsFile(
        dir, "M1", {test::CsvRow("05/12/26", "00:15", "I", {"1", "2", "3", "4", "5", "6"})});
    for (const std::string& port : {good.PUERTO, std::to_string(silent.port())}) {
        auto out = std::make_unique<SqlOutput>(h.executor, h.receiver.target(), nullptr);
        out->Settings = good;
        out->Settings.PUERTO = port;
        out->Settings.ConnectTimeoutSeconds = out->Settings.ReadTimeoutSeconds = 60;
        out->Subir_a_base(file, false);
        // Stopped only once it waits: on the lock, or for the server's greeting.
        if (port == good.PUERTO)
            ASSERT_TRUE(WaitFor([&] {
                return !client
                            .Run(
                                "SELECT ID FROM information_schema.PROCESSLIST WHERE "
                                "STATE LIKE 'Waiting for table%'")
                            .empty();
            }));
        else
            ASSERT_TRUE(WaitFor([&] { return ConnectedTo(silent.port()); }));
        const auto start = std::chrono::steady_clock::now();
        out.reset();
        // Far sooner than the connection's 60 s waits, on the slowest build.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20)) << port;
    }
    client.Run("UNLOCK TABLES");
}

// Uploads through the test server's SSH tunnel; the log's red lines.
class DbTunnel : public DbUpload {
  protected:
    void SetUp() override {
        DbUpload::SetUp();
        DbSettings& s = h.output.Settings;
        s.HABILITA_TUNEL = true;
        s.SSH_HOST = test::RequireEnv("QV_SSH_HOST");
        s.SSH_PORT = test::RequireEnv("QV_SSH_PORT");
        s.SSH_LOGIN = test::RequireEnv("QV_SSH_USER");
        s.SSH_PASS = test::RequireEnv("QV_SSH_PASSWORD");
        s.KnownHostsFile = test::RequireEnv("QV_SSH_KNOWN_HOSTS");
        // The server is reached through the tunnel's local end.
        s.DEST_HOST = s.HOST_NAME;
        s.DEST_PORT = s.PUERTO;
        s.LIST_PORT = s.PUERTO = std::to_string(test::LoopbackListener().port());
        good = s;
        file = test::ReadingsFile(
            dir, "M1", {test::CsvRow("05/12/26", "00:15", "I", {"1", "2", "3", "4", "5", "6"})});
    }
    bool Red(const std::string& text) const {
        return std::any_of(h.lines.begin(), h.lines.end(), [&](const auto& l) {
            return l.second == colour::Red && l.first.find(text) != std::string::npos;
        });
    }
    DbSettings good;
    std::string file;
};

// Each refusal stops the upload with the reason; a refused start leaves the
// port free for the next uploads, which go through one tunnel: a second upload
// while the first still runs uses it too, and it closes after the last of them.
TEST_F(DbTunnel, RefusalsThenOneSharedTunnelThenAnIdleOne) {
    DbSettings& s = h.output.Settings;
    const std::string empty = test::WriteFile(dir, "empty_known_hosts", {});
    const auto count = [&](const std::string& text) {
        return std::count_if(h.lines.begin(), h.lines.end(),
                             [&](const auto& l) { return l.first == text; });
    };
    test::LoopbackListener busy;
    const std::string closed = std::to_string(test::LoopbackListener().port());
    // The key's fingerprint as the README has the operator compute it.
    std::string sha(64, ' ');
    FILE* p =
        popen(("cut -d' ' -f3 " + good.KnownHostsFile + " | base64 -d | sha256sum").c_str(), "r");
    sha.resize(std::fread(sha.data(), 1, sha.size(), p));
    pclose(p);
    const struct {
        std::string password, knownHosts, listenPort, destPort, reason;
    } cases[] = {
        {"wrong", good.KnownHostsFile, good.LIST_PORT, good.DEST_PORT,
         "RECHAZA EL USUARIO " + good.SSH_LOGIN},
        {good.SSH_PASS, good.KnownHostsFile, std::to_string(busy.port()), good.DEST_PORT,
         "NO SE PUEDE ESCUCHAR EN 127.0.0.1:" + std::to_string(busy.port())},
        {good.SSH_PASS, empty, good.LIST_PORT, good.DEST_PORT,
         "DESCONOCIDA (HOST 127.0.0.1, PUERTO " + good.SSH_PORT +
             ", CLAVE SSH-ED25519, HUELLA SHA256 EN HEXADECIMAL " + UpperAscii(sha) + ")"},
        // The server's own refusal of the channel, beside the client's lost connection.
        {good.SSH_PASS, good.KnownHostsFile, good.LIST_PORT, closed,
         "ERROR EN EL TUNEL SSH: EL SERVIDOR SSH 127.0.0.1:" + good.SSH_PORT +
             " NO ABRE EL CANAL HACIA " + good.DEST_HOST + ":" + closed + " - "},
    };
    for (const auto& c : cases) {
        s.SSH_PASS = c.password;
        s.KnownHostsFile = c.knownHosts;
        s.LIST_PORT = c.listenPort;
        s.DEST_PORT = c.destPort;
        h.lines.clear();
        h.output.Subir_a_base(file, false);
        ASSERT_TRUE(h.WaitIdle()) << h.Log();
        EXPECT_TRUE(Red(c.reason)) << h.Log();
        EXPECT_FALSE(Red("CONEXION SSH PERDIDA")) << h.Log();  // a refused channel is not fatal
    }
    s = good;
    h.lines.clear();
    for (int i = 0; i < 3; ++i) h.output.Subir_a_base(file, false);
    EXPECT_EQ(h.output.RunningUploads(), 3u);
    ASSERT_TRUE(h.WaitIdle()) << h.Log();
    EXPECT_EQ(count(" - TUNEL INICIADO DE FORMA EXITOSA!"), 3) << h.Log();
    EXPECT_EQ(count(" - TUNEL CERRADO DE FORMA EXITOSA!"), 1) << h.Log();
    EXPECT_EQ(h.lines.back().first, " - DESCONECTADO DE LA BASE DE DATOS...");
    EXPECT_EQ(Stored().size(), 3u);

    // An open tunnel without clients waits: packets that belong to no channel
    // (the server's notices after the login) must not keep it spinning.
    ASSERT_TRUE(h.output.start_ssh()) << h.Log();
    const std::clock_t before = std::clock();  // the process's processor time
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_LT(std::clock() - before, CLOCKS_PER_SEC / 2);
}

// A tunnel whose SSH session has dropped (the relay drops sessions idle for
// 2 s) is not handed to the next upload, which starts a fresh one.
TEST_F(DbTunnel, ATunnelWhoseSessionDroppedIsNotShared) {
    DbSettings& s = h.output.Settings;
    s.SSH_PORT = std::to_string(test::LoopbackListener().port());
    std::string key;
    std::getline(std::ifstream(good.KnownHostsFile), key);
    s.KnownHostsFile = dir + "/relay_known_hosts";
    std::ofstream(s.KnownHostsFile) << "[127.0.0.1]:" + s.SSH_PORT + key.substr(key.find(' '));
    QProcess relay;
    relay.setReadChannel(QProcess::StandardError);
    relay.start("socat", {"-d", "-d", "-T2",
                          QString::fromStdString("TCP-LISTEN:" + s.SSH_PORT +
                                                 ",bind=127.0.0.1,reuseaddr,fork"),
                          QString::fromStdString("TCP:127.0.0.1:" + good.SSH_PORT)});
    std::string relayLog;
    const auto relaySays = [&](const std::string& text) {
        return WaitFor([&] {
            relay.waitForReadyRead(100);
            relayLog += relay.readAllStandardError().toStdString();
            return relayLog.find(text) != std::string::npos;
        });
    };
    ASSERT_TRUE(relaySays("listening on")) << relayLog;
    h.output.Subir_a_base(file, false);
    ASSERT_TRUE(WaitFor([&] { return !Stored().empty(); })) << h.Log();
    // The relay tells when it dropped the session; the main loop is not run in
    // between, so the program has not handled its end yet.
    ASSERT_TRUE(relaySays("childdied()")) << relayLog;
    h.output.Subir_a_base(file, false);
    ASSERT_TRUE(h.WaitIdle()) << h.Log();
    EXPECT_EQ(Stored().size(), 2u) << h.Log();
    EXPECT_TRUE(Red("ERROR EN EL TUNEL SSH: CONEXION SSH PERDIDA CON 127.0.0.1:" + s.SSH_PORT));
    relay.kill();
    relay.waitForFinished();
}

TEST(SettingsWindow, ConnectionTestThenTunnelBoxesAndPortDefaults) {
    test::ExportHarness h;
    TSql_Form form{h.executor, h.receiver.target(),
                   [&](const std::string& t, int32_t c) { h.lines.emplace_back(t, c); }};
    DbSettings s = test::DbSettingsFromEnv();
    s.DATA_BASE = test::RequireEnv("QV_MYSQL_SCHEMA");
    s.HOST_NAME = "localhost";  // over TCP too, never the default local socket
    form.SetSettings(s);
    bool logShown = false;
    form.ShowLogPage = [&] { logShown = true; };
    form.Button_OKClick();
    EXPECT_TRUE(logShown);
    EXPECT_EQ(form.result(), 1);
    EXPECT_TRUE(form.GroupBox_config->isEnabled());
    ASSERT_TRUE(h.WaitIdle(std::chrono::seconds(60), &form.Output())) << h.Log();
    EXPECT_EQ(h.lines.at(2).first, " - SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !");

    // Reading these keys from a file: the main window's configuration tests.
    form.SetSettings(DbSettings{});
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));
    form.HABILITA_TUNEL->setChecked(true);
    EXPECT_TRUE(form.Group_ssh->isVisibleTo(&form));
    form.HABILITA_TUNEL->setChecked(false);
    EXPECT_FALSE(form.Group_ssh->isVisibleTo(&form));

    // A character the Latin-1 connection cannot carry is refused, saying why.
    form.PASSWORD->insert(QStringLiteral("pa"));
    form.PASSWORD->insert(QString::fromUtf8("\u20ACs"));  // typed or pasted
    EXPECT_EQ(
        form.Settings().PASSWORD + "|" + form.AVISO->text().toStdString(),
        "pa|NO SE ADMITE EL CARACTER '\u20AC' EN PASSWORD - SOLO SE ADMITEN CARACTERES LATIN-1");

    // Port boxes that hold no number (set from outside: typed, such a text is
    // refused) are used as their defaults and show them.
    form.HABILITA_TUNEL->setChecked(true);
    form.SSH_HOST->setText("127.0.0.1");
    for (QLineEdit* box : {form.LIST_PORT, form.SSH_PORT, form.DEST_PORT}) box->setText("ROOT");
    form.Output().Settings.ConnectTimeoutSeconds = 2;
    form.Crea_hilo({}, false);
    EXPECT_EQ(
        (form.LIST_PORT->text() + form.SSH_PORT->text() + form.DEST_PORT->text()).toStdString(),
        "3307223306");
    EXPECT_EQ(form.RunningUploads(), 0u);
}

}  // namespace
}  // namespace qv
