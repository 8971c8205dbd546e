#include "program_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace qv::test {

using namespace std::chrono;
namespace fs = std::filesystem;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string ProgramCopy(const std::string& dir) {
    const std::string exe = dir + "/quorvanta";
    fs::copy_file(QV_QUORVANTA_EXE, exe, fs::copy_options::skip_existing);
    return exe;
}

Program::Program(const std::string& exe, const std::string& dir, std::vector<std::string> args,
                 std::vector<std::string> env, const std::string& output) {
    std::ofstream(dir + "/lsan.supp") << "leak:libfontconfig.so\n";  // Qt's font caches
    env.push_back("LSAN_OPTIONS=suppressions=" + dir + "/lsan.supp");
    const std::size_t own = env.size();
    for (char** e = environ; *e; ++e) {
        const std::string_view v(*e);
        const auto name = v.substr(0, v.find('=') + 1);
        bool drop = name == "DISPLAY=" || name == "WAYLAND_DISPLAY=" || name == "QT_QPA_PLATFORM=";
        for (std::size_t i = 0; i < own; ++i) drop = drop || env[i].starts_with(name);
        if (!drop) env.emplace_back(v);
    }
    args.insert(args.begin(), exe);
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    for (auto& e : env) envp.push_back(e.data());
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    if (!output.empty()) {
        posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    }
    if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv.data(), envp.data()) != 0)
        status_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Program::~Program() {
    if (!status_) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::optional<int> Program::Wait(milliseconds limit) {
    for (const auto end = steady_clock::now() + limit; !status_;) {
        int status = 0;
        if (waitpid(pid_, &status, WNOHANG) == pid_)
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        else if (steady_clock::now() >= end)
            break;
        else
            std::this_thread::sleep_for(milliseconds(20));
    }
    return status_;
}

bool Program::WaitLocked(milliseconds limit) {
    const std::string pidField = " " + std::to_string(pid_) + " ";
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
