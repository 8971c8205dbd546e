#include "program_harness.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

namespace qv::test {

using namespace std::chrono;
namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ProgramCopy(const std::string& dir) {
    const std::string exe = dir + "/quorvanta";
    // A link where the file system allows one: a sanitizer build's executable
    // is large, and a suite makes hundreds of these.
    std::error_code ec;
    if (!fs::exists(exe) && (fs::create_hard_link(QV_QUORVANTA_EXE, exe, ec), ec))
        fs::copy_file(QV_QUORVANTA_EXE, exe, fs::copy_options::skip_existing);
    return exe;
}

Program::Program(const std::string& exe, const std::string& dir, std::vector<std::string> args,
                 std::vector<std::string> env, const std::string& output, bool stopPending) {
    // Qt's font caches; the linuxfb platform's input and screen objects.
    std::ofstream(dir + "/lsan.supp")
        << "leak:libfontconfig.so\nleak:libqlinuxfb.so\nleak:libinput.so\nleak:libxkbcommon.so\n";
    env.push_back("LSAN_OPTIONS=print_suppressions=0:suppressions=" + dir + "/lsan.supp");
    QProcessEnvironment vars = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) vars.remove(name);
    for (const std::string& e : env)
        vars.insert(QString::fromStdString(e.substr(0, e.find('='))),
                    QString::fromStdString(e.substr(e.find('=') + 1)));
    process_.setProcessEnvironment(vars);
    process_.setWorkingDirectory(QString::fromStdString(dir));
    process_.setProcessChannelMode(output.empty() ? QProcess::ForwardedChannels
                                                  : QProcess::MergedChannels);
    if (!output.empty()) process_.setStandardOutputFile(QString::fromStdString(output));
    QStringList arguments;
    for (const std::string& a : args) arguments << QString::fromStdString(a);
    if (stopPending)
        process_.setChildProcessModifier([] {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGTERM);
            sigprocmask(SIG_BLOCK, &set, nullptr);
            raise(SIGTERM);
        });
    process_.start(QString::fromStdString(exe), arguments);
    process_.waitForStarted();
}

Program::~Program() {
    process_.kill();
    process_.waitForFinished();
}

std::optional<int> Program::Wait(milliseconds limit) {
    if (process_.state() != QProcess::NotRunning &&
        !process_.waitForFinished(static_cast<int>(limit.count())))
        return std::nullopt;
    if (process_.error() == QProcess::FailedToStart ||
        process_.exitStatus() != QProcess::NormalExit)
        return -1;
    return process_.exitCode();
}

bool Program::WaitLocked(milliseconds limit) {
    const std::string pidField = " " + std::to_string(pid()) + " ";
    for (const auto end = steady_clock::now() + limit; steady_clock::now() < end && !Wait({});) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("FLOCK") != std::string::npos && line.find(pidField) != std::string::npos)
                return true;
        std::this_thread::sleep_for(milliseconds(20));
    }
    return false;
}

}  // namespace qv::test
