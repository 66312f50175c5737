#include "history/records.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>

namespace history {

const char* outcome_name(Outcome outcome)
{
    switch (outcome) {
    case Outcome::updated:
        return "updated";
    case Outcome::failed:
        return "failed";
    case Outcome::stopped:
        return "stopped";
    case Outcome::interrupted:
        return "interrupted";
    case Outcome::running:
        return "running";
    case Outcome::unknown:
        break;
    }
    return "unknown";
}

const char* file_state_name(FileState state)
{
    switch (state) {
    case FileState::reached:
        return "reached";
    case FileState::installed:
        return "installed";
    case FileState::may_have_been_taken_up:
        return "may_have_been_taken_up";
    case FileState::not_installed:
        break;
    }
    return "not_installed";
}

bool installed_exactly(const PrinterRun& r, const std::vector<PlannedFile>& plan)
{
    if (r.outcome != Outcome::updated || r.files.size() != plan.size())
        return false;
    std::vector<std::pair<std::string, std::string>> had, wanted;
    for (const PrinterRun::File& f : r.files) {
        if (f.state != FileState::installed)
            return false;
        had.emplace_back(f.planned.printer_name, f.planned.sha256);
    }
    for (const PlannedFile& f : plan)
        wanted.emplace_back(f.printer_name, f.sha256);
    std::sort(had.begin(), had.end());
    std::sort(wanted.begin(), wanted.end());
    return had == wanted;
}

std::string utc_text(std::int64_t unix_ms)
{
    const std::time_t seconds = static_cast<std::time_t>(unix_ms / 1000);
    std::tm t{};
#ifdef _WIN32
    gmtime_s(&t, &seconds);
#else
    gmtime_r(&seconds, &t);
#endif
    char text[96];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday,
                  t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(unix_ms % 1000));
    return text;
}

std::string utc_now()
{
    using namespace std::chrono;
    return utc_text(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

std::string parse_date(const std::string& text)
{
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 'T';
    int used = 0;
    const int n = std::sscanf(text.c_str(), "%4d-%2d-%2d%n%c%2d:%2d%n:%2d%n", &year, &month, &day, &used, &separator,
                              &hour, &minute, &used, &second, &used);
    const bool whole =
        static_cast<std::size_t>(used) == text.size() || text.substr(static_cast<std::size_t>(used)) == "Z";
    if (n < 3 || n == 4 || n == 5 || !whole || (n > 3 && separator != 'T' && separator != ' ') || month < 1 ||
        month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60 || year < 1970)
        return std::string();
    char out[96];
    std::snprintf(out, sizeof out, "%04d-%02d-%02dT%02d:%02d:%02d.000Z", year, month, day, hour, minute, second);
    return out;
}

}  // namespace history
