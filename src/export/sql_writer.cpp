#include "export/sql_writer.h"

#include <cctype>

#include "meter/meter_messages.h"

namespace qv {

std::string UpperCase(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

Tescribe_SQL::~Tescribe_SQL() {
    Terminate();
    WaitFor();
}

void Tescribe_SQL::Start(std::function<void()> onTerminate) {
    thread_ = std::thread([this, onTerminate = std::move(onTerminate)] {
        Execute();
        if (onTerminate) onTerminate();
    });
}

void Tescribe_SQL::WaitFor() {
    if (thread_.joinable()) thread_.join();
}

void Tescribe_SQL::PostLog(const std::string& line, int32_t colour) const {
    qv::PostLog(MainWindow, " - " + line, colour);
}

void Tescribe_SQL::Execute() {
    ready_ = false;
    insertSql_ = InsertStatement(Schema);
    selectSql_ = SelectKeyStatement(Schema);
    updateSql_ = UpdateStatement(Schema);
    PostLog("CONTACTANDO SERVIDOR DE BASES DE DATOS !", colour::White);
    try {
        try {
            Connection->Open();
            if (Connection->SupportsTransactions()) {
                PostLog("SERVIDOR DE BASES DE DATOS CONTACTADO DE FORMA EXITOSA !", colour::Green);
                ready_ = true;
            } else {
                PostLog("ERROR - LA BASE NO SOPORTA TRANSACCIONES - NO SE PUEDE ESCRIBIR EN ELLA",
                        colour::Red);
            }
        } catch (const DbError& e) {
            PostLog("NO SE HA PODIDO ENCONTRAR EL SERVIDOR! - " + UpperCase(e.what()), colour::Red);
        }
        if (ready_ && !terminated_ && !Queue.empty()) {
            PostLog("SE SUBIRAN " + std::to_string(Queue.size()) + " DATOS...", colour::Yellow);
            int n = 0;
            do {
                Connection->Open();
                SqlRow row = std::move(Queue.front());
                Queue.pop_front();
                if (Connection->Connected()) {
                    try {
                        WriteRow(row, n);
                        ++n;
                    } catch (const DbError& e) {
                        PostLog("ERROR EN LA BASE DE DATOS  - " + UpperCase(e.what()), colour::Red);
                        Terminate();
                    }
                }
            } while (!Queue.empty() && !terminated_ && Connection->Connected());
        }
    } catch (const std::exception& e) {
        PostLog("ERROR EN HILO DE BASE DE DATOS  - " + UpperCase(e.what()), colour::Red);
    }
    Connection->Close();
}

void Tescribe_SQL::WriteRow(const SqlRow& row, int n) {
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
