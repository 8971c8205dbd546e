#include "export/db_connection.h"

#include <errmsg.h>
#include <mysql.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <charconv>
#include <chrono>

namespace qv {
namespace {

// Waits for what a non-blocking call of the client library asked for, in
// slices of at most 100 ms; returns what happened, as the library expects it.
// A stop request counts as the wait's time-out, which ends the call.
int Await(MYSQL* m, int wait, const std::atomic<bool>& aborted) {
    using Clock = std::chrono::steady_clock;
    const unsigned ms = (wait & MYSQL_WAIT_TIMEOUT) ? mysql_get_timeout_value_ms(m) : 86400000u;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    const short events = static_cast<short>(((wait & MYSQL_WAIT_READ) ? POLLIN : 0) |
                                            ((wait & MYSQL_WAIT_WRITE) ? POLLOUT : 0) |
                                            ((wait & MYSQL_WAIT_EXCEPT) ? POLLPRI : 0));
    pollfd p{events ? static_cast<int>(mysql_get_socket(m)) : -1, events, 0};
    while (!aborted) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        if (poll(&p, 1, static_cast<int>(std::min<long long>(left, 100))) <= 0) continue;
        if (p.revents & (POLLERR | POLLHUP | POLLNVAL)) return wait & ~MYSQL_WAIT_TIMEOUT;
        return ((p.revents & POLLIN) ? MYSQL_WAIT_READ : 0) |
               ((p.revents & POLLOUT) ? MYSQL_WAIT_WRITE : 0) |
               ((p.revents & POLLPRI) ? MYSQL_WAIT_EXCEPT : 0);
    }
    return MYSQL_WAIT_TIMEOUT;
}

}  // namespace

DbConnection::DbConnection(DbConnectionParams params) : params_(std::move(params)) {}

DbConnection::~DbConnection() {
    Close();
}

void DbConnection::Open() {
    if (mysql_) return;
    MYSQL* m = mysql_init(nullptr);
    if (!m) throw DbError("Out of memory", CR_OUT_OF_MEMORY);
    unsigned protocol = MYSQL_PROTOCOL_TCP;
    mysql_optionsv(m, MYSQL_OPT_PROTOCOL, &protocol);
    // The readings files and the program's texts are Latin-1.
    mysql_optionsv(m, MYSQL_SET_CHARSET_NAME, "latin1");
    mysql_optionsv(m, MYSQL_OPT_CONNECT_TIMEOUT, &params_.ConnectTimeoutSeconds);
    mysql_optionsv(m, MYSQL_OPT_READ_TIMEOUT, &params_.ReadTimeoutSeconds);
    mysql_optionsv(m, MYSQL_OPT_WRITE_TIMEOUT, &params_.WriteTimeoutSeconds);
    unsigned port = 0;
    const std::string& p = params_.Port;
    auto [end, ec] = std::from_chars(p.data(), p.data() + p.size(), port);
    if (ec != std::errc() || end != p.data() + p.size() || port > 65535) port = 0;
    auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    // Connected without blocking, so that Abort ends a connection attempt
    // within 100 ms instead of after the connection's own time-outs.
    mysql_optionsv(m, MYSQL_OPT_NONBLOCK, 0);
    MYSQL* connected = nullptr;
    int wait = mysql_real_connect_start(&connected, m, params_.HostName.c_str(),
                                        params_.User_Name.c_str(), params_.Password.c_str(),
                                        orNull(params_.Database), port, nullptr, 0);
    while (wait) wait = mysql_real_connect_cont(&connected, m, Await(m, wait, aborted_));
    if (!connected) {
        DbError error(mysql_error(m), mysql_errno(m));
        mysql_close(m);
        throw error;
    }
    mysql_ = m;
    {
        std::lock_guard lock(socketMutex_);
        socket_ = static_cast<int>(mysql_get_socket(m));
    }
    if (mysql_autocommit(mysql_, 1)) Fail(nullptr);
}

void DbConnection::Close() {
    {
        std::lock_guard lock(socketMutex_);
        socket_ = -1;
    }
    for (auto& [sql, stmt] : statements_) mysql_stmt_close(stmt);
    statements_.clear();
    if (mysql_) mysql_close(mysql_);
    mysql_ = nullptr;
}

void DbConnection::Abort() {
    aborted_ = true;
    std::lock_guard lock(socketMutex_);
    if (socket_ >= 0) shutdown(socket_, SHUT_RDWR);
}

bool DbConnection::SupportsTransactions() const {
    if (!mysql_) return false;
    unsigned long caps = 0;
    if (mariadb_get_infov(mysql_, MARIADB_CONNECTION_SERVER_CAPABILITIES, &caps)) return false;
    return (caps & CLIENT_TRANSACTIONS) != 0;
}

void DbConnection::Fail(MYSQL_STMT* stmt) {
    DbError error(stmt ? mysql_stmt_error(stmt) : mysql_error(mysql_),
                  stmt ? mysql_stmt_errno(stmt) : mysql_errno(mysql_));
    // A lost link makes the connection closed, as the upload loop expects.
    if (error.code() == CR_SERVER_GONE_ERROR || error.code() == CR_SERVER_LOST) Close();
    throw error;
}

MYSQL_STMT* DbConnection::Prepared(const std::string& sql) {
    if (!mysql_) throw DbError("Not connected", CR_SERVER_GONE_ERROR);
    auto it = statements_.find(sql);
    if (it != statements_.end()) return it->second;
    MYSQL_STMT* stmt = mysql_stmt_init(mysql_);
    if (!stmt) Fail(nullptr);
    if (mysql_stmt_prepare(stmt, sql.data(), sql.size())) {
        DbError error(mysql_stmt_error(stmt), mysql_stmt_errno(stmt));
        mysql_stmt_close(stmt);
        if (error.code() == CR_SERVER_GONE_ERROR || error.code() == CR_SERVER_LOST) Close();
        throw error;
    }
    statements_.emplace(sql, stmt);
    return stmt;
}

void DbConnection::Run(MYSQL_STMT* stmt, const std::vector<std::string>& params) {
    if (mysql_stmt_param_count(stmt) != params.size())
        throw DbError("Parameter count does not match the statement", CR_PARAMS_NOT_BOUND);
    std::vector<MYSQL_BIND> bind(params.size());
    std::vector<unsigned long> lengths(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) {
        lengths[i] = params[i].size();
        bind[i].buffer_type = MYSQL_TYPE_STRING;
        bind[i].buffer = const_cast<char*>(params[i].data());
        bind[i].buffer_length = lengths[i];
        bind[i].length = &lengths[i];
    }
    if ((!bind.empty() && mysql_stmt_bind_param(stmt, bind.data())) || mysql_stmt_execute(stmt))
        Fail(stmt);
}

uint64_t DbConnection::Execute(const std::string& sql, const std::vector<std::string>& params) {
    MYSQL_STMT* stmt = Prepared(sql);
    Run(stmt, params);
    return mysql_stmt_affected_rows(stmt);
}

uint64_t DbConnection::RowCount(const std::string& sql, const std::vector<std::string>& params) {
    MYSQL_STMT* stmt = Prepared(sql);
    Run(stmt, params);
    if (mysql_stmt_store_result(stmt)) Fail(stmt);
    uint64_t rows = mysql_stmt_num_rows(stmt);
    mysql_stmt_free_result(stmt);
    return rows;
}

}  // namespace qv
