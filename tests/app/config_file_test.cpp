// The configuration file: every key through a save and a load, defaults,
// clamps, merging, and saves that keep or protect what is on disk.

#include "app/core/config_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <tuple>

#include "app/core/dates.h"
#include "app/core/meter_grid.h"
#include "app/core/password_codec.h"
#include "program_harness.h"
#include "support/test_env.h"

namespace qv {
namespace {

using namespace std::chrono;

using test::ReadFile;

// The file with the values of the encoded passwords replaced by "*".
std::string masked(const std::string& path) {
    std::string text = ReadFile(path);
    for (const char* key : {"\nSSH_PASS=", "\nPASSW="}) {
        const std::size_t at = text.find(key) + std::strlen(key);
        text.replace(at, text.find('\n', at) - at, "*");
    }
    return text;
}

WindowSettings fresh() {
    WindowSettings s;
    s.Grid = {GridRow{"H"}, GridRow{}};
    s.ParityText = "IMPAR";
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
    s.PortIndex = 29, s.BaudText = "115200", s.BitsText = "7", s.ParityText = "Marca";
    s.StopText = "1.5", s.Conexion = LinkAnalogModem, s.Numero = "600 123", s.ModemInit = "AT&F";
    s.Host = "h.example", s.HostPort = "40001", s.FechaInicio = NullDate;
    s.FechaFin = year(2016) / 3 / 1, s.Intervalo = 0, s.TipoSalida = OutputDatabase;
    s.LogScreen = false, s.LogDisk = false, s.Minimizar = true, s.Ruta = "/srv/out dir";
    DbSettings db;
    db.HOST_NAME = "H", db.DATA_BASE = "DB", db.USER_NAME = "U", db.PASSWORD = "";
    db.PUERTO = "3308", db.HABILITA_TUNEL = true, db.SSH_HOST = "ssh.example";
    db.SSH_PORT = "2222", db.SSH_LOGIN = "op", db.SSH_PASS = std::string(40, 's');
    db.DEST_HOST = "db", db.DEST_PORT = "3307", db.LIST_PORT = "13306";
    ASSERT_TRUE(SaveConfigFile(path, s, db));

    // The section as written, passwords masked: every key in order, in its form.
    const std::string expected =
        "[MAIN]\nCONTADORES=12,1,5,,65535,0,7,\"OPC 7, \"\"x\"\"\"\nPORT=29\nBAUD_CONTADOR=115200\n"
        "BITS_CONTADOR=7\nPARIDAD_CONTADOR=Marca\nSTOP_CONTADOR=1.5\nCONEXION=3\nNUMERO=600 123\n"
        "MODEM_INIT=AT&F\nHOST=h.example\nHOST_PORT=40001\nFECHA_INICIO=1899/12/30\n"
        "FECHA_FIN=2016/03/01\nINTERVALO=0\nTipo_Salida=2\nLOGSCREEN=0\nLOGDISK=0\nMINIMIZAR=1\n"
        "RUTA=/srv/out dir\nSSH_HOST=ssh.example\nSSH_PORT=2222\nSSH_LOGIN=op\nSSH_PASS=*\n"
        "DEST_HOST=db\nDEST_PORT=3307\nLIST_PORT=13306\nHABILITA_TUNEL=1\nHOST_NAME=H\n"
        "DB_NAME=DB\nUSER_NAME=U\nPASSW=*\nPUERTO=3308\n";
    EXPECT_EQ(masked(path), expected);
    // Passwords only encoded; the empty one as 64 characters.
    EXPECT_EQ(IniFile(path, false).readString("MAIN", "PASSW", "").size(), 64u);

    // Loaded into fresh settings (twice: the meters are matched by link
    // address) and saved again, every key comes back the same.
    WindowSettings back = fresh();
    ASSERT_TRUE(LoadConfigFile(path, back) && LoadConfigFile(path, back));
    const DbSettings dbBack = ReadDbSettings(IniFile(path, false), DecodePWDEx);
    EXPECT_EQ(dbBack.SSH_PASS + "|" + dbBack.PASSWORD, db.SSH_PASS + "|");
    const std::string again = dir + "/again.ini";
    ASSERT_TRUE(SaveConfigFile(again, back, dbBack));
    EXPECT_EQ(masked(again), expected);
    EXPECT_FALSE(LoadConfigFile(dir + "/missing.ini", back) || LoadConfigFile(dir, back));
}

TEST_F(ConfigFile, MissingAndBadValues) {
    const auto load = [](const char* text) {
        WindowSettings s = fresh();
        LoadConfigKeys(IniFile::fromText(std::string("[MAIN]\n") + text), s);
        return s;
    };
    WindowSettings s = load("");
    EXPECT_EQ(s.ParityText, "IMPAR");  // the default "NONE" is no item: the box stays
    EXPECT_EQ(s.HostPort, "40000");
    EXPECT_EQ(s.FechaInicio, Today());
    EXPECT_EQ(std::tuple(s.PortIndex, s.Intervalo, s.Conexion, s.TipoSalida),
              std::tuple(0, 1, 0, 0));
    s = load(
        "PORT=30\nCONEXION=7\nINTERVALO=4\nTipo_Salida=9\nPARIDAD_CONTADOR=par\n"
        "FECHA_INICIO=not a date\nLOGSCREEN=x\nLOGDISK=0\nCONTADORES=1,2,3,4,5,6,7,\"8\",9");
    EXPECT_EQ(std::tuple(s.PortIndex, s.Conexion, s.Intervalo, s.TipoSalida),
              std::tuple(-1, 3, -1, 2));
    EXPECT_EQ(s.ParityText, "PAR");
    EXPECT_EQ(s.FechaInicio, NullDate);
    EXPECT_TRUE(s.LogScreen && !s.LogDisk);
    EXPECT_EQ(MeterLinkTexts(s.Grid), (std::vector<std::string>{"1", "5"}));
    s = load("conexion=-1\ntipo_salida=-5\nINTERVALO=$3");
    EXPECT_EQ(std::tuple(s.Conexion, s.TipoSalida, s.Intervalo), std::tuple(-1, -1, 3));
}

TEST_F(ConfigFile, SavingKeepsTheRestOfTheFileOrAllOfIt) {
    std::ofstream(path) << "; notes\r\n[OTHER]\r\nA=1\r\n[main]\r\nEXTRA=keep\r\nHOST=old\r\n";
    WindowSettings s = fresh();
    s.Host = "new";
    ASSERT_TRUE(SaveConfigFile(path, s, {}));
    const IniFile f(path, false);
    EXPECT_EQ(f.readString("OTHER", "A", "") + f.readString("MAIN", "EXTRA", ""), "1keep");
    EXPECT_EQ(f.readString("MAIN", "HOST", ""), "new");
    EXPECT_EQ(ReadFile(path).rfind("; notes\r\n", 0), 0u);

    // A value that cannot be stored fails the save and leaves the file whole.
    const std::string before = ReadFile(path);
    s.Ruta = "two\nlines";
    EXPECT_FALSE(SaveConfigFile(path, s, {}));
    EXPECT_EQ(ReadFile(path), before);
    EXPECT_FALSE(SaveConfigFile(dir + "/no such folder/x.ini", fresh(), {}));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1);
}

}  // namespace
}  // namespace qv
