// The rules by which a service is waited for, kept apart from the service
// manager so that they can be exercised with scripted statuses: start-up's
// wait for a stop, and the wait for a service started again.
#pragma once

#include <cstdint>

namespace service {

// The service manager's states (SERVICE_STOPPED, SERVICE_START_PENDING,
// SERVICE_STOP_PENDING, SERVICE_RUNNING).
constexpr std::uint32_t state_stopped = 1, state_start_pending = 2, state_stop_pending = 3, state_running = 4;

struct PollStatus {
    std::uint32_t state = 0;       // the service's current state
    std::uint32_t checkpoint = 0;  // grows while a pending operation makes progress
    std::uint32_t wait_hint = 0;   // milliseconds until the next expected change
};

enum class WaitOutcome {
    reached,       // the service is in the wanted state
    query_failed,  // a status query failed
    no_progress,   // the same pending state twice without a larger checkpoint
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

enum class StartOutcome {
    running,       // the service runs
    stopped,       // it stopped again instead: it failed to start
    query_failed,  // a status query failed
    no_progress,   // neither its state nor its checkpoint changed for too long
};

// How long a starting service may show no progress, at least: the service
// manager reports a start without checkpoints until the service's own first
// report, which a slow service makes late.
constexpr std::uint32_t start_patience_ms = 10000;

enum class SettleOutcome {
    settled,       // the service is in a state the caller waits for
    query_failed,  // a status query failed
    no_progress,   // neither its state nor its checkpoint changed for too long
};

// Polls a service with `query` (bool(PollStatus*)), `sleep` (void(std::uint32_t
// ms)) and `now` (std::uint64_t(), milliseconds) until `settled` (bool(state))
// holds for its state; `*last` gets the last status read.  It polls every
// tenth of the wait hint (50 ms to 1 s apart) and gives up when neither the
// state nor the checkpoint has changed for longer than the wait hint, and at
// least start_patience_ms.
template <class Query, class Sleep, class Now, class Settled>
SettleOutcome wait_patiently(Query&& query, Sleep&& sleep, Now&& now, Settled&& settled, PollStatus* last)
{
    bool first = true;
    std::uint64_t changed_at = 0;
    for (;;) {
        PollStatus status;
        if (!query(&status))
            return SettleOutcome::query_failed;
        if (settled(status.state)) {
            *last = status;
            return SettleOutcome::settled;
        }
        const std::uint64_t at = now();
        if (first || status.state != last->state || status.checkpoint != last->checkpoint) {
            first = false;
            *last = status;
            changed_at = at;
        } else if (at - changed_at > (status.wait_hint > start_patience_ms ? status.wait_hint : start_patience_ms)) {
            return SettleOutcome::no_progress;
        }
        const std::uint32_t tenth = status.wait_hint / 10;
        sleep(tenth < 50 ? 50 : tenth > 1000 ? 1000 : tenth);
    }
}

// Polls a service that has been asked to start until it runs (see
// wait_patiently).
template <class Query, class Sleep, class Now>
StartOutcome wait_until_running(Query&& query, Sleep&& sleep, Now&& now)
{
    PollStatus last;
    const SettleOutcome outcome = wait_patiently(
        query, sleep, now, [](std::uint32_t state) { return state == state_running || state == state_stopped; }, &last);
    if (outcome == SettleOutcome::query_failed)
        return StartOutcome::query_failed;
    if (outcome == SettleOutcome::no_progress)
        return StartOutcome::no_progress;
    return last.state == state_running ? StartOutcome::running : StartOutcome::stopped;
}

// Before a service is started again: polls one that is still stopping (it
// took a stop request whose wait gave up) until it is no longer stopping
// (see wait_patiently).  True when it may be started now.
template <class Query, class Sleep, class Now>
bool wait_out_stop(Query&& query, Sleep&& sleep, Now&& now)
{
    PollStatus last;
    return wait_patiently(
               query, sleep, now, [](std::uint32_t state) { return state != state_stop_pending; }, &last) ==
           SettleOutcome::settled;
}

}  // namespace service
