// The reading run: set-up from the main window's settings, the thread's end
// handler with the run status file, and the stop that waits for the thread.
#include "meter/reading_run.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "platform/files.h"
#include "platform/tcp_client.h"
#include "platform/text.h"
#include "serial/com_names.h"
#include "serial/com_port.h"

namespace qv {

struct RunState {
    std::atomic<bool> Finished{false};
    std::atomic<bool> Orphaned{false};  // the run object is gone
    RunCallbacks Callbacks;
    GridRows StartGrid;
    std::string StatusPath;
    std::weak_ptr<TContador_IP> Thread;
};

namespace {

using namespace std::chrono;

// The system's reason for the exception being handled, as the port raised it.
std::string openFailure() {
    try {
        throw;
    } catch (const EComPortExt& e) {
        return std::strerror(e.WinCode());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

std::string messageOf(const std::exception& e) {
    return e.what();
}

template <class E>
E enumIndex(int index, int count, const char* what) {
    if (index < 0 || index >= count) throw std::invalid_argument(what);
    return static_cast<E>(index);
}

}  // namespace

uint16_t TcpPortOf(const std::string& text) {
    const std::string t(TrimBlanks(text));
    long value = 0;
    const char* first = t.data();
    const char* last = t.data() + t.size();
    if (first != last && *first == '+') ++first;
    auto [end, ec] = std::from_chars(first, last, value);
    if (t.empty() || ec == std::errc::invalid_argument || end != last) return 40000;
    if (ec == std::errc::result_out_of_range || value < 1 || value > 65535)
        throw std::invalid_argument("PUERTO IP FUERA DE RANGO");
    return static_cast<uint16_t>(value);
}

std::string StatusFilePath(const std::string& executablePath) {
    std::string path = executablePath;
    std::error_code ec;
    if (std::filesystem::is_symlink(path, ec)) {
        auto target = std::filesystem::read_symlink(path, ec);
        if (!ec) {
            if (target.is_relative()) target = std::filesystem::path(path).parent_path() / target;
            path = target.string();
        }
    }
    const auto slash = path.find_last_of('/');
    const auto dot = path.find_last_of('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) path.resize(dot);
    return path + "_STATUSLOG.CSV";
}

bool WriteStatusFile(const std::string& path, const GridRows& grid) {
    std::string text;
    for (std::size_t r = 0; r < grid.size(); ++r) {
        const GridRow& row = grid[r];
        if (r > 0 &&
            std::ranges::all_of(row, [](const std::string& t) { return TrimBlanks(t).empty(); }))
            continue;
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (c) text += ';';
            // One field on one line, whatever a refused run's rows hold.
            std::string field = Utf8OrLatin1(TrimBlanks(row[c]));
            std::ranges::replace_if(
                field, [](char ch) { return static_cast<unsigned char>(ch) < ' ' || ch == 0x7F; },
                ' ');
            text += field;
        }
        text += "\r\n";
    }
    // The rows hold the meters' access passwords.
    const int fd = OpenWithoutWorldAccess(path, O_WRONLY | O_TRUNC);
    if (fd < 0) {
        ReportUnwritableFile(path, errno);
        return false;
    }
    // A full disk may say so only when the file is closed.
    const bool written = WriteAll(fd, text);
    const int error = errno;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed) ReportUnwritableFile(path, written ? errno : error);
    return written && closed;
}

namespace {

// 1. The thread's own settings.
void setUpThread(TContador_IP& t, const RunSettings& settings) {
    t.InitOk = false;
    t.StatusText = "(INIT OBJECTS)";
    t.ExitCode = ExitInitFailed;
    t.MainWindow = settings.MainWindow;
    t.Executor = settings.Executor;
    t.PostLog(" - INIT OBJECTS...", colour::Yellow);
    t.IsSerial = settings.LinkType != LinkTcp;
    t.TraceFrames = true;
    t.Devices.clear();
    t.Interval = settings.Interval;
    t.AsduTimeout = settings.AsduTimeout;
    t.AsduRetries = settings.AsduRetries;
    t.InterAsdu = settings.InterAsdu;
    t.ModemReset = settings.ModemReset;
    t.DateFrom = settings.DateFrom + days(1);
    t.DateTo = settings.DateTo + days(1);
    if (t.DateFrom > t.DateTo) t.DateFrom = t.DateTo;
    t.ModemOnLine = false;
    t.InitOk = true;
}

// 2. One record per meter row.
void addMeters(TContador_IP& t, const GridRows& grid) {
    // Trailing rows without a link address (the empty list's one blank row)
    // are no meters: polling address 0 would only hold the run up with
    // retries and report a phantom meter.
    std::size_t rows = grid.size();
    while (rows > 1 && TrimBlanks(grid[rows - 1][0]).empty()) --rows;
    for (std::size_t r = 1; r < rows; ++r) {
        const GridRow& row = grid[r];
        t.Devices.emplace_back(row[0], std::make_unique<Tdevice>(row[0], row[1], row[2],
                                                                 std::string(TrimBlanks(row[3]))));
        // Cut to their fields, its numbers would ask another meter; its
        // password is not shown.
        if (const std::string why = FrameFieldFault(row[0], row[1], row[2]); !why.empty())
            t.Devices.back().Fault = "CONTADOR " + std::string(TrimBlanks(row[0])) + "-" +
                                     std::string(TrimBlanks(row[1])) + "-****: " + why +
                                     ", NO SE LEE";
        t.PostGridStatus(static_cast<int>(r), "INICIANDO HARDWARE...");
    }
}

// 3. The modem's number and first line.
void setUpModem(TContador_IP& t, const RunSettings& settings) {
    if (settings.LinkType != LinkGsmModem && settings.LinkType != LinkAnalogModem) {
        t.DialNumber.clear();
        return;
    }
    t.AnalogModem = settings.LinkType == LinkAnalogModem;
    t.ModemInitString = t.AnalogModem ? settings.ModemInitString : "+++";
    // The GSM modem gets its own first line; a string meant for it would
    // otherwise seem to have been sent. Not shown: it may hold a SIM PIN.
    if (!t.AnalogModem && !TrimBlanks(settings.ModemInitString).empty())
        t.PostLog(
            " - LA CADENA DE INICIALIZACION DE MODEM NO SE ENVIA AL MODEM GSM,"
            " SOLO AL ANALOGICO",
            colour::Yellow);
    t.DialNumber = TrimBlanks(settings.DialNumber);
    if (t.DialNumber.empty()) {
        t.PostLog(" - EL NUMERO DE DISCADO DEL MODEM NO PUEDE ESTAR EN BLANCO...", colour::Red);
        t.InitOk = false;
        t.StatusText = "(BAD NUMBER)";
    }
}

// 4. The serial port, opened.
std::unique_ptr<TComPort> openSerialPort(const std::shared_ptr<TContador_IP>& thread,
                                         const RunSettings& settings) {
    auto port = std::make_unique<TComPort>(settings.Executor);
    port->SetPort(settings.PortName);
    port->SetBaudRate(enumIndex<TBaudRate>(settings.BaudIndex, br256000 + 1, "BaudRate"));
    port->SetDataBits(enumIndex<TDataBits>(settings.DataBitsIndex, dbEight + 1, "DataBits"));
    port->Parity().SetBits(enumIndex<TParityBits>(settings.ParityIndex, prSpace + 1, "Parity"));
    port->SetStopBits(enumIndex<TStopBits>(settings.StopBitsIndex, sbTwoStopBits + 1, "StopBits"));
    std::weak_ptr<TContador_IP> weak = thread;
    port->OnRxChar = [weak](TCustomComPort* sender, int count) {
        if (auto t = weak.lock()) t->ComPortRxChar(sender, count);
    };
    port->OnRLSDChange = [weak](TCustomComPort*, bool on) {
        if (auto t = weak.lock()) t->ComPortRLSDChange(on);
    };
    port->SetDiscardNull(false);
    port->SetEventChar('\0');
    port->FlowControl().SetControlRTS(rtsToggle);
    port->FlowControl().SetControlDTR(dtrEnable);
    port->FlowControl().SetFlowControl(fcCustom);
    port->Parity().SetCheck(port->Parity().Bits() != prNone);
    port->SetConnected(true);
    port->ClearBuffer(true, true);
    return port;
}

void setUpSerialPort(const std::shared_ptr<TContador_IP>& thread, const RunSettings& settings) {
    TContador_IP& t = *thread;
    t.ExitCode = ExitSerialFailed;
    // A malformed alias must not leave the run on the default device.
    const std::string aliasFault = ComAliasFault();
    try {
        if (!aliasFault.empty()) throw std::invalid_argument(aliasFault);
        t.ComPort = openSerialPort(thread, settings);
        t.PostLog(" - Puerto SERIAL Inicializado en : " + settings.PortName, colour::Green);
    } catch (...) {
        t.InitOk = false;
        // A "COMn" name also says the device it stands for.
        const std::string device = ComDevicePath(settings.PortName);
        const bool sameName = device == settings.PortName || !aliasFault.empty();
        t.PostLog(" - ERROR AL ABRIR EL PUERTO SERIAL  " + settings.PortName +
                      (sameName ? "" : " (" + device + ")") + ": " + openFailure(),
                  colour::Red);
        t.StatusText = "(SERIAL PORT INIT)";
    }
}

// 5. The TCP client.
void setUpTcpClient(TContador_IP& t, const RunSettings& settings) {
    t.ExitCode = ExitTcpFailed;
    try {
        auto client = std::make_unique<TcpClient>();
        client->Port = TcpPortOf(settings.TcpPortText);
        client->ConnectTimeoutMs = 6000;
        client->ReadTimeoutMs = client->ConnectTimeoutMs;
        client->Host = settings.Host;
        t.TcpClient = std::move(client);
        t.PostLog(" - INICIANDO PUERTO IP...", colour::White);
    } catch (const std::exception& e) {
        t.InitOk = false;
        t.PostLog(" - ERROR AL CONFIGURAR PUERTO IP " + settings.Host + ":" + settings.TcpPortText +
                      "  - " + messageOf(e),
                  colour::Red);
        t.StatusText = "(" + messageOf(e) + ")";
    }
}

}  // namespace

T_Conta::T_Conta(RunSettings settings, RunCallbacks callbacks)
    : state_(std::make_shared<RunState>()), executor_(settings.Executor) {
    state_->Callbacks = std::move(callbacks);
    state_->StartGrid = settings.Grid;
    state_->StatusPath =
        settings.StatusPath.empty() ? StatusFilePath(settings.ExecutablePath) : settings.StatusPath;

    Thread = std::make_shared<TContador_IP>();
    TContador_IP& t = *Thread;
    state_->Thread = Thread;
    t.OnTerminate = [state = state_] { ContadorTerminate(state); };

    // Steps 1 to 3; a failure in one ends the set-up there.
    const std::function<void()> steps[] = {
        [&] { setUpThread(t, settings); },
        [&] { addMeters(t, settings.Grid); },
        [&] { setUpModem(t, settings); },
    };
    for (const auto& step : steps) {
        try {
            step();
        } catch (const std::exception& e) {
            t.InitOk = false;
            t.PostLog(" - INIT ERROR " + messageOf(e), colour::Red);
            t.StatusText = "(" + messageOf(e) + ")";
        }
        if (!t.InitOk) break;
    }

    // 4. and 5. The link.
    if (t.InitOk && t.IsSerial) setUpSerialPort(Thread, settings);
    if (t.InitOk && !t.IsSerial) setUpTcpClient(t, settings);

    // 6. The meter protocol.
    t.Protocol = 0;
    if (t.InitOk) t.PostLog(" - INICIADO PROTOCOLO DE COMUNICACION IEC", colour::White);

    // 7. Started whether or not the set-up went well: the thread reports it.
    Thread->Start();
}

T_Conta::~T_Conta() {
    Destroy();
}

bool T_Conta::Finished() const {
    return state_->Finished.load();
}

void T_Conta::Destroy() {
    if (destroyed_) return;
    destroyed_ = true;
    if (Thread && !state_->Finished) {
        Thread->Terminate();
        const auto deadline = steady_clock::now() + milliseconds(5000);
        const auto& terminating = state_->Callbacks.ApplicationTerminating;
        while (steady_clock::now() < deadline && !state_->Finished &&
               !(terminating && terminating())) {
            // Received characters, posted messages and the end handler are
            // all delivered through this queue.
            if (executor_)
                executor_->processFor(milliseconds(50));
            else
                std::this_thread::sleep_for(milliseconds(50));
        }
        std::this_thread::sleep_for(milliseconds(100));
    }
    // A thread still running ends on its own; its handler then finds the state
    // marked as left behind.
    state_->Orphaned = true;
    Thread.reset();
}

void T_Conta::ContadorTerminate(const std::shared_ptr<RunState>& state) {
    if (!state) return;
    state->Finished = true;
    const RunCallbacks& cb = state->Callbacks;
    try {
        if (!state->Orphaned && cb.RunEnded) cb.RunEnded();
    } catch (...) {
    }
    try {
        int code = 0;
        if (cb.ProgramExitCode)
            code = cb.ProgramExitCode();
        else if (auto thread = state->Thread.lock())
            code = thread->ExitCode;
        if (cb.ShowDataText) {
            cb.ShowDataText(" - EXIT CODE: " + std::to_string(code), colour::White);
            cb.ShowDataText(" " + std::string(49, '-'), colour::White);
        }
    } catch (...) {
    }
    try {
        WriteStatusFile(state->StatusPath, cb.CurrentGrid ? cb.CurrentGrid() : state->StartGrid);
    } catch (...) {
    }
}

}  // namespace qv
