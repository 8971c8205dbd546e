// INI files, the key store and a port's settings stored in and loaded from them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/ini_file.h"
#include "serial/com_port.h"
#include "support/test_env.h"

namespace qv {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class IniTest : public ::testing::Test {
  protected:
    std::string dir = test::makeTempDir("qv_ini");
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(IniTest, RewritingKeepsEverythingElseTheLineEndsAndTheFileMode) {
    // A settings file that holds passwords may have been made private; saving
    // must not open it up again. New lines follow the file's own line ends.
    const std::string path = dir + "/a.ini";
    std::ofstream(path, std::ios::binary)
        << "; settings\r\n[MAIN]\r\nPORT=3\r\n\r\n[OTHER]\r\nx = kept \r\n";
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    IniFile f(path);
    EXPECT_EQ(f.readInteger("main", "port", 0), 3);
    EXPECT_EQ(f.readString("OTHER", "X", ""), "kept");
    f.writeString("Main", "Tipo_Salida", "2");
    f.writeInteger("MAIN", "PORT", 5);
    f.writeString("NEW", "k", "v,\"w\"");
    EXPECT_EQ(slurp(path),
              "; settings\r\n[MAIN]\r\nPORT=5\r\nTipo_Salida=2\r\n\r\n[OTHER]\r\n"
              "x = kept \r\n[NEW]\r\nk=v,\"w\"\r\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    EXPECT_EQ(IniFile(path).readString("new", "K", ""), "v,\"w\"");
}

TEST_F(IniTest, TypedReadsOfLooseLines) {
    // Hexadecimal numbers, "0" and other texts as booleans, refused line breaks and
    // unwritable files: in the configuration file tests.
    IniFile f = IniFile::fromText("[S]\nc=abc\ne=-4\nnoequals\n[broken\nz=1\n");
    EXPECT_EQ(f.readInteger("S", "c", 7), 7);
    EXPECT_TRUE(f.readBool("S", "e", false));
    EXPECT_EQ(f.readInteger("broken", "z", 0), 1);
}

// A value's pair of quotes goes, as the Windows INI service takes it off; a
// value that would lose its own quotes or edge blanks is written so that it
// reads back. A file that is not UTF-8 is an older Latin-1 one: it is read and
// rewritten as UTF-8.
TEST_F(IniTest, QuotedValuesAndLatin1Files) {
    const IniFile f = IniFile::fromText(
        "[S]\na = \"/data/x y\" \nb='q'\nc=\"7\"\nd=\"open\ne=\"\"\nf=\"x\"y\"\n");
    const std::pair<const char*, const char*> reads[] = {
        {"a", "/data/x y"}, {"b", "q"}, {"c", "7"}, {"d", "\"open"}, {"e", ""}, {"f", "x\"y"}};
    for (const auto& [key, value] : reads) EXPECT_EQ(f.readString("S", key, "-"), value) << key;
    EXPECT_EQ(f.readInteger("S", "c", 0), 7);

    IniFile w = IniFile::fromText("");
    for (const char* value : {"\"quoted\"", "'single'", " edges\t", "\"", "a \"b\" c", "\"\""}) {
        w.writeString("W", "k", value);
        EXPECT_EQ(IniFile::fromText(w.text()).readString("W", "k", "-"), value) << w.text();
    }

    const std::string path = dir + "/old.ini";
    std::ofstream(path, std::ios::binary) << "[MAIN]\r\nRUTA=/srv/a\xF1o\r\n";
    IniFile old(path);
    EXPECT_EQ(old.readString("MAIN", "RUTA", ""), "/srv/año");
    old.writeString("MAIN", "HOST", "h\xE9");  // a Latin-1 value is taken as such too
    EXPECT_EQ(slurp(path), "[MAIN]\r\nRUTA=/srv/año\r\nHOST=hé\r\n");
    EXPECT_EQ(IniFile(path).readString("MAIN", "RUTA", ""), "/srv/año");  // UTF-8 stays
}

TEST_F(IniTest, KeyStoreIgnoresFailedWrites) {
    KeyStore ks(dir + "/maker/program.conf");
    // A written key read back: in the settings window tests.
    EXPECT_FALSE(ks.openKey("\\SOFTWARE\\PELLANTRIA\\QUORVANTA", false));
    unsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(KeyStore::defaultPath("pellantria", "quorvanta"),
              "/etc/xdg/pellantria/quorvanta.conf");
    setenv("XDG_CONFIG_DIRS", (dir + ":/etc/xdg").c_str(), 1);
    EXPECT_EQ(KeyStore::defaultPath("pellantria", "quorvanta"), dir + "/pellantria/quorvanta.conf");
    KeyStore nowhere(dir + "/file/in/a/file.conf");
    std::ofstream(dir + "/file") << "not a folder";
    ASSERT_TRUE(nowhere.openKey("K", true));
    EXPECT_FALSE(nowhere.writeString("INI", "x"));
}

// Every stored setting away from its initial value.
void configure(TComPort& a) {
    a.SetName("P");
    a.StoreGroups = {stBasic, stFlowControl, stBuffer, stTimeouts, stParity, stOthers};
    a.SetPort("/dev/ttyUSB1");
    a.SetBaudRate(brCustom);
    a.SetCustomBaudRate(250000);
    a.SetDataBits(dbSeven);
    a.SetStopBits(sbTwoStopBits);
    a.Parity().SetBits(prMark);
    a.Parity().SetCheck(true);
    a.Parity().SetReplace(true);
    a.Parity().SetReplaceChar('?');
    a.SetEventChar(' ');
    a.SetDiscardNull(true);
    a.Buffer().SetInputSize(4096);
    a.Buffer().SetOutputSize(512);
    a.Timeouts().SetReadInterval(10);
    a.Timeouts().SetReadTotalConstant(20);
    a.Timeouts().SetReadTotalMultiplier(30);
    a.Timeouts().SetWriteTotalConstant(40);
    a.Timeouts().SetWriteTotalMultiplier(50);
    a.FlowControl().SetControlRTS(rtsToggle);
    a.FlowControl().SetControlDTR(dtrHandshake);
    a.FlowControl().SetXonXoffIn(true);
    a.FlowControl().SetDSRSensitivity(true);
    a.FlowControl().SetXonChar('A');
}
// A port's settings as its own store writes them.
std::string storedText(TComPort& port, const std::string& path) {
    IniFile f(path);
    port.StoreIniFile(f);
    return slurp(path);
}

TEST_F(IniTest, BasicGroupByDefaultAllGroupsRoundTripThroughTheFileAndTheKeyStore) {
    TComPort a, b, c;
    a.SetName("P");
    storedText(a, dir + "/basic.ini");
    const IniFile basic(dir + "/basic.ini");
    EXPECT_EQ(basic.keys("P"), (std::vector<std::string>{"Port", "BaudRate", "StopBits", "DataBits",
                                                         "Parity", "FlowControl"}));
    EXPECT_EQ(basic.readString("P", "Parity", ""), "NINGUNA");
    EXPECT_EQ(basic.readString("P", "FlowControl", ""), "None");
    configure(a);
    const std::string text = storedText(a, dir + "/a.ini");
    EXPECT_EQ(IniFile(dir + "/a.ini").keys("P").size(), 29u);
    for (const char* line :
         {"EventChar=#32\n", "FlowControl.XoffChar=#19\n", "FlowControl.XonChar=A\n",
          "DiscardNull=Yes\n", "CustomBaudRate=250000\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    // Every setting differs from its initial value, so one not read back shows.
    for (TComPort* port : {&b, &c}) {
        port->SetName("P");
        port->StoreGroups = a.StoreGroups;
    }
    IniFile f(dir + "/a.ini");
    b.LoadIniFile(f);
    EXPECT_EQ(storedText(b, dir + "/b.ini"), text);
    KeyStore ks(dir + "/store.conf");
    ASSERT_TRUE(ks.openKey("Software\\Ports\\P", true));
    a.StoreRegistry(ks);
    c.LoadRegistry(ks);
    EXPECT_EQ(storedText(c, dir + "/c.ini"), text);
}

TEST_F(IniTest, LoadingReadsLooseTextsAndKeepsWhatIsMissing) {
    IniFile f = IniFile::fromText(
        "[P]\nParity=par\nDiscardNull=yes\nEventChar=#abc\n"
        "[E]\n");
    TComPort p;
    p.SetName("P");
    p.StoreGroups = {stBasic, stOthers};
    p.SetEventChar('x');
    p.LoadIniFile(f);
    EXPECT_EQ(p.Parity().Bits(), prEven);
    EXPECT_TRUE(p.DiscardNull());
    EXPECT_EQ(p.EventChar(), 0);  // "#" followed by no number
    // An empty section changes nothing, but a custom rate falls back to 9600.
    p.SetName("E");
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(250000);
    p.SetPort("COM4");
    p.LoadIniFile(f);
    EXPECT_EQ(p.BaudRate(), brCustom);
    EXPECT_EQ(p.CustomBaudRate(), 9600);
    EXPECT_EQ(p.Port(), "COM4");
    // The key store keeps settings that are missing from the key.
    KeyStore ks(dir + "/empty.conf");
    ASSERT_TRUE(ks.openKey("K", true));
    p.SetCustomBaudRate(1234);
    p.LoadRegistry(ks);
    EXPECT_EQ(p.CustomBaudRate(), 1234);
    EXPECT_EQ(p.Port(), "COM4");
}

}  // namespace
}  // namespace qv
