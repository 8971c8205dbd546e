// The configuration file: every key through a save and a load, defaults,
// clamps, merging, and saves that keep or protect what is on disk.

#include "app/core/config_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "support/test_env.h"

namespace qv {
namespace {

using namespace std::chrono;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

WindowSettings fresh() {
    WindowSettings s;
    s.Grid = {GridRow{"H"}, GridRow{}};
    return s;
}

class ConfigFile : public ::testing::Test {
  protected:
    std::string dir = test::makeTempDir("config_file");
    std::string path = dir + "/My Config.ini";
};

TEST_F(ConfigFile, EveryKeyRoundTrips) {
    WindowSettings s = fresh();
    Add_to_Grid(s.Grid, 12, 1, 5, "");
    Add_to_Grid(s.Grid, 65535, 0, 7, "OPC 7, \"x\"");
    s.PortIndex = 29;
    s.BaudText = "115200";
    s.BitsText = "7";
    s.ParityText = "Marca";
    s.StopText = "1.5";
    s.Conexion = LinkAnalogModem;
    s.Numero = "600 123 456";
    s.ModemInit = "AT&F;E0";
    s.Host = "meter.example";
    s.HostPort = "40001";
    s.FechaInicio = NullDate;
    s.FechaFin = year(2016) / 3 / 1;
    s.Intervalo = 0;
    s.TipoSalida = OutputDatabase;
    s.LogScreen = false;
    s.LogDisk = false;
    s.Minimizar = true;
    s.Ruta = "/srv/out dir";
    s.Sql = {"ssh.example", "2222", "op",    std::string(40, 's'),
             "db.example",  "3307", "13306", true,
             "H",           "DB",   "U",     "",
             "3308"};
    ASSERT_TRUE(SaveConfigFile(path, s));

    WindowSettings back = fresh();
    ASSERT_TRUE(LoadConfigFile(path, back));
    const IniFile file(path, false);
    const SqlSettings q = ReadSqlKeys(file);
    const struct {
        const char* key;
        std::string saved, loaded;
    } fields[] = {
        {"CONTADORES", GridCommaText(s.Grid), GridCommaText(back.Grid)},
        {"PORT", std::to_string(s.PortIndex), std::to_string(back.PortIndex)},
        {"BAUD_CONTADOR", s.BaudText, back.BaudText},
        {"BITS_CONTADOR", s.BitsText, back.BitsText},
        {"PARIDAD_CONTADOR", s.ParityText, back.ParityText},
        {"STOP_CONTADOR", s.StopText, back.StopText},
        {"CONEXION", std::to_string(s.Conexion), std::to_string(back.Conexion)},
        {"NUMERO", s.Numero, back.Numero},
        {"MODEM_INIT", s.ModemInit, back.ModemInit},
        {"HOST", s.Host, back.Host},
        {"HOST_PORT", s.HostPort, back.HostPort},
        {"FECHA_INICIO", FormatDateYmd(s.FechaInicio), FormatDateYmd(back.FechaInicio)},
        {"FECHA_FIN", FormatDateYmd(s.FechaFin), FormatDateYmd(back.FechaFin)},
        {"INTERVALO", std::to_string(s.Intervalo), std::to_string(back.Intervalo)},
        {"Tipo_Salida", std::to_string(s.TipoSalida), std::to_string(back.TipoSalida)},
        {"LOGSCREEN", std::to_string(s.LogScreen), std::to_string(back.LogScreen)},
        {"LOGDISK", std::to_string(s.LogDisk), std::to_string(back.LogDisk)},
        {"MINIMIZAR", std::to_string(s.Minimizar), std::to_string(back.Minimizar)},
        {"RUTA", s.Ruta, back.Ruta},
        {"SSH_HOST", s.Sql.SshHost, q.SshHost},
        {"SSH_PORT", s.Sql.SshPort, q.SshPort},
        {"SSH_LOGIN", s.Sql.SshLogin, q.SshLogin},
        {"SSH_PASS", s.Sql.SshPass, q.SshPass},
        {"DEST_HOST", s.Sql.DestHost, q.DestHost},
        {"DEST_PORT", s.Sql.DestPort, q.DestPort},
        {"LIST_PORT", s.Sql.ListPort, q.ListPort},
        {"HABILITA_TUNEL", std::to_string(s.Sql.HabilitaTunel), std::to_string(q.HabilitaTunel)},
        {"HOST_NAME", s.Sql.HostName, q.HostName},
        {"DB_NAME", s.Sql.DataBase, q.DataBase},
        {"USER_NAME", s.Sql.UserName, q.UserName},
        {"PASSW", s.Sql.Password, q.Password},
        {"PUERTO", s.Sql.Puerto, q.Puerto},
    };
    // Written in this order, each key once.
    const std::vector<std::string> keys = file.keys("MAIN");
    ASSERT_EQ(keys.size(), std::size(fields));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        EXPECT_EQ(keys[i], fields[i].key);
        EXPECT_EQ(fields[i].loaded, fields[i].saved) << fields[i].key;
    }
    // Passwords only in encoded form; the empty one as 64 characters.
    EXPECT_EQ(file.readString("MAIN", "PASSW", "").size(), 64u);
    EXPECT_EQ(file.readString("MAIN", "SSH_PASS", "").size(), 83u);
    EXPECT_EQ(read_file(path).find(s.Sql.SshPass), std::string::npos);
}

TEST_F(ConfigFile, MissingAndBadValues) {
    const struct {
        const char* text;
        void (*check)(const WindowSettings&);
    } cases[] = {
        {"",
         [](const WindowSettings& s) {
             EXPECT_EQ(s.PortIndex, 0);
             EXPECT_EQ(s.ParityText, "IMPAR");  // "NONE" is no item: the box stays
             EXPECT_EQ(s.BaudText, "9600");
             EXPECT_EQ(s.HostPort, "40000");
             EXPECT_EQ(s.FechaInicio, Today());
             EXPECT_EQ(s.Intervalo, 1);
             EXPECT_EQ(s.Conexion, 0);
             EXPECT_TRUE(s.LogScreen && s.LogDisk && !s.Minimizar);
             EXPECT_EQ(MeterLinkTexts(s.Grid).size(), 0u);
         }},
        {"PORT=30\nCONEXION=7\nINTERVALO=4\nTipo_Salida=9\nPARIDAD_CONTADOR=par\n"
         "BAUD_CONTADOR=1234\nFECHA_INICIO=not a date\nLOGSCREEN=x\nLOGDISK=5",
         [](const WindowSettings& s) {
             EXPECT_EQ(s.PortIndex, -1);
             EXPECT_EQ(s.Conexion, 3);
             EXPECT_EQ(s.Intervalo, -1);
             EXPECT_EQ(s.TipoSalida, 2);
             EXPECT_EQ(s.ParityText, "PAR");
             EXPECT_EQ(s.BaudText, "19200");
             EXPECT_EQ(s.FechaInicio, NullDate);
             EXPECT_TRUE(s.LogScreen && s.LogDisk);
         }},
        {"port=-3\nconexion=-1\ntipo_salida=-5\nINTERVALO=$3\nCONTADORES=1,2,3,4,5,6,7,\"8\",9",
         [](const WindowSettings& s) {
             EXPECT_EQ(s.PortIndex, -1);
             EXPECT_EQ(s.Conexion, -1);
             EXPECT_EQ(s.TipoSalida, -1);
             EXPECT_EQ(s.Intervalo, 3);
             EXPECT_EQ(MeterLinkTexts(s.Grid), (std::vector<std::string>{"1", "5"}));
         }},
    };
    for (const auto& c : cases) {
        WindowSettings s = fresh();
        s.ParityText = "IMPAR";
        s.BaudText = "19200";
        LoadConfigKeys(IniFile::fromText(std::string("[MAIN]\n") + c.text), s);
        c.check(s);
    }
}

TEST_F(ConfigFile, LoadingMergesMeters) {
    const std::string other = dir + "/other.ini";
    write_file(path, "[MAIN]\nCONTADORES=12,1,5,,13,1,5,A\n");
    write_file(other, "[MAIN]\nCONTADORES=13,2,2,B,14,1,1,\n");
    WindowSettings s = fresh();
    ASSERT_TRUE(LoadConfigFile(path, s));
    const GridRows once = s.Grid;
    ASSERT_TRUE(LoadConfigFile(path, s));
    EXPECT_EQ(s.Grid, once);
    ASSERT_TRUE(LoadConfigFile(other, s));
    EXPECT_EQ(MeterLinkTexts(s.Grid), (std::vector<std::string>{"12", "13", "14"}));
    EXPECT_EQ(s.Grid[2][3], "B");
    WindowSettings untouched = s;
    EXPECT_FALSE(LoadConfigFile(dir + "/missing.ini", s));
    EXPECT_EQ(s.Grid, untouched.Grid);
}

TEST_F(ConfigFile, SavingKeepsTheRestOfTheFile) {
    write_file(path, "; operator notes\r\n[OTHER]\r\nA=1\r\n[main]\r\nEXTRA=keep\r\nHOST=old\r\n");
    WindowSettings s = fresh();
    s.Host = "new";
    ASSERT_TRUE(SaveConfigFile(path, s));
    const IniFile f(path, false);
    EXPECT_EQ(f.readString("OTHER", "A", ""), "1");
    EXPECT_EQ(f.readString("MAIN", "EXTRA", ""), "keep");
    EXPECT_EQ(f.readString("MAIN", "HOST", ""), "new");
    EXPECT_EQ(f.readString("MAIN", "CONTADORES", "?"), ",,,");
    EXPECT_EQ(read_file(path).rfind("; operator notes\r\n", 0), 0u);

    // A value that cannot be stored fails the save and leaves the file whole.
    const std::string before = read_file(path);
    s.Ruta = "two\nlines";
    EXPECT_FALSE(SaveConfigFile(path, s));
    EXPECT_EQ(read_file(path), before);
    EXPECT_FALSE(SaveConfigFile(dir + "/no such folder/x.ini", fresh()));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

TEST_F(ConfigFile, KeyStoreRecord) {
    const std::string store = dir + "/PELLANTRIA/QUORVANTA.conf";
    SetRegistryData(store, std::string(IniRecordKey), "INI", 1, path);
    SetRegistryData(store, std::string(IniRecordKey), "OTHER", 4, "x");
    KeyStore ks(store);
    ASSERT_TRUE(ks.openKey("\\SOFTWARE\\PELLANTRIA\\QUORVANTA", false));
    EXPECT_EQ(ks.readString("INI"), path);
    EXPECT_FALSE(ks.valueExists("OTHER"));
    SetRegistryData("/proc/no/store.conf", std::string(IniRecordKey), "INI", 1, path);
}

}  // namespace
}  // namespace qv
