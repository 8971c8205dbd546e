#include "export/sql_writer.h"

#include <cctype>
#include <chrono>
#include <mutex>
#include <utility>
#include <vector>

#include "meter/meter_messages.h"
#include "platform/text.h"

namespace qv {

namespace {
// An error as the log shows it, upper-cased: the names it may quote (the user,
// the database, the host) are the settings', their control characters escaped.
std::string Shown(const std::exception& e) {
    return ShownWithControls(UpperAscii(e.what()));
}
}  // namespace

// The log lines of one writer thread on their way to the main thread. A line
// per row would wake the main thread once per row, which costs about as much
// as the row itself; instead the thread wakes it at most every 20 ms (a line
// waits at most until the next line after that, or the thread's end) and the
// main thread posts every line gathered by then, in order, and the
// termination handler after the last of them.
struct Tescribe_SQL::LogBatch {
    MessageTarget target;
    MainExecutor* executor = nullptr;
    std::mutex mutex;
    std::vector<std::pair<std::string, int32_t>> lines;
    std::function<void()> onTerminate;
    bool flushPosted = false;
    std::chrono::steady_clock::time_point lastPost;

    // Any thread; `last` adds the termination handler.
    static void Add(const std::shared_ptr<LogBatch>& self, std::string line, int32_t colour,
                    std::function<void()> last = nullptr) {
        bool post = false;
        {
            std::lock_guard lock(self->mutex);
            if (last)
                self->onTerminate = std::move(last);
            else
                self->lines.emplace_back(std::move(line), colour);
            const auto now = std::chrono::steady_clock::now();
            post = !self->flushPosted &&
                   (self->onTerminate || now - self->lastPost >= std::chrono::milliseconds(20));
            if (post) {
                self->flushPosted = true;
                self->lastPost = now;
            }
        }
        if (post) self->executor->post([self] { Flush(self); });
    }
    // Main thread.
    static void Flush(const std::shared_ptr<LogBatch>& self) {
        std::vector<std::pair<std::string, int32_t>> lines;
        std::function<void()> last;
        {
            std::lock_guard lock(self->mutex);
            lines.swap(self->lines);
            last = std::move(self->onTerminate);
            self->flushPosted = false;
        }
        for (auto& [text, colour] : lines) qv::PostLog(self->target, text, colour);
        if (last) self->executor->post(std::move(last));
    }
};

Tescribe_SQL::~Tescribe_SQL() {
    Abort();
    WaitFor();
}

void Tescribe_SQL::Abort() {
    aborted_ = true;
    Terminate();
    if (Connection) Connection->Abort();
}

void Tescribe_SQL::Start(MainExecutor& executor, std::function<void()> onTerminate) {
    log_ = std::make_shared<LogBatch>();
    log_->target = MainWindow;
    log_->executor = &executor;
    thread_ = std::thread([this, onTerminate = std::move(onTerminate)]() mutable {
        Execute();
        LogBatch::Add(
            log_, {}, 0, onTerminate ? std::move(onTerminate) : [] {});
    });
}

void Tescribe_SQL::WaitFor() {
    if (thread_.joinable()) thread_.join();
}

void Tescribe_SQL::PostLog(const std::string& line, int32_t colour) const {
    try {
        LogBatch::Add(log_, " - " + line, colour);
    } catch (...) {
    }
}

void Tescribe_SQL::PostFailure(const std::string& line) {
    if (failure_.empty()) failure_ = line;
    PostLog(line, colour::Red);
}

void Tescribe_SQL::Execute() {
    ready_ = false;
    insertSql_ = InsertStatement(Schema);
    selectSql_ = SelectKeyStatement(Schema);
    updateSql_ = UpdateStatement(Schema);
    PostLog("CONTACTANDO SERVIDOR DE BASES DE DATOS !", colour::White);
    bool failed = false;
    const std::size_t total = Queue.size();
    int n = 0;
    try {
        try {
            Connection->Open();
            if (Connection->SupportsTransactions()) {
                PostLog("SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !", colour::Green);
                ready_ = true;
            } else {
                PostFailure(
                    "ERROR - LA BASE NO SOPORTA TRANSACCIONES - NO SE PUEDE ESCRIBIR EN ELLA");
            }
        } catch (const DbError& e) {
            // Client codes (2000 on) say the server was not reached; below, the
            // server answered and refused (a user, a password, a schema).
            if (e.code() >= 2000 || e.code() == 0)
                PostFailure("NO SE HA PODIDO ENCONTRAR EL SERVIDOR! - " + Shown(e));
            else
                PostFailure(Shown(e) + " - EL SERVIDOR DE BASES DE DATOS RECHAZA LA CONEXION");
        }
        if (ready_ && !terminated_ && !Queue.empty()) {
            PostLog("SE SUBIRAN " + std::to_string(Queue.size()) + " DATOS...", colour::Yellow);
            do {
                Connection->Open();
                SqlRow row = std::move(Queue.front());
                Queue.pop_front();
                failed = !Connection->Connected();
                if (!failed) {
                    try {
                        WriteRow(row, n);
                        ++n;
                    } catch (const DbError& e) {
                        // A statement broken off by the close says nothing of its own.
                        if (!aborted_) PostFailure("ERROR EN LA BASE DE DATOS  - " + Shown(e));
                        failed = true;
                        Terminate();
                    }
                }
            } while (!Queue.empty() && !terminated_ && Connection->Connected());
        }
    } catch (const std::exception& e) {
        PostFailure("ERROR EN HILO DE BASE DE DATOS  - " + Shown(e));
        failed = true;
    }
    complete_ = ready_ && Queue.empty() && !failed;
    if (aborted_ && !complete_ && total > 0)
        PostFailure("ERROR EN LA BASE DE DATOS  - SUBIDA INTERRUMPIDA AL CERRAR EL PROGRAMA: " +
                    std::to_string(n) + " DE " + std::to_string(total) + " DATOS CONFIRMADOS");
    Connection->Close();
}

void Tescribe_SQL::WriteRow(const SqlRow& row, int n) {
    if (!row.Fault.empty()) throw DbError(row.Fault, 0);
    const std::string number = std::to_string(n + 1);
    if (Unique && Connection->RowCount(selectSql_, row.Key()) != 0) {
        if (row.COD_ERROR != "0") {
            PostLog("  NO SE ACTUALIZA DATO CON CODIGO DE ERROR '" + row.COD_ERROR + "');",
                    colour::White);
            return;
        }
        std::vector<std::string> params(row.Energy.begin(), row.Energy.end());
        for (std::string& k : row.Key()) params.push_back(std::move(k));
        Connection->Execute(updateSql_, params);
        PostLog("  ACTUALIZADO DATO  " + number, colour::White);
        return;
    }
    Connection->Execute(insertSql_, row.InsertValues());
    PostLog("  INSERTADO DATO  " + number, colour::White);
}

}  // namespace qv
