// The rule by which start-up waits for a service to reach a state, kept apart
// from the service manager so that it can be exercised with scripted statuses.
#pragma once

#include <cstdint>

namespace service {

struct PollStatus {
    std::uint32_t state = 0;       // the service's current state
    std::uint32_t checkpoint = 0;  // grows while a pending operation makes progress
    std::uint32_t wait_hint = 0;   // milliseconds until the next expected change
};

enum class WaitOutcome {
    reached,      // the service is in the wanted state
    query_failed, // a status query failed
    no_progress,  // the same pending state twice without a larger checkpoint
};

// Polls with `query` (bool(PollStatus*)) until the service is in `wanted`,
// sleeping each time for the wait hint the service reported, unchanged, with
// `sleep` (void(std::uint32_t ms)).  There is no overall limit: the wait ends
// when the state is reached, a query fails, or a poll shows no progress.
template <class Query, class Sleep>
WaitOutcome wait_for_state(std::uint32_t wanted, Query&& query, Sleep&& sleep)
{
    bool first = true;
    std::uint32_t last_state = 0;
    std::uint32_t last_checkpoint = 0;
    for (;;) {
        PollStatus status;
        if (!query(&status))
            return WaitOutcome::query_failed;
        if (status.state == wanted)
            return WaitOutcome::reached;
        if (first || status.state != last_state) {
            // A new state starts the progress comparison afresh.
            first = false;
            last_state = status.state;
            last_checkpoint = status.checkpoint;
        } else if (status.checkpoint <= last_checkpoint) {
            return WaitOutcome::no_progress;
        } else {
            last_checkpoint = status.checkpoint;
        }
        sleep(status.wait_hint);
    }
}

}  // namespace service
