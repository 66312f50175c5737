-- The history's schema at version 1, frozen as released: the migration from
-- it to every later version is tested on this copy (history_test.cpp).
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
