#pragma once
// A main-window stand-in for whole reading runs: the inbox, with the settings
// and operations the main window gives a run, and the run's status file.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "harness.h"
#include "support/test_env.h"

namespace qv::test {

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class RunWindow : public Inbox {
  public:
    RunWindow() : dir_(makeTempDir("qv_run_")) {}
    ~RunWindow() {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Settings as the main window would fill them, for a grid of the given
    // meters (link, point, password), with fast time-outs.
    RunSettings settings(const std::vector<std::array<int, 3>>& meters) {
        RunSettings s;
        grid = {{"DIRECCION DE ENLACE", "PUNTO DE MEDIDA",
                 "CONTRASE\xD1"
                 "A",
                 "CODIGO OPC ( OPCIONAL )", "ESTADO"}};
        for (auto& m : meters)
            grid.push_back({std::to_string(m[0]), std::to_string(m[1]), std::to_string(m[2]),
                            " OPC" + std::to_string(m[0]) + " ", ""});
        s.Grid = grid;
        s.Interval = IntervalDaily;
        s.DateFrom = s.DateTo = Day(std::chrono::year(2026) / 3 / 5);
        s.AsduRetries = 1;
        s.AsduTimeout = 1;
        s.InterAsdu = 0;
        s.MainWindow = target();
        s.Executor = &executor;
        s.ExecutablePath = dir_ + "/quorvanta.exe";
        return s;
    }

    RunCallbacks callbacks() {
        RunCallbacks cb;
        cb.ShowDataText = [this](const std::string& text, int32_t colour) {
            stream.push_back("SHOW " + text + " #" + std::to_string(colour));  // the log operation
        };
        cb.RunEnded = [this] {
            ++runEnded;
            endedAt = std::chrono::steady_clock::now();
        };
        cb.ProgramExitCode = [this] { return exitCode; };
        cb.CurrentGrid = [this] { return grid; };
        return cb;
    }

    // Handles messages until the run has ended (its handler ran).
    bool waitEnd(const T_Conta& run, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
        return executor.runUntil([&] { return run.Finished(); }, limit);
    }
    // Handles messages until a line holding `part` has arrived.
    bool waitFor(const std::string& part,
                 std::chrono::milliseconds limit = std::chrono::seconds(30)) {
        return executor.runUntil(
            [&] {
                for (auto& s : stream)
                    if (s.find(part) != std::string::npos) return true;
                return false;
            },
            limit);
    }

    std::string readStatusFile() const { return readFile(dir_ + "/quorvanta_STATUSLOG.CSV"); }

    int runEnded = 0;
    std::chrono::steady_clock::time_point endedAt{};

  private:
    std::string dir_;
};

constexpr int32_t W = colour::White, Y = colour::Yellow, G = colour::Green, R = colour::Red;

// Log entries as the stream shows them.
inline std::string Log(const std::string& text, int32_t colour) {
    return "LOG " + text + " #" + std::to_string(colour);
}

// Each expected entry appears in the stream, in this order (others may stand
// between them).
inline ::testing::AssertionResult InOrder(const std::vector<std::string>& stream,
                                          const std::vector<std::string>& expected) {
    auto pos = stream.begin();
    for (const auto& e : expected) {
        pos = std::find(pos, stream.end(), e);
        if (pos == stream.end())
            return ::testing::AssertionFailure() << "missing or out of order: \"" << e << "\" in "
                                                 << ::testing::PrintToString(stream);
        ++pos;
    }
    return ::testing::AssertionSuccess();
}

// The run let the port go: another port can open it (ports lock their device).
inline bool portFree(const std::string& path) {
    TComPort p;
    p.SetPort(path);
    try {
        p.Open();
    } catch (const std::exception&) {
        return false;
    }
    p.Close();
    return true;
}

}  // namespace qv::test
