// A clock that tests drive.  Linked into test executables in place of the
// platform's real clock: utc_now, tick_count and sleep_ms read and move it,
// so a 500 ms pause or a 20 s time-out costs no real time.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/platform.h"

namespace emu {

class VirtualClock {
public:
    // Puts the clock at `start` (UTC) with the tick counter at `tick`, and
    // forgets the recorded sleeps.
    static void reset(const com::platform::UtcTime& start = default_start(), std::uint32_t tick = 1000000u);
    static com::platform::UtcTime default_start();

    // Moves time on; both the wall clock and the tick counter follow.
    static void advance(std::uint64_t milliseconds);
    // Milliseconds moved on since the last reset.
    static std::uint64_t elapsed_ms();
    static void set_tick(std::uint32_t tick);
    // The durations passed to sleep_ms since the last reset.
    static std::vector<unsigned> sleeps();
};

}  // namespace emu
