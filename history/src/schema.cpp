#include "history/schema.h"

#include <sqlite3.h>

#include <string>

#include "history/database.h"
#include "sqlite_util.h"

namespace history {

namespace {

// Version 1: runs, their plans, their printers and each printer's files.
// Times are UTC text (utc_text), so that they sort as they read.
const char* const version_1 = R"(
CREATE TABLE runs (
    id INTEGER PRIMARY KEY,
    started TEXT NOT NULL,
    ended TEXT,
    host TEXT NOT NULL,
    account TEXT NOT NULL,
    pid INTEGER NOT NULL,
    process TEXT NOT NULL,
    tool_version TEXT NOT NULL,
    command TEXT NOT NULL,
    firmware_folder TEXT NOT NULL,
    exit_status INTEGER
);
CREATE TABLE run_files (
    run_id INTEGER NOT NULL REFERENCES runs(id),
    position INTEGER NOT NULL,
    local_name TEXT NOT NULL,
    printer_name TEXT NOT NULL,
    size INTEGER NOT NULL,
    sha256 TEXT NOT NULL,
    PRIMARY KEY (run_id, position)
) WITHOUT ROWID;
CREATE TABLE printer_runs (
    id INTEGER PRIMARY KEY,
    run_id INTEGER NOT NULL REFERENCES runs(id),
    serial TEXT NOT NULL,
    bus INTEGER NOT NULL,
    address INTEGER NOT NULL,
    port_path TEXT,
    vendor_id INTEGER NOT NULL,
    product_id INTEGER NOT NULL,
    started TEXT NOT NULL,
    ended TEXT,
    outcome TEXT CHECK (outcome IN ('updated', 'failed', 'stopped')),
    code INTEGER,
    message TEXT,
    detail TEXT,
    log_path TEXT
);
CREATE TABLE printer_files (
    printer_run_id INTEGER NOT NULL REFERENCES printer_runs(id),
    position INTEGER NOT NULL,
    state TEXT NOT NULL CHECK (state IN ('reached', 'installed', 'may_have_been_taken_up', 'not_installed')),
    PRIMARY KEY (printer_run_id, position)
) WITHOUT ROWID;
CREATE INDEX printer_runs_by_serial ON printer_runs(serial, id);
CREATE INDEX printer_runs_by_place ON printer_runs(bus, address, id);
CREATE INDEX printer_runs_by_run ON printer_runs(run_id);
)";

}  // namespace

int check_ours(sqlite3* db)
{
    Statement s(db, "SELECT (SELECT user_version FROM pragma_user_version), "
                    "(SELECT application_id FROM pragma_application_id), (SELECT count(*) FROM sqlite_master)");
    if (!s.step())
        throw Error("the history's version cannot be read");
    const int version = s.column_int(0), id = s.column_int(1);
    const bool has_objects = s.column_int64(2) > 0;
    if (version > latest_version())
        throw Error("it was written by a newer zarvik (history version " + std::to_string(version) +
                    "; this one knows up to " + std::to_string(latest_version()) + ")");
    if (id != application_id && (id != 0 || version != 0 || has_objects))
        throw Error("it is a database, but not a zarvik history");
    return version;
}

const std::vector<const char*>& migrations()
{
    static const std::vector<const char*> all = {version_1};
    return all;
}

int latest_version()
{
    return static_cast<int>(migrations().size());
}

void migrate(sqlite3* db)
{
    int version = check_ours(db);
    if (version == latest_version())
        return;
    // Another process may migrate at the same time: the version is read
    // again under the write lock.
    Transaction transaction(db);
    version = check_ours(db);
    for (int v = version; v < latest_version(); ++v)
        exec(db, migrations()[static_cast<std::size_t>(v)]);
    exec(db, "PRAGMA application_id = " + std::to_string(application_id));
    exec(db, "PRAGMA user_version = " + std::to_string(latest_version()));
    transaction.commit();
}

}  // namespace history
