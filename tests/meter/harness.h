#pragma once
// Main-window stand-ins that keep what they receive: one wired to a reading
// thread the test drives, one that starts whole reading runs.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "meter-sim/meter_sim.h"
#include "meter/contador_ip.h"
#include "meter/reading_run.h"
#include "platform/main_executor.h"
#include "platform/tcp_client.h"
#include "platform/worker_message.h"
#include "serial/com_port.h"
#include "support/test_env.h"

namespace qv::test {

// What the main window receives, in arrival order: "LOG <text> #<colour>"
// (frame traces: their hex, after a blank on TCP), "GRID <row> <text>",
// "MODEM <colour> <level>", "EXIT <code>"; the records in `devices`.
class Inbox {
  public:
    Inbox()
        : receiver_(executor, [this](int kind, std::unique_ptr<MessagePayload> p) {
              onMessage(kind, std::move(p));
          }) {}

    // Delivers what has been posted so far.
    void pump() { executor.processPending(); }
    // Log lines equal to `line`, or with `prefix`, beginning with it; their
    // colour left aside.
    int countLog(const std::string& line, bool prefix = false) {
        pump();
        int n = 0;
        for (auto& e : stream) {
            if (!e.starts_with("LOG ")) continue;
            const std::string text = e.substr(4, e.rfind(" #") - 4);
            n += prefix ? text.starts_with(line) : text == line;
        }
        return n;
    }
    // The status the grid row shows last.
    std::string lastGrid(int row) {
        pump();
        const std::string head = "GRID " + std::to_string(row) + " ";
        std::string last;
        for (auto& e : stream)
            if (e.starts_with(head)) last = e.substr(head.size());
        return last;
    }

    LoopExecutor executor;
    std::vector<std::string> stream;
    std::vector<std::unique_ptr<Tdevice>> devices;
    GridRows grid;  // as the main window keeps it
    int exitCode = -1;

    MessageTarget target() { return receiver_.target(); }

  private:
    void onMessage(int kind, std::unique_ptr<MessagePayload> p) {
        if (auto* data = dynamic_cast<ObjectPayload<Tdevice>*>(p.get())) {
            devices.push_back(std::move(data->object));
            return;
        }
        auto* m = dynamic_cast<Tmensaje_TXT*>(p.get());
        if (!m) return;
        switch (kind) {
            case MSG_LOG:
                stream.push_back("LOG " + m->Text + " #" + std::to_string(m->Value));
                break;
            case MSG_MODEM:
                // The signal level is the text's one byte.
                stream.push_back(
                    "MODEM " + std::to_string(m->Value) + " " +
                    (m->Text.size() == 1 ? std::to_string(uint8_t(m->Text[0])) : "bad length"));
                break;
            case MSG_EXITCODE:
                stream.push_back("EXIT " + m->Text);
                exitCode = std::stoi(m->Text);
                break;
            case MSG_GRIDSTATUS: {
                int row = 0;
                std::string text;
                if (!DecodeGridStatus(m->Text, row, text)) break;
                stream.push_back("GRID " + std::to_string(row) + " " + text);
                if (row < static_cast<int>(grid.size())) grid[row][4] = text;
                break;
            }
        }
    }

    MessageReceiver receiver_;
};

// A reading thread wired to the inbox: the test thread drives the thread's
// operations directly. The thread (and the serial port it holds, whose events
// go through the executor) goes before the inbox.
class Harness : public Inbox {
  public:
    Harness() {
        thread = std::make_shared<TContador_IP>();
        thread->MainWindow = target();  // two tries per request, frames traced
        thread->AsduTimeout = 1;
        thread->InterAsdu = 0;
        thread->InitOk = true;
    }

    void useTcp(uint16_t port) {
        thread->IsSerial = false;
        thread->TcpClient = std::make_unique<TcpClient>();
        thread->TcpClient->Port = port;
        thread->TcpClient->ConnectTimeoutMs = 2000;
        thread->TcpClient->ReadTimeoutMs = 2000;
    }

    void addMeter(int link, int point, int password) {
        thread->Devices.emplace_back(
            std::to_string(link),
            std::make_unique<Tdevice>(std::to_string(link), std::to_string(point),
                                      std::to_string(password), ""));
    }

    // Opens the run's serial port on a device path, its events delivered
    // through this harness's main-thread queue.
    void useSerial(const std::string& path) {
        thread->IsSerial = true;
        thread->ComPort = std::make_unique<TComPort>(&executor);
        thread->ComPort->SetPort(path);
        TContador_IP* t = thread.get();
        thread->ComPort->OnRxChar = [t](TCustomComPort* sender, int count) {
            t->ComPortRxChar(sender, count);
        };
        thread->ComPort->SetConnected(true);
        thread->ComPort->ClearBuffer(true, true);
    }

    // Runs fn on a reading thread of its own while this (main) thread handles
    // the port's events and the posted messages, as the program's loop does.
    template <class F>
    void runOnWorker(F&& fn) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            fn();
            done = true;
        });
        if (!executor.runUntil([&] { return done.load(); }, std::chrono::minutes(2))) {
            ADD_FAILURE() << "the reading thread's work never ended";
            thread->Terminate();  // lets the test end
        }
        worker.join();
        pump();
    }

    std::shared_ptr<TContador_IP> thread;
};

// A simulator with meters of the given link addresses, each with measuring
// point link*10 and password link*100; `silent` ones never answer.
inline sim::SimConfig simMeters(const std::vector<int>& links,
                                const std::vector<int>& silent = {}) {
    sim::SimConfig c;
    c.seed = 7;
    c.replyDelayMs = 5;
    for (int link : links) {
        c.meters.push_back({link, link * 10, static_cast<uint32_t>(link * 100), {}});
        if (std::ranges::count(silent, link)) c.meters.back().faults.silence = sim::Silence::All;
    }
    return c;
}

inline sim::SimConfig simMeter(int link, sim::SimFaults faults) {
    sim::SimConfig c = simMeters({link});
    c.meters[0].faults = faults;
    return c;
}

// The simulator joined to a reading thread over TCP or a pseudo-terminal; the
// thread's meters are the simulator's, as link*10 / link*100.
struct SimLink {
    explicit SimLink(sim::SimConfig c, bool serial = false) : sim(c) {
        if (serial)
            h.useSerial(sim.openPty());
        else
            h.useTcp(sim.listenTcp());
        for (auto& m : c.meters) h.addMeter(m.linkAddress, m.linkAddress * 10, m.linkAddress * 100);
    }
    sim::MeterSim sim;
    Harness h;
};

inline sim::SimTime simTime(int y, int m, int d, int hh = 0, int mm = 0) {
    sim::SimTime t{.year = y, .month = m, .day = d, .hour = hh, .minute = mm};
    t.summer = sim::isSummerTime(t);
    return t;
}

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

constexpr int32_t W = colour::White, G = colour::Green;

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
