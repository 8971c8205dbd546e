// The reading thread's body: link start, modem call, the meter loop, and the
// release of everything the run set up.
#include <mutex>
#include <thread>

#include "meter/contador_ip.h"
#include "platform/tcp_client.h"
#include "serial/com_port.h"

namespace qv {

namespace {

// The worker thread of one run. Joined by the end handler in the main thread,
// or here when the handler never gets to run; a holder released on the worker
// itself lets it go.
struct WorkerHolder {
    std::mutex mutex;
    std::thread thread;
    void join() {
        std::lock_guard lock(mutex);
        if (!thread.joinable()) return;
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
    ~WorkerHolder() { join(); }
};

}  // namespace

void TContador_IP::Start() {
    auto self = shared_from_this();
    auto holder = std::make_shared<WorkerHolder>();
    // Held until the thread object is stored: the end handler joins under it.
    std::lock_guard lock(holder->mutex);
    holder->thread = std::thread([self, holder]() mutable {
        try {
            self->Execute();
        } catch (...) {
        }
        std::function<void()> handler = std::move(self->OnTerminate);
        MainExecutor* executor = self->Executor;
        if (!executor) {
            if (handler) handler();
            return;
        }
        // The handler still sees the thread object; it is freed after it.
        executor->post([holder, self = std::move(self), handler = std::move(handler)] {
            holder->join();
            if (handler) handler();
        });
    });
}

void TContador_IP::Execute() {
    try {
        const int count = static_cast<int>(Devices.size());
        if (!InitOk) {
            for (int i = 0; i < count; ++i)
                PostGridStatus(i + 1, "(2) ERROR INICIANDO - " + StatusText);
        } else if (!Terminated) {
            for (int i = 0; i < count; ++i) PostGridStatus(i + 1, "(1) HARDWARE INICIADO...");
            ExitCode = DialNumber.empty() ? ExitNoMeterRead : ExitNotConnected;
            if (!IsSerial && TcpClient) {
                const std::string where = TcpClient->Host + ":" + std::to_string(TcpClient->Port);
                PostLog(" - INICIANDO CONEXION IP...", colour::Yellow);
                for (int attempt = 0; attempt < 2 && !Terminated; ++attempt) {
                    if (ConnectTcp()) {
                        PostLog(" - Puerto TCP/IP abierto en : " + where, colour::Green);
                        break;
                    }
                    TcpClient->disconnect();
                    PostLog(" - TRY TO RECONNECT TO: " + where + " - " + TcpClient->lastReason(),
                            colour::Red);
                    WaitMs(10000);
                }
                WaitMs(PauseMs(1000));
            }
            RunReading();
        }
    } catch (...) {
        // The run ends here; what follows still reports and releases.
    }

    PostExitCode();
    PostLog(" - STOPING COMMUNICATIONS...", colour::Red);
    if (ModemOnLine) {
        try {
            HangUpModem();
        } catch (...) {
        }
    }
    // Records never posted die with the list.
    Devices.clear();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (!IsSerial && TcpClient && TcpClient->connected()) {
        try {
            const std::string host = TcpClient->Host;
            PostLog(" - TRY TO CLOSE SOCKET IP TO: " + host, colour::White);
            TcpClient->disconnect();
            TcpClient.reset();
            PostLog(" - OK !", colour::White);
        } catch (...) {
        }
    }
    if (IsSerial && ComPort && ComPort->Connected()) {
        try {
            PostLog(" - TRY TO STOP SERIAL COMM", colour::White);
            ComPort->Close();
            ComPort.reset();
            PostLog(" - OK !", colour::White);
        } catch (...) {
        }
    }
}

void TContador_IP::RunReading() {
    if (Devices.empty()) return;
    if (!DialNumber.empty() && !InitModem()) return;
    PostExitCode();
    switch (Protocol) {
        case 0:
            ReadIecMeters();
            break;
        case 1:
            try {
                ReadCircuitorMeter();
            } catch (...) {
            }
            break;
        case 2:
            try {
                ReadNrg96();
            } catch (...) {
            }
            break;
        default:
            break;
    }
}

void TContador_IP::ReadIecMeters() {
    const Day from = DateFrom;
    for (int i = 0; i < static_cast<int>(Devices.size()); ++i) {
        if (OpenSession(i)) {
            DateFrom = from;
            // A session that opened but whose reading failed read nothing
            // that the run may call complete.
            ExitCode = ReadMeter(i) ? ExitOk : ExitNoMeterRead;
            CloseSession(i);
        } else {
            ExitCode = ExitNoMeterRead;
        }
    }
}

}  // namespace qv
