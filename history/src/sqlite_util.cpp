#include "sqlite_util.h"

namespace history {

void throw_error(sqlite3* db, int code)
{
    std::string what = sqlite3_errstr(code);
    if (db && sqlite3_errcode(db) == code) {
        const std::string detail = sqlite3_errmsg(db);
        if (detail != what)
            what += " (" + detail + ")";
    }
    if ((code & 0xFF) == SQLITE_BUSY)
        throw Busy(what);
    throw Error(what);
}

void exec(sqlite3* db, const std::string& sql)
{
    const int code = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    if (code != SQLITE_OK)
        throw_error(db, code);
}

Statement::Statement(sqlite3* db, const std::string& sql) : db(db)
{
    const int code = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &statement, nullptr);
    if (code != SQLITE_OK)
        throw_error(db, code);
}

Statement::~Statement()
{
    sqlite3_finalize(statement);
}

Statement& Statement::bind(int index, std::int64_t value)
{
    const int code = sqlite3_bind_int64(statement, index, value);
    if (code != SQLITE_OK)
        throw_error(db, code);
    return *this;
}

Statement& Statement::bind(int index, const std::string& value)
{
    const int code =
        sqlite3_bind_text(statement, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
    if (code != SQLITE_OK)
        throw_error(db, code);
    return *this;
}

Statement& Statement::bind(int index, const std::optional<std::string>& value)
{
    if (value)
        return bind(index, *value);
    const int code = sqlite3_bind_null(statement, index);
    if (code != SQLITE_OK)
        throw_error(db, code);
    return *this;
}

Statement& Statement::bind(int index, const std::optional<int>& value)
{
    if (value)
        return bind(index, static_cast<std::int64_t>(*value));
    const int code = sqlite3_bind_null(statement, index);
    if (code != SQLITE_OK)
        throw_error(db, code);
    return *this;
}

bool Statement::step()
{
    const int code = sqlite3_step(statement);
    if (code == SQLITE_ROW)
        return true;
    if (code == SQLITE_DONE)
        return false;
    throw_error(db, code);
}

void Statement::run()
{
    step();
    reset();
}

void Statement::reset()
{
    sqlite3_reset(statement);
}

std::int64_t Statement::column_int64(int column) const
{
    return sqlite3_column_int64(statement, column);
}

bool Statement::column_null(int column) const
{
    return sqlite3_column_type(statement, column) == SQLITE_NULL;
}

std::string Statement::column_text(int column) const
{
    const unsigned char* text = sqlite3_column_text(statement, column);
    return text ? std::string(reinterpret_cast<const char*>(text),
                              static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
                : std::string();
}

Transaction::Transaction(sqlite3* db) : db(db)
{
    exec(db, "BEGIN IMMEDIATE");
}

Transaction::~Transaction()
{
    if (open)
        sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
}

void Transaction::commit()
{
    exec(db, "COMMIT");
    open = false;
}

}  // namespace history
