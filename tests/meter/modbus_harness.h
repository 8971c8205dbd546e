#pragma once
// A reading thread for the Modbus reader tests: the test drives the readers
// directly and reads back the log lines the main window would have received.

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "meter/contador_ip.h"
#include "platform/main_executor.h"
#include "platform/tcp_client.h"
#include "platform/worker_message.h"
#include "serial/com_port.h"

namespace qv::test {

class ModbusHarness {
    // First in, last out: the port and the receiver post to this queue.
    LoopExecutor executor_;

  public:
    ModbusHarness()
        : receiver_(executor_, [this](int kind, std::unique_ptr<MessagePayload> p) {
              if (auto* m = dynamic_cast<Tmensaje_TXT*>(p.get()); m && kind == MSG_LOG)
                  lines_.push_back(m->Text);
          }) {
        thread = std::make_shared<TContador_IP>();
        thread->MainWindow = receiver_.target();
        thread->AsduRetries = 2;
        thread->AsduTimeout = 1;
        thread->InterAsdu = 0;
        thread->TraceFrames = true;
        thread->InitOk = true;
    }
    ~ModbusHarness() {
        if (thread->ComPort) thread->ComPort->Close();
    }

    void useTcp(uint16_t port) {
        thread->IsSerial = false;
        thread->TcpClient = std::make_unique<TcpClient>();
        thread->TcpClient->Host = "127.0.0.1";
        thread->TcpClient->Port = port;
        thread->TcpClient->ConnectTimeoutMs = 2000;
        thread->TcpClient->ReadTimeoutMs = 2000;
    }

    // The run's serial port on a device path, received characters going to the
    // thread's receive handler through the main-thread queue.
    void useSerial(const std::string& path) {
        thread->IsSerial = true;
        thread->ComPort = std::make_unique<TComPort>(&executor_);
        thread->ComPort->SetPort(path);
        TContador_IP* t = thread.get();
        thread->ComPort->OnRxChar = [t](TCustomComPort* sender, int count) {
            t->ComPortRxChar(sender, count);
        };
        thread->ComPort->Open();
    }

    void addMeter(int link) {
        const std::string l = std::to_string(link);
        thread->Devices.emplace_back(l, std::make_unique<Tdevice>(l, "1", "1", ""));
    }

    // Runs fn on a reading thread while this (main) thread handles the port's
    // events, as the program's message loop does.
    template <class F>
    void runOnWorker(F&& fn) {
        std::atomic<bool> done{false};
        std::thread worker([&] {
            fn();
            done = true;
        });
        executor_.runUntil([&] { return done.load(); }, std::chrono::minutes(2));
        worker.join();
    }

    // Log lines delivered so far (delivers what is pending; main thread only).
    const std::vector<std::string>& lines() {
        executor_.processPending();
        return lines_;
    }
    int count(const std::string& line) {
        int n = 0;
        for (auto& l : lines()) n += l == line;
        return n;
    }
    int countPrefix(const std::string& prefix) {
        int n = 0;
        for (auto& l : lines()) n += l.rfind(prefix, 0) == 0;
        return n;
    }

    std::shared_ptr<TContador_IP> thread;

  private:
    MessageReceiver receiver_;
    std::vector<std::string> lines_;
};

}  // namespace qv::test
