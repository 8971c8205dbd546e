#pragma once
// A reading thread for the Modbus reader tests: the test drives the readers
// directly and reads back the log lines the main window would have received.

#include <memory>
#include <string>
#include <vector>

#include "meter/contador_ip.h"
#include "platform/main_executor.h"
#include "platform/tcp_client.h"
#include "platform/worker_message.h"

namespace qv::test {

class ModbusHarness {
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

    void useTcp(uint16_t port) {
        thread->IsSerial = false;
        thread->TcpClient = std::make_unique<TcpClient>();
        thread->TcpClient->Host = "127.0.0.1";
        thread->TcpClient->Port = port;
        thread->TcpClient->ConnectTimeoutMs = 2000;
        thread->TcpClient->ReadTimeoutMs = 2000;
    }

    void addMeter(int link) {
        const std::string l = std::to_string(link);
        thread->Devices.emplace_back(l, std::make_unique<Tdevice>(l, "1", "1", ""));
    }

    MainExecutor& executor() { return executor_; }

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
    LoopExecutor executor_;
    MessageReceiver receiver_;
    std::vector<std::string> lines_;
};

}  // namespace qv::test
