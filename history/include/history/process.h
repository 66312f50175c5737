// Who writes a run, and whether a run without an end is still being written.
//
// A run's record names its host and its process: the process id and the
// process's identity, a text that tells it apart from a later process of the
// same id (on Linux the boot and the process's start time; on Windows its
// creation time).  A run with no end, of this host, whose process no longer
// exists with that identity, was interrupted; one whose process is still
// there is running.
#pragma once

#include <cstdint>
#include <string>

namespace history {

std::string host_name();
std::string account_name();
std::int64_t this_process_id();
// The identity of the process `pid` now; "" when there is none.
std::string process_identity(std::int64_t pid);

}  // namespace history
