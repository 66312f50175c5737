// The history's schema and its versions.  The file's PRAGMA user_version is
// the version of its schema; 0 is a new, empty file.  migrations()[k] takes a
// file of version k to version k + 1, and a file of any earlier version is
// brought to latest_version() by those that follow its own, in order, in one
// transaction.  A version, once released, is never changed: a new one is a
// new migration (and a frozen copy of its schema in tests/history/schema/).
#pragma once

#include <vector>

struct sqlite3;

namespace history {

// PRAGMA application_id of every history file: "ZRVK".
constexpr int application_id = 0x5A52564B;

// The SQL of each migration, from version 0 on.
const std::vector<const char*>& migrations();
int latest_version();

// Throws Error unless `db` may be read as a history or made one: this
// tool's, of a version it knows, or empty.  Returns its version, read with
// the rest in one snapshot (another process may be making it meanwhile).
int check_ours(sqlite3* db);

// Brings the open database `db` to the latest version; throws Error when it
// cannot, or when the file is not a history of this tool (another
// application's database, a newer version).  Leaves it unchanged then.
void migrate(sqlite3* db);

}  // namespace history
