#pragma once
// The program's version and the maker's web page. Linux executables carry no
// version block, so the version is the one the build compiled in.

#include <string>

namespace qv {

// The file version shown in the window caption, the tray hint and the about
// page ("0.1.0").
std::string ReadFileVersion();

// Asks the desktop's opener (xdg-open, found through PATH) to show Url in the
// user's browser, without waiting for it. False when no opener is installed or
// it cannot be started.
bool OpenInBrowser(const std::string& url);

// The page the about picture opens.
inline constexpr const char* MakerHomePage = "https://quorvanta.example/";

}  // namespace qv
