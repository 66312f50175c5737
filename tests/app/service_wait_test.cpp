// The rules by which the background service is waited for, while start-up
// stops it and when zarvik starts it again, driven by scripted statuses
// instead of a service manager.
#include <gtest/gtest.h>

#include <vector>

#include "service/background_service.h"
#include "service/service_wait.h"

namespace {

constexpr std::uint32_t stopped = 1, stop_pending = 3, running = 4, continue_pending = 5;

struct Script {
    explicit Script(std::vector<service::PollStatus> script) : statuses(std::move(script)) {}

    std::vector<service::PollStatus> statuses;  // one per query; past the end, queries fail
    std::size_t next = 0;
    std::vector<std::uint32_t> sleeps;

    service::WaitOutcome run(std::uint32_t wanted = stopped)
    {
        return service::wait_for_state(
            wanted,
            [this](service::PollStatus* s) {
                if (next >= statuses.size())
                    return false;
                *s = statuses[next++];
                return true;
            },
            [this](std::uint32_t ms) { sleeps.push_back(ms); });
    }
};

service::PollStatus st(std::uint32_t state, std::uint32_t checkpoint, std::uint32_t hint)
{
    service::PollStatus s;
    s.state = state;
    s.checkpoint = checkpoint;
    s.wait_hint = hint;
    return s;
}

TEST(ServiceWait, AlreadyStoppedNeedsOneQueryAndNoSleep)
{
    Script s{{st(stopped, 0, 0)}};
    EXPECT_EQ(s.run(), service::WaitOutcome::reached);
    EXPECT_EQ(s.next, 1u);
    EXPECT_TRUE(s.sleeps.empty());
}

TEST(ServiceWait, PollsWithTheFullWaitHintWhileCheckpointsAdvance)
{
    Script s{{st(stop_pending, 1, 3000), st(stop_pending, 2, 2500), st(stop_pending, 7, 0), st(stopped, 0, 0)}};
    EXPECT_EQ(s.run(), service::WaitOutcome::reached);
    EXPECT_EQ(s.sleeps, (std::vector<std::uint32_t>{3000, 2500, 0})) << "hints are neither divided nor clamped";
}

TEST(ServiceWait, SamePendingStateWithoutProgressGivesUpAfterTheSecondPoll)
{
    Script same{{st(stop_pending, 4, 100), st(stop_pending, 4, 100), st(stopped, 0, 0)}};
    EXPECT_EQ(same.run(), service::WaitOutcome::no_progress);
    EXPECT_EQ(same.next, 2u);
    EXPECT_EQ(same.sleeps, std::vector<std::uint32_t>{100});

    Script backwards{{st(stop_pending, 4, 100), st(stop_pending, 3, 100)}};
    EXPECT_EQ(backwards.run(), service::WaitOutcome::no_progress);
}

TEST(ServiceWait, EachPollIsComparedWithThePreviousOne)
{
    // Progress once does not excuse a stall later.
    Script s{{st(stop_pending, 1, 10), st(stop_pending, 3, 10), st(stop_pending, 3, 10), st(stopped, 0, 0)}};
    EXPECT_EQ(s.run(), service::WaitOutcome::no_progress);
    EXPECT_EQ(s.next, 3u);
}

TEST(ServiceWait, AChangeOfStateStartsTheComparisonAfresh)
{
    // From one pending state to another with a lower checkpoint: progress.
    Script s{{st(continue_pending, 9, 10), st(stop_pending, 1, 10), st(stop_pending, 2, 10), st(stopped, 0, 0)}};
    EXPECT_EQ(s.run(), service::WaitOutcome::reached);
    Script back{{st(stop_pending, 5, 10), st(running, 5, 10), st(stop_pending, 5, 10), st(stop_pending, 5, 10)}};
    EXPECT_EQ(back.run(), service::WaitOutcome::no_progress);
    EXPECT_EQ(back.next, 4u);
}

TEST(ServiceWait, AFailedQueryEndsTheWait)
{
    Script none{std::vector<service::PollStatus>{}};
    EXPECT_EQ(none.run(), service::WaitOutcome::query_failed);
    Script later{{st(stop_pending, 1, 5)}};
    EXPECT_EQ(later.run(), service::WaitOutcome::query_failed);
    EXPECT_EQ(later.sleeps, std::vector<std::uint32_t>{5});
}

TEST(ServiceWait, WaitsForAnyWantedState)
{
    Script r{{st(2, 1, 0), st(running, 0, 0)}};
    EXPECT_EQ(r.run(running), service::WaitOutcome::reached);
}

TEST(ServiceStop, OnlyStoppedOrNotInstalledLetsTheToolStart)
{
    EXPECT_TRUE(serviceStopAllowsStart(0));
    EXPECT_TRUE(serviceStopAllowsStart(1060));
    for (unsigned long code : {5ul, 1053ul, 1061ul, 1062ul, 1072ul})
        EXPECT_FALSE(serviceStopAllowsStart(code)) << code;
}

// --- the wait for a service started again ------------------------------------------------

// Statuses by the time they appear: each entry holds from its time on; time
// moves only by the sleeps.
struct StartScript {
    struct At {
        std::uint64_t ms;
        service::PollStatus status;
    };
    explicit StartScript(std::vector<At> script) : timeline(std::move(script)) {}

