// The reading thread's body: link start, modem call, the meter loop, and the
// release of everything the run set up.
#include <mutex>
#include <thread>

#include "meter/contador_ip.h"
#include "platform/tcp_client.h"
#include "platform/text.h"
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
            ExitCode = DialNumber.empty() || count == 0 ? ExitNoMeterRead : ExitNotConnected;
            // An empty list is said before any connection or call is made.
            if (!IsSerial && TcpClient && count > 0) {
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
    if (Devices.empty()) {
        PostLog(" - ERROR - NO HAY CONTADORES EN LA LISTA, NO SE HA LEIDO NADA", colour::Red);
        return;
    }
    if (!DialNumber.empty() && !InitModem()) {
        if (Terminated) ReportStop();  // a stop while the modem dialled
        return;
    }
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

void TContador_IP::ReportStop() {
    if (!stopLogged_) PostLog(kStopLine, colour::Red);
}

namespace {

const char* const kStopReason = "SE HA PEDIDO DETENER LA LECTURA";
const char* const kDropReason = "SE HA CORTADO LA LINEA";

}  // namespace

std::string ReasonText(std::string_view line) {
    const auto start = line.find_first_not_of(" -");
    if (start == std::string_view::npos) return std::string();
    const auto end = line.find_last_not_of(' ');
    return std::string(line.substr(start, end + 1 - start));
}

bool SaysAReason(std::string_view line) {
    const std::string text = UpperAscii(ReasonText(line));
    if (text.empty()) return false;
    const bool hex = text.find_first_not_of("0123456789ABCDEF ") == std::string::npos;
    return !hex && !text.starts_with("PARSING  OBJECT") && text != "EXCEPT!" &&
           !text.starts_with("TRAMA DESCARTADA") && !text.starts_with("STOPING COMMUNICATIONS");
}

// The exit code covers every meter of the list, and the run's last red line
// says how many were read and why the first that was not failed.
void TContador_IP::ReadIecMeters() {
    const Day from = DateFrom;
    const int count = static_cast<int>(Devices.size());
    int read = 0;
    int firstUnread = -1;
    std::string firstReason;
    for (int i = 0; i < count; ++i) {
        LastReason.clear();
        bool ok = false;
        if (Terminated || CarrierLost) {
            // Not reached: the run was stopped, or the call dropped.
            PostGridStatus(i + 1, "(3) ERROR DE COMUNICACION");
        } else if (!Devices[std::size_t(i)].Fault.empty()) {
            // No frame at all: cut to fit, it would go to another meter.
            PostLog(" - " + Devices[std::size_t(i)].Fault, colour::Red);
            PostGridStatus(i + 1, "(2) ERROR INICIANDO - (CONTADOR NO VALIDO)");
        } else if (OpenSession(i)) {
            DateFrom = from;
            ok = ReadMeter(i);
            if (!CarrierLost) CloseSession(i);
        }
        if (Terminated) ReportStop();
        if (ok) {
            ++read;
        } else if (firstUnread < 0) {
            firstUnread = i;
            firstReason = Terminated           ? kStopReason
                          : CarrierLost        ? kDropReason
                          : LastReason.empty() ? "SIN LECTURA COMPLETA"
                                               : ReasonText(LastReason);
        }
    }
    ExitCode = read == count ? ExitOk : ExitNoMeterRead;
    if (firstUnread < 0) return;
    // What cut the run short, when it is not the first meter's own reason.
    const char* cut = Terminated ? kStopReason : CarrierLost ? kDropReason : nullptr;
    PostLog(" - CONTADORES LEIDOS: " + std::to_string(read) + " DE " + std::to_string(count) +
                " - EL PRIMERO SIN LEER ES EL " + Devices[std::size_t(firstUnread)].Text + ": " +
                firstReason + (cut && firstReason != cut ? std::string(" - ") + cut : ""),
            colour::Red);
}

}  // namespace qv
