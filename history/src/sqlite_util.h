// The few things the history does with SQLite's C interface, each failure an
// Error that names what SQLite said.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <string>

#include "history/database.h"

namespace history {

[[noreturn]] void throw_error(sqlite3* db, int code);

// Runs statements that return no rows.
void exec(sqlite3* db, const std::string& sql);

class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    Statement& bind(int index, std::int64_t value);
    Statement& bind(int index, const std::string& value);
    Statement& bind(int index, const std::optional<std::string>& value);
    Statement& bind(int index, const std::optional<int>& value);
    // True while it gives a row.
    bool step();
    void run();  // one step that gives no row
    void reset();

    std::int64_t column_int64(int column) const;
    int column_int(int column) const { return static_cast<int>(column_int64(column)); }
    bool column_null(int column) const;
    std::string column_text(int column) const;

private:
    sqlite3* db;
    sqlite3_stmt* statement = nullptr;
};

// BEGIN IMMEDIATE: the write lock from the start, so that a busy database is
// waited for (busy_timeout) rather than found out at the first write.
// Rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db);
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit();

private:
    sqlite3* db;
    bool open = true;
};

}  // namespace history
