// INI text as the settings files hold it: the encoding decided line by line,
// a section under several headers read as one, a written key left in one line,
// lines ended by LF, CR LF or a lone CR, headers that hold more than a header.

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

// A lone CR ends a line as LF and CR LF do, also mixed in one file; a rewrite
// keeps each line's own ending, and a line it adds ends as the first line does.
TEST(IniFile, EveryLineEndingEndsALine) {
    const std::string texts[] = {
        "[MAIN]\rCONEXION=2\rHOST=h\r[X]\rHOST=x\r",
        "[MAIN]\r\nCONEXION=2\rHOST=h\n[X]\r\nHOST=x",
        "[MAIN]\nCONEXION=2\r\nHOST=h\r[X]\nHOST=x\n",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        IniFile f = IniFile::fromText(text);
        EXPECT_EQ(f.keys("MAIN"), (std::vector<std::string>{"CONEXION", "HOST"}));
        EXPECT_EQ(f.readInteger("MAIN", "CONEXION", 0), 2);
        EXPECT_EQ(f.readString("MAIN", "HOST", ""), "h");
        EXPECT_EQ(f.readString("X", "HOST", ""), "x");
        f.writeString("MAIN", "HOST", "new");
        f.writeString("MAIN", "RUTA", "/r");
        const IniFile back = IniFile::fromText(f.text());
        EXPECT_EQ(back.keys("MAIN"), (std::vector<std::string>{"CONEXION", "HOST", "RUTA"}));
        EXPECT_EQ(back.readString("MAIN", "HOST", "") + back.readString("X", "HOST", ""), "newx");
    }
    IniFile cr = IniFile::fromText("[MAIN]\rHOST=h\r[X]\rA=1");
    cr.writeString("MAIN", "RUTA", "/r");
    EXPECT_EQ(cr.text(), "[MAIN]\rHOST=h\rRUTA=/r\r[X]\rA=1\r");
    IniFile mixed = IniFile::fromText("[MAIN]\r\nHOST=h\n; c\r");
    mixed.writeString("MAIN", "HOST", "new");
    mixed.writeString("MAIN", "RUTA", "/r");
    EXPECT_EQ(mixed.text(), "[MAIN]\r\nHOST=new\nRUTA=/r\r\n; c\r");
    // Lines are counted as editors count them: CR CR LF is two line ends.
    EXPECT_EQ(IniFile::fromText("[MAIN]\r\r\nRUTA /x\rA\n").strayLines("MAIN"),
              (std::vector<std::size_t>{3, 4}));
}

// Text after a header's "]" other than blanks or a comment, or no "]", makes
// the header a line that is more than one: named with its section, which it
// still begins.
TEST(IniFile, HeaderWithMoreOnItsLine) {
    const IniFile f = IniFile::fromText(
        "[OTHER]x=1\n[MAIN]RUTA=/srv\nHOST=h\n[MAIN] ; a comment\n[B]\t# c\n[C]  \n[MAIN\n"
        "[D]]\n");
    EXPECT_EQ(f.readString("MAIN", "RUTA", "none") + f.readString("MAIN", "HOST", ""), "noneh");
    EXPECT_EQ(f.strayLines("MAIN"), (std::vector<std::size_t>{2, 7}));
    EXPECT_EQ(f.strayLines("OTHER"), (std::vector<std::size_t>{1}));
    std::vector<std::string> named;
    for (const IniFile::Numbered& h : f.strayHeaders())
        named.push_back(std::to_string(h.line) + h.section);
    EXPECT_EQ(named, (std::vector<std::string>{"1OTHER", "2MAIN", "7MAIN", "8D"}));
    EXPECT_TRUE(IniFile::fromText("[MAIN] \n[B];c\nA=1\n").strayHeaders().empty());
}

}  // namespace
}  // namespace qv
