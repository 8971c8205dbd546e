#pragma once
// The command line: its tokenizer and the analysis of its keywords over the
// main window's settings.
//
// The token rules are those of the program's command-line text: blanks and
// control characters separate arguments outside double quotes; a double
// quote switches quoting and is dropped; a run of n backslashes before a
// double quote gives n/2 backslashes and, when n is odd, a literal quote. On
// Linux the arguments arrive already split, so each keeps its blanks and only
// its quotes and backslash runs follow the rules: a path that reaches the
// program with its quotes still around it is one argument without them.

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "app/core/settings.h"

namespace qv {

struct DbSettings;

// Reads the argument that starts at or after Position (blanks skipped) and
// moves Position past it; false at the end of the text.
bool NextCmdToken(std::string_view text, std::size_t& Position, std::string* Destination,
                  std::size_t* Length);

class CommandLine {
  public:
    // Arguments as the process received them; argv[0] (the program) is skipped.
    static CommandLine FromArguments(const std::vector<std::string>& argv, std::string exePath);

    // The number of arguments after the program.
    int CmdTokenCount() const { return static_cast<int>(args_.size()); }
    // Argument N; N <= 0 the executable's path, beyond the last an empty text.
    std::string CmdToken(int N) const;
    // The whole command line as given.
    const std::string& Text() const { return text_; }

  private:
    std::string exe_;
    std::vector<std::string> args_;
    std::string text_;
};

// What the analysis calls in the window and the database output.
struct CommandLineCalls {
    LogFn Log;
    // Loads a configuration file into s; the window also records it and sets
    // its caption. Gives why it could not be loaded as written (the words of
    // LoadConfigFile's problem), empty when it was. Unset: the file's keys are
    // read into s.
    std::function<std::string(const std::string& path, WindowSettings& s)> Load_ini_file;
    // The database window reads the file's database keys into its boxes.
    std::function<void(const std::string& path)> SqlInit;
    // The database window's settings before the analysis; unset: its initial
    // texts (DbSettings{}).
    std::function<DbSettings()> SqlSettings;
    // Uploads an existing readings file to the database.
    std::function<void(const std::string& file, bool unique)> Subir_a_base;
    // The log's switches (LOGSCREEN, LOGDISK) as an accepted command line
    // leaves them, given before its first line is logged: a file given with
    // -INI that turns the log file off keeps the analysis' lines out of it.
    std::function<void(bool screen, bool disk)> LogSwitches;
};

// Applies the keywords to s in command-line order and logs what they do.
// With fewer than two arguments nothing happens. Gives whether the reading
// run starts by itself. A command line that cannot be done exactly (an
// unknown keyword, a missing or bad value, a date that is not a date, a
// meter item that cannot be read, does not fit its fields or repeats a link
// address, a configuration file that cannot be loaded as written, or, for a
// run that starts by itself, settings it cannot start with, the database
// window's among them as the keywords leave them: see RunSettingsProblem)
// keeps the run from starting and sets *refused (when given): a run of
// other meters, days or settings than those asked for must not begin. The
// whole command line is checked before anything acts: a refused one uploads
// nothing, loads nothing into the windows and leaves s as it was but for
// AutoMinimize, AutoClose and the meters named before the refusal (the
// status file shows them not read); the log then has the first line and the
// red line that names what was refused. An accepted one then takes effect
// keyword by keyword, so that a later keyword overrides an earlier one and
// DBUPLOAD uses the settings in force where it stands.
bool Analiza_parametros(const CommandLine& cmd, WindowSettings& s, const CommandLineCalls& calls,
                        bool* refused = nullptr);

// True when the analysed command line uploads a file (DBUPLOAD) and names no
// meters (no METERS): it reads nothing and ends with the upload's result.
bool UploadOnly(const CommandLine& cmd);
// True when the command line starts no reading and uploads nothing: NOSTART
// without DBUPLOAD. Without a display such a start would wait unseen until
// killed.
bool AsksForNothing(const CommandLine& cmd);

}  // namespace qv
