#pragma once
// INI files as the program's settings live in them: "[section]" headers and
// "key=value" lines, section and key names compared without regard to ASCII
// letter case. A line ends at LF, CR LF or a lone CR, as editors end it.
// Rewriting a file keeps every other section, key, comment and line ending as
// it was; a line it adds ends as the file's first line does (LF in a new
// file). A value between a pair of double (or single) quotes is read without
// them, as the Windows INI service reads it; a value that would lose its own
// quotes or its edge blanks so is written between double quotes. A file's text
// is decided line by line: a line that is valid UTF-8 is UTF-8, any other is
// Latin-1 (files of older versions, or one byte of an older editor in a
// comment of a UTF-8 file); it is held, read and written as UTF-8.
// A section given under several headers is one section, read in file order;
// a key given twice is read from its first line, and a write leaves the key
// in one line only.
//
// KeyStore is the program's small key store (the place a Windows program
// would use the registry for): one INI file, /etc/xdg/<maker>/<program>.conf
// by default, whose sections are key paths. A failure to write it is ignored,
// as a registry write without administrator rights would be.

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

class IniFileError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

class IniFile {
  public:
    // Reads `path` when it exists; a missing file is an empty one. With
    // autoSave (the default) every write goes to disk at once, raising
    // IniFileError when the file cannot be written.
    explicit IniFile(std::string path, bool autoSave = true);
    // An in-memory file with the given text (nothing is written anywhere until
    // a path is given with setFileName).
    static IniFile fromText(std::string_view text);

    const std::string& fileName() const { return path_; }
    void setFileName(std::string path) { path_ = std::move(path); }

    // The value without its surrounding quotes.
    std::string readString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    // Decimal (optionally signed) or "$"/"0x" hexadecimal; anything else gives def.
    long readInteger(std::string_view section, std::string_view key, long def) const;
    // "0" is false, any other integer true; a text that is no integer gives def.
    bool readBool(std::string_view section, std::string_view key, bool def) const;

    // Values holding a line break cannot be stored and raise IniFileError; a
    // value that is not valid UTF-8 is taken as Latin-1.
    void writeString(std::string_view section, std::string_view key, std::string_view value);
    void writeInteger(std::string_view section, std::string_view key, long value);
    void writeBool(std::string_view section, std::string_view key, bool value);  // "1"/"0"

    bool sectionExists(std::string_view section) const;
    bool valueExists(std::string_view section, std::string_view key) const;
    void deleteKey(std::string_view section, std::string_view key);
    void eraseSection(std::string_view section);
    std::vector<std::string> sections() const;
    std::vector<std::string> keys(std::string_view section) const;
    // Every key line of a section, under each of its headers, in file order,
    // repeats included: the key as written and its value without quotes.
    struct Entry {
        std::string key;
        std::string value;
    };
    std::vector<Entry> entries(std::string_view section) const;
    // The numbers (from 1) of the lines of a section that are no key, comment
    // or blank: a key whose "=" was left out, or a "=" without its key, and a
    // header of the section that holds more (below).
    std::vector<std::size_t> strayLines(std::string_view section) const;
    // The headers of every section that are more than a header: text after
    // the "]" other than blanks or a comment ("[MAIN]RUTA=/srv", a key on the
    // header's line), or no "]" at all. Each is still read as the header of
    // the section it names.
    struct Numbered {
        std::size_t line;  // from 1
        std::string section;
    };
    std::vector<Numbered> strayHeaders() const;
    // The number (from 1) of the first line before any header that is no
    // comment or blank (a key there belongs to no section), or 0.
    std::size_t lineBeforeAnyHeader() const;

    // Writes the file (through a temporary file and a rename); IniFileError on failure.
    void updateFile();
    std::string text() const;

  private:
    struct Line {
        std::string raw;      // the line as read (without its line ending)
        std::string section;  // for a header line
        std::string key;      // for a key line
        std::string value;
        std::string eol;  // the line's ending as read: LF, CR LF, CR, or none
        // Other: blank or a comment; Stray: text that is no "key=value".
        enum Kind { Other, Header, Key, Stray } kind = Other;
        bool strayHeader = false;  // a header with more on its line
    };
    void parse(std::string_view text);
    // Sets the kind and the names of a line from its text; `current` is the
    // section it stands in, and a header changes it.
    static void parseLine(Line& line, std::string& current);
    // Index of the first header of `section`, or -1.
    long findSection(std::string_view section) const;
    // Indexes of the lines of `section` (under every header of it, the
    // headers included) that `wanted` takes.
    template <class Pred>
    std::vector<std::size_t> sectionLines(std::string_view section, Pred wanted) const;
    // Indexes of the key lines of `section` (under every header of it); of
    // `key` alone when one is given.
    std::vector<std::size_t> keyLines(std::string_view section, const std::string_view* key) const;
    // The first line of `key`, or -1.
    long findKey(std::string_view section, std::string_view key) const;
    void changed();

    std::string path_;
    bool autoSave_ = true;
    std::string eol_ = "\n";
    std::vector<Line> lines_;
};

class KeyStore {
  public:
    // The default store file of a program: <first of $XDG_CONFIG_DIRS, else
    // /etc/xdg>/<maker>/<program>.conf.
    static std::string defaultPath(const std::string& maker, const std::string& program);
    explicit KeyStore(std::string path);

    // Opens a key (a path such as "\SOFTWARE\PELLANTRIA\QUORVANTA"; the leading
    // "\" is optional). Without canCreate a key that does not exist is not opened.
    bool openKey(const std::string& key, bool canCreate);
    void closeKey();
    const std::string& currentKey() const { return key_; }

    // Writes give false when the store could not be written; nothing is raised.
    bool writeString(const std::string& name, const std::string& value);
    bool writeInteger(const std::string& name, long value);
    std::string readString(const std::string& name) const;  // empty when missing
    long readInteger(const std::string& name, long def = 0) const;
    bool valueExists(const std::string& name) const;

  private:
    std::string path_;
    std::string key_;
    bool open_ = false;
};

}  // namespace qv
