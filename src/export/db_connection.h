#pragma once
// The MySQL connection of one upload, on MariaDB Connector/C: always TCP (also
// for "localhost"), bounded connect, read and write waits, autocommit on, every
// statement prepared once and run with its values bound as text parameters.

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

typedef struct st_mysql MYSQL;
typedef struct st_mysql_stmt MYSQL_STMT;

namespace qv {

// A failure reported by the client library or the server: its text and code.
class DbError : public std::runtime_error {
  public:
    DbError(const std::string& text, unsigned code) : std::runtime_error(text), code_(code) {}
    unsigned code() const { return code_; }

  private:
    unsigned code_;
};

struct DbConnectionParams {
    std::string HostName;
    std::string Database;
    std::string User_Name;
    std::string Password;
    std::string Port;  // text of the settings box; not a number gives the default 3306
    unsigned ConnectTimeoutSeconds = 10;
    unsigned ReadTimeoutSeconds = 30;
    unsigned WriteTimeoutSeconds = 30;
};

class DbConnection {
  public:
    explicit DbConnection(DbConnectionParams params);
    ~DbConnection();
    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;

    void Open();  // DbError when the server cannot be reached or refuses the login
    void Close();
    bool Connected() const { return mysql_ != nullptr; }
    // Any thread: breaks off a statement that waits on the server, so that a
    // stop request does not wait for the read time-out.
    void Abort();
    // The server declares transaction support (the table engine can commit).
    bool SupportsTransactions() const;

    // Runs one statement in autocommit; returns the rows it changed.
    uint64_t Execute(const std::string& sql, const std::vector<std::string>& params);
    // Runs a query and returns the number of rows of its result.
    uint64_t RowCount(const std::string& sql, const std::vector<std::string>& params);

  private:
    MYSQL_STMT* Prepared(const std::string& sql);
    void Run(MYSQL_STMT* stmt, const std::vector<std::string>& params);
    [[noreturn]] void Fail(MYSQL_STMT* stmt);

    DbConnectionParams params_;
    MYSQL* mysql_ = nullptr;
    std::atomic<bool> aborted_{false};
    std::mutex socketMutex_;  // guards socket_ against Close while Abort uses it
    int socket_ = -1;
    std::map<std::string, MYSQL_STMT*> statements_;
};

}  // namespace qv
