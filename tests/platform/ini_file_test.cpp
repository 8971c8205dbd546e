// INI text as the settings files hold it: the encoding decided line by line,
// a section under several headers read as one, a written key left in one line.

#include "platform/ini_file.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace qv {
namespace {

// Each line read in its own encoding: valid UTF-8 as UTF-8, anything else as
// Latin-1, so a stray Latin-1 byte elsewhere leaves a UTF-8 line's letters be.
TEST(IniFile, EachLineInItsOwnEncoding) {
    const std::pair<std::string, std::string> rows[] = {
        // A Latin-1 comment above a UTF-8 folder.
        {"[MAIN]\n; cami\xF1o\nRUTA=/srv/Campiña\n", "/srv/Campiña"},
        // The other way round, with CR LF.
        {"[MAIN]\r\n; Campiña\r\nRUTA=/srv/Campi\xF1\x61\r\n", "/srv/Campiña"},
        // One line mixing both is not UTF-8: Latin-1 throughout.
        {"[MAIN]\nRUTA=\xC3\xB1\xF1\n", "\xC3\x83\xC2\xB1\xC3\xB1"},
        // A UTF-8 sequence cut by the line break is no UTF-8 either.
        {"[MAIN]\nRUTA=a\xC3\n\xB1\n", "a\xC3\x83"},
    };
    for (const auto& [text, ruta] : rows) {
        const IniFile f = IniFile::fromText(text);
        EXPECT_EQ(f.readString("MAIN", "RUTA", ""), ruta) << text;
        // Held, and written back, as UTF-8 line by line: read again it is the same.
        EXPECT_EQ(IniFile::fromText(f.text()).readString("MAIN", "RUTA", ""), ruta);
    }
}

// A section given under two headers is one section; the first line of a key
// given twice is the one read, and a write leaves the key in that line alone.
TEST(IniFile, RepeatedSectionsAndKeys) {
    IniFile f = IniFile::fromText("[A]\nk=1\n[B]\nk=b\n[a]\nK=2\nj=\"q\"\n[A]\nk=3\n");
    EXPECT_EQ(f.readString("A", "j", ""), "q");
    EXPECT_EQ(f.readString("a", "k", ""), "1");
    EXPECT_EQ(f.keys("A"), (std::vector<std::string>{"k", "K", "j", "k"}));
    const auto entries = f.entries("A");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[1].key + "=" + entries[1].value + " " + entries[2].value, "K=2 q");
    f.writeString("A", "K", "new");
    EXPECT_EQ(f.text(), "[A]\nk=new\n[B]\nk=b\n[a]\nj=\"q\"\n[A]\n");
    f.deleteKey("B", "k");
    f.writeString("A", "x", "1");  // a new key after the first header's last key
    EXPECT_EQ(f.text(), "[A]\nk=new\nx=1\n[B]\n[a]\nj=\"q\"\n[A]\n");
}

}  // namespace
}  // namespace qv