    std::vector<At> timeline;
    std::uint64_t now = 0;
    std::vector<std::uint32_t> sleeps;

    // `wait` on this script's statuses, sleeps and clock.
    template <class Wait>
    auto with_script(Wait&& wait)
    {
        return wait(
            [this](service::PollStatus* s) {
                for (const At& at : timeline)
                    if (at.ms <= now)
                        *s = at.status;
                return true;
            },
            [this](std::uint32_t ms) {
                sleeps.push_back(ms);
                now += ms;
            },
            [this] { return now; });
    }

    service::StartOutcome run()
    {
        return with_script([](auto&&... a) { return service::wait_until_running(a...); });
    }
    bool run_out_stop()
    {
        return with_script([](auto&&... a) { return service::wait_out_stop(a...); });
    }
};

TEST(ServiceStartWait, RunsWhenItReportsRunningAndFailsWhenItStopsOrStalls)
{
    constexpr std::uint32_t start_pending = service::state_start_pending;
    const struct {
        const char* what;
        std::vector<StartScript::At> timeline;
        service::StartOutcome outcome;
        std::uint64_t ends_by;  // the virtual time it has given up or succeeded by, at the latest
    } cases[] = {
        {"at once", {{0, st(running, 0, 0)}}, service::StartOutcome::running, 0},
        // The manager's own status, without checkpoints and hint, for 3 s:
        // a service that has not made its first report yet is no failure.
        {"slow to report",
         {{0, st(start_pending, 0, 0)}, {3000, st(start_pending, 1, 2000)}, {3500, st(running, 0, 0)}},
         service::StartOutcome::running,
         3600},
        {"checkpoints",
         {{0, st(start_pending, 1, 8000)}, {5000, st(start_pending, 2, 8000)}, {12000, st(running, 0, 0)}},
         service::StartOutcome::running,
         13000},
        {"stops again",
         {{0, st(start_pending, 1, 500)}, {700, st(stopped, 0, 0)}},
         service::StartOutcome::stopped,
         800},
        {"stalls",
         {{0, st(start_pending, 1, 500)}},
         service::StartOutcome::no_progress,
         service::start_patience_ms + 100},
        {"stalls past a long hint", {{0, st(start_pending, 4, 20000)}}, service::StartOutcome::no_progress, 21100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StartScript s{c.timeline};
        EXPECT_EQ(s.run(), c.outcome);
        EXPECT_LE(s.now, c.ends_by);
        for (std::uint32_t ms : s.sleeps) {
            EXPECT_GE(ms, 50u) << "polls are not made back to back";
            EXPECT_LE(ms, 1000u);
        }
    }
    // Stalled, it waits the whole patience before it gives up.
    StartScript stalled{{{0, st(start_pending, 1, 500)}}};
    stalled.run();
    EXPECT_GT(stalled.now, service::start_patience_ms);
}

TEST(ServiceStartWait, AServiceStillStoppingIsWaitedOutBeforeItIsStartedAgain)
{
    // Its stop was taken, but the wait for it gave up: it stopped making
    // progress for a while, as the stuck service of the Windows tests does.
    constexpr std::uint32_t stop_pending = service::state_stop_pending;
    const struct {
        const char* what;
        std::vector<StartScript::At> timeline;
        bool may_start;
        std::uint64_t ends_by;
    } cases[] = {
        {"stopped already", {{0, st(stopped, 0, 0)}}, true, 0},
        {"stops late", {{0, st(stop_pending, 3, 100)}, {4000, st(stopped, 0, 0)}}, true, 4100},
        {"still running: it never took the stop", {{0, st(running, 0, 0)}}, true, 0},
        {"stuck", {{0, st(stop_pending, 3, 100)}}, false, service::start_patience_ms + 100},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StartScript s{c.timeline};
        EXPECT_EQ(s.run_out_stop(), c.may_start);
        EXPECT_LE(s.now, c.ends_by);
        if (!c.may_start) {
            EXPECT_GT(s.now, service::start_patience_ms) << "gave up before its patience ran out";
        }
    }
}

}  // namespace
