#pragma once
// One reading run: the run object copies the main window's settings, builds
// the meter records and the link, starts the reading thread, and, when the
// thread has ended, logs the exit code and writes the run status file.
//
// The main window fills a RunSettings from its controls and hands over the
// operations of its own that the run calls (RunCallbacks); everything the run
// does with them happens in the main thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "meter/contador_ip.h"
#include "meter/time_tags.h"
#include "platform/main_executor.h"
#include "platform/worker_message.h"

namespace qv {

// Link types: the item index of the link box.
enum LinkType : int {
    LinkSerialDirect = 0,  // "SERIAL DIRECTA"
    LinkGsmModem = 1,      // "MODEM GSM SERIAL"
    LinkTcp = 2,           // "CONEXION TCP/IP"
    LinkAnalogModem = 3,   // "MODEM ANALOG SERIAL"
};

// The texts of one meter grid row, columns 0..4: link address, measuring
// point, password, OPC code, status.
using GridRow = std::array<std::string, 5>;
using GridRows = std::vector<GridRow>;

// What a run copies from the main window when it starts.
struct RunSettings {
    int LinkType = LinkSerialDirect;
    GridRows Grid;  // row 0 is the header row; one meter per further row
    int Interval = IntervalQuarterHour;
    Day DateFrom{};  // first day of the range (start date picker)
    Day DateTo{};    // last day of the range (end date picker)
    // Serial line: port name and the item indexes of the four settings boxes
    // (the serial component's enumeration order).
    std::string PortName;
    int BaudIndex = 7;            // br9600
    int DataBitsIndex = 3;        // dbEight
    int ParityIndex = 0;          // prNone
    int StopBitsIndex = 0;        // sbOneStopBit
    std::string DialNumber;       // modem links; trimmed by the run
    std::string ModemInitString;  // analog modem's first line
    std::string TcpPortText;      // not a whole number: port 40000
    std::string Host;
    int AsduRetries = 2;
    int InterAsdu = 1;     // seconds
    int AsduTimeout = 12;  // seconds
    bool ModemReset = false;
    MessageTarget MainWindow;          // where the reading thread posts
    MainExecutor* Executor = nullptr;  // the main thread's queue
    // The status file is this path with its extension replaced by
    // "_STATUSLOG.CSV"; a symbolic link (the default) is resolved first.
    std::string ExecutablePath = "/proc/self/exe";
    // Where the status file goes instead, when not empty (the main window's
    // own path for it).
    std::string StatusPath;
};

// Operations of the main window that the run calls, main thread only. They
// may be called after the run object is gone (its thread ended late), so they
// must stay valid while the main executor runs queued calls.
struct RunCallbacks {
    // The main window's log operation (text, colour).
    std::function<void(const std::string& text, int32_t colour)> ShowDataText;
    // The run has ended: the main window arms its re-enable timer. Not called
    // for a run whose object was already freed when its thread ended.
    std::function<void()> RunEnded;
    // The program's exit code as last set from MSG_EXITCODE; absent: the
    // thread's own last exit code.
    std::function<int()> ProgramExitCode;
    // The meter grid as the main window shows it now (its status column
    // written from MSG_GRIDSTATUS); absent: the rows the run started with.
    std::function<GridRows()> CurrentGrid;
    // True once the application is terminating (QCoreApplication::closingDown()
    // or the main window's own close): the stop's wait for the thread then
    // ends at once. Absent: never.
    std::function<bool()> ApplicationTerminating;
};

// What outlives the run object: the end handler may run after the run object
// has given up waiting and been freed.
struct RunState;

class T_Conta {
  public:
    // Builds the run and starts its thread (also when the set-up failed: the
    // thread then only reports it). Main thread.
    T_Conta(RunSettings settings, RunCallbacks callbacks);
    // Destroy.
    ~T_Conta();
    T_Conta(const T_Conta&) = delete;
    T_Conta& operator=(const T_Conta&) = delete;

    // Stops the thread and waits for it up to 5000 ms, or until the
    // application is terminating, handling the main thread's queue meanwhile.
    // Idempotent. Main thread.
    void Destroy();

    // Set by the end handler.
    bool Finished() const;

    // The thread's end handler; runs in the main thread after Execute has
    // returned. Touches only the shared state, never the run object.
    static void ContadorTerminate(const std::shared_ptr<RunState>& state);

    std::shared_ptr<TContador_IP> Thread;

  private:
    std::shared_ptr<RunState> state_;
    MainExecutor* executor_ = nullptr;
    bool destroyed_ = false;
};

// "<executable path without extension>_STATUSLOG.CSV".
std::string StatusFilePath(const std::string& executablePath);

// Writes the run status file: one line per grid row, the trimmed texts of
// columns 0..4 joined by ";", each ended by CR LF. The file is UTF-8
// throughout: a text that is not UTF-8 (the grid's Latin-1 header) is taken
// as Latin-1. A row after the header whose texts are all empty (the empty
// list's blank row) is no meter and gets no line. False when the file cannot
// be written.
bool WriteStatusFile(const std::string& path, const GridRows& grid);

// The TCP port of a port text: 40000 when the text is not a whole number;
// throws std::invalid_argument for a number that is no TCP port.
uint16_t TcpPortOf(const std::string& text);

}  // namespace qv
