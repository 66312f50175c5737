#include "virtual_clock.h"

#include <atomic>
#include <chrono>
#include <mutex>

namespace emu {

namespace {

// The hot reads (the tick counter once per uploaded piece, the wall clock per
// log line) take no lock; only the list of sleeps does.
struct State {
    std::atomic<std::uint64_t> start_filetime{com::platform::utc_to_filetime(VirtualClock::default_start())};
    std::atomic<std::uint64_t> elapsed{0};
    std::atomic<std::uint32_t> tick_base{1000000u};
    std::mutex sleeps_mutex;
    std::vector<unsigned> sleeps;
};

State& state()
{
    static State s;
    return s;
}

}  // namespace

com::platform::UtcTime VirtualClock::default_start()
{
    com::platform::UtcTime t;
    t.year = 2021;
    t.month = 4;
    t.day = 20;
    t.hour = 6;
    t.minute = 43;
    t.second = 1;
    return t;
}

void VirtualClock::reset(const com::platform::UtcTime& start, std::uint32_t tick)
{
    State& s = state();
    s.start_filetime = com::platform::utc_to_filetime(start);
    s.elapsed = 0;
    s.tick_base = tick;
    std::lock_guard<std::mutex> lock(s.sleeps_mutex);
    s.sleeps.clear();
}

void VirtualClock::advance(std::uint64_t milliseconds)
{
    state().elapsed += milliseconds;
}

std::uint64_t VirtualClock::elapsed_ms()
{
    return state().elapsed.load();
}

void VirtualClock::set_tick(std::uint32_t tick)
{
    State& s = state();
    s.tick_base = tick - static_cast<std::uint32_t>(s.elapsed.load());
}

std::vector<unsigned> VirtualClock::sleeps()
{
    State& s = state();
    std::lock_guard<std::mutex> lock(s.sleeps_mutex);
    return s.sleeps;
}

}  // namespace emu

// The platform clock, served from the virtual one.
namespace com {
namespace platform {

UtcTime utc_now()
{
    emu::State& s = emu::state();
    return filetime_to_utc(s.start_filetime.load() + s.elapsed.load() * 10000u);
}

std::uint32_t tick_count()
{
    emu::State& s = emu::state();
    return s.tick_base.load(std::memory_order_relaxed) +
           static_cast<std::uint32_t>(s.elapsed.load(std::memory_order_relaxed));
}

void sleep_ms(unsigned milliseconds)
{
    emu::State& s = emu::state();
    {
        std::lock_guard<std::mutex> lock(s.sleeps_mutex);
        s.sleeps.push_back(milliseconds);
    }
    s.elapsed += milliseconds;
}

// A wait costs virtual time: what another thread does within a moment of real
// time ends it early; otherwise the clock moves on by the whole wait.
bool wait_ready(std::condition_variable& condition, std::unique_lock<std::mutex>& lock, unsigned milliseconds,
                const std::function<bool()>& ready)
{
    if (ready() || milliseconds == 0)
        return ready();
    if (condition.wait_for(lock, std::chrono::milliseconds(1), ready))
        return true;
    emu::state().elapsed += milliseconds;
    return ready();
}

}  // namespace platform
}  // namespace com
