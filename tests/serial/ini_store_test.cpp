// INI files, the key store and a port's settings stored in and loaded from them.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/ini_file.h"
#include "serial/com_port.h"
#include "support/test_env.h"

namespace qv {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class IniTest : public ::testing::Test {
  protected:
    std::string dir = test::makeTempDir("qv_ini");
    void TearDown() override { std::filesystem::remove_all(dir); }
};

TEST_F(IniTest, RewritingKeepsEverythingElseTheLineEndsAndTheFileMode) {
    // A settings file that holds passwords may have been made private; saving
    // must not open it up again.
    for (const std::string eol : {"\r\n", "\n"}) {
        SCOPED_TRACE(eol.size());
        auto withEol = [&](const std::string& text) {
            std::string out;
            for (char c : text) out += c == '\n' ? eol : std::string(1, c);
            return out;
        };
        const std::string path = dir + "/a" + std::to_string(eol.size()) + ".ini";
        std::ofstream(path, std::ios::binary)
            << withEol("; settings\n[MAIN]\nPORT=3\n\n[OTHER]\nx = kept \n");
        ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
        IniFile f(path);
        EXPECT_EQ(f.readInteger("main", "port", 0), 3);
        EXPECT_EQ(f.readString("OTHER", "X", ""), "kept");
        f.writeString("Main", "Tipo_Salida", "2");
        f.writeInteger("MAIN", "PORT", 5);
        f.writeString("NEW", "k", "v,\"w\"");
        EXPECT_EQ(slurp(path), withEol("; settings\n[MAIN]\nPORT=5\nTipo_Salida=2\n\n[OTHER]\n"
                                       "x = kept \n[NEW]\nk=v,\"w\"\n"));
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0600u);
        IniFile g(path);
        EXPECT_EQ(g.readString("new", "K", ""), "v,\"w\"");
        EXPECT_EQ(g.keys("MAIN"), (std::vector<std::string>{"PORT", "Tipo_Salida"}));
    }
}

TEST_F(IniTest, TypedReadsAndBadInput) {
    IniFile f = IniFile::fromText("[S]\na=12\nb=$1F\nc=abc\nd=0\ne=-4\nnoequals\n[broken\nz=1\n");
    EXPECT_EQ(f.readInteger("S", "a", 0), 12);
    EXPECT_EQ(f.readInteger("S", "b", 0), 31);
    EXPECT_EQ(f.readInteger("S", "c", 7), 7);
    EXPECT_EQ(f.readInteger("S", "missing", 9), 9);
    EXPECT_FALSE(f.readBool("S", "d", true));
    EXPECT_TRUE(f.readBool("S", "e", false));
    EXPECT_TRUE(f.readBool("S", "c", true));
    EXPECT_EQ(f.readInteger("broken", "z", 0), 1);
    EXPECT_THROW(f.writeString("S", "k", "two\nlines"), IniFileError);
    IniFile bad(dir + "/no/such/folder/x.ini");
    EXPECT_THROW(bad.writeString("S", "k", "v"), IniFileError);
}

TEST_F(IniTest, KeyStoreIgnoresFailedWrites) {
    KeyStore ks(dir + "/maker/program.conf");
    EXPECT_FALSE(ks.openKey("\\SOFTWARE\\PELLANTRIA\\QUORVANTA", false));
    ASSERT_TRUE(ks.openKey("\\SOFTWARE\\PELLANTRIA\\QUORVANTA", true));
    EXPECT_TRUE(ks.writeString("INI", "/tmp/A.INI"));
    EXPECT_EQ(ks.readString("INI"), "/tmp/A.INI");
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

TEST_F(IniTest, BasicGroupOnlyByDefault) {
    const std::string path = dir + "/port.ini";
    TComPort p;
    p.SetName("ComPort9");
    {
        IniFile f(path);
        p.StoreIniFile(f);
        EXPECT_EQ(f.keys("ComPort9"),
                  (std::vector<std::string>{"Port", "BaudRate", "StopBits", "DataBits", "Parity",
                                            "FlowControl"}));
        EXPECT_EQ(f.readString("ComPort9", "Parity", ""), "NINGUNA");
        EXPECT_EQ(f.readString("ComPort9", "FlowControl", ""), "None");
    }
    p.SetBaudRate(brCustom);
    p.SetCustomBaudRate(250000);
    IniFile f(path);
    p.StoreIniFile(f);
    EXPECT_EQ(f.readString("ComPort9", "CustomBaudRate", ""), "250000");
}

// Every stored setting away from its initial value.
void configure(TComPort& a) {
    a.SetName("P");
    a.StoreGroups = {stBasic, stFlowControl, stBuffer, stTimeouts, stParity, stOthers};
    a.SetPort("/dev/ttyUSB1");
    a.SetBaudRate(br115200);
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
void expectConfigured(TComPort& b) {
    EXPECT_EQ(b.Port(), "/dev/ttyUSB1");
    EXPECT_EQ(b.BaudRate(), br115200);
    EXPECT_EQ(b.DataBits(), dbSeven);
    EXPECT_EQ(b.StopBits(), sbTwoStopBits);
    EXPECT_EQ(b.Parity().Bits(), prMark);
    EXPECT_TRUE(b.Parity().Check() && b.Parity().Replace());
    EXPECT_EQ(b.Parity().ReplaceChar(), '?');
    EXPECT_EQ(b.EventChar(), ' ');
    EXPECT_TRUE(b.DiscardNull());
    EXPECT_EQ(b.Buffer().InputSize(), 4096);
    EXPECT_EQ(b.Buffer().OutputSize(), 512);
    EXPECT_EQ(b.Timeouts().ReadInterval(), 10);
    EXPECT_EQ(b.Timeouts().ReadTotalConstant(), 20);
    EXPECT_EQ(b.Timeouts().ReadTotalMultiplier(), 30);
    EXPECT_EQ(b.Timeouts().WriteTotalConstant(), 40);
    EXPECT_EQ(b.Timeouts().WriteTotalMultiplier(), 50);
    EXPECT_EQ(b.FlowControl().ControlRTS(), rtsToggle);
    EXPECT_EQ(b.FlowControl().ControlDTR(), dtrHandshake);
    EXPECT_TRUE(b.FlowControl().XonXoffIn());
    EXPECT_FALSE(b.FlowControl().XonXoffOut());
    EXPECT_TRUE(b.FlowControl().DSRSensitivity());
    EXPECT_EQ(b.FlowControl().XonChar(), 'A');
    EXPECT_EQ(b.FlowControl().XoffChar(), 19);
}

TEST_F(IniTest, AllGroupsRoundTripThroughTheFileAndTheKeyStore) {
    const std::string path = dir + "/port.ini";
    TComPort a;
    configure(a);
    {
        IniFile f(path);
        a.StoreIniFile(f);
    }
    const std::string text = slurp(path);
    for (const char* line : {"EventChar=#32\n", "FlowControl.XoffChar=#19\n",
                             "FlowControl.XonChar=A\n", "DiscardNull=Yes\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    TComPort b, c;
    b.SetName("P");
    b.StoreGroups = c.StoreGroups = a.StoreGroups;
    IniFile f(path);
    b.LoadIniFile(f);
    expectConfigured(b);
    KeyStore ks(dir + "/store.conf");
    ASSERT_TRUE(ks.openKey("Software\\Ports\\P", true));
    a.StoreRegistry(ks);
    c.LoadRegistry(ks);
    expectConfigured(c);
}

TEST_F(IniTest, LoadingReadsLooseTextsAndKeepsWhatIsMissing) {
    IniFile f = IniFile::fromText(
        "[P]\nParity=par\nDiscardNull=yes\nEventChar=#abc\n"
        "[Q]\nParity=NONE\nDiscardNull=1\nEventChar=#\n"
        "[E]\n");
    TComPort p;
    p.SetName("P");
    p.StoreGroups = {stBasic, stOthers};
    p.SetEventChar('x');
    p.LoadIniFile(f);
    EXPECT_EQ(p.Parity().Bits(), prEven);
    EXPECT_TRUE(p.DiscardNull());
    EXPECT_EQ(p.EventChar(), 0);  // "#" followed by no number
    p.SetName("Q");
    p.LoadIniFile(f);
    EXPECT_EQ(p.Parity().Bits(), prNone);
    EXPECT_FALSE(p.DiscardNull());
    EXPECT_EQ(p.EventChar(), '#');
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
