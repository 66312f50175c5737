// zarvik-service-stop: start-up's service step on its own, for a console.
//
//   zarvik-service-stop [NAME]
//
// Stops the background service (or the service NAME) as the tool does before
// it opens its window, prints the result code and what start-up would do with
// it, and exits with 0 when start-up would go on, 1 when it would show the
// warning and end.  It carries the tool's manifest, so Windows asks for
// administrator rights as it does for the tool.
#include <cstdio>
#include <string>

#include "background_service.h"
#include "service/service_control.h"

int main(int argc, char* argv[])
{
    if (argc > 2) {
        std::fprintf(stderr, "usage: zarvik-service-stop [NAME]\n");
        return 2;
    }
    const std::string name = argc == 2 ? argv[1] : service::background_name;
    std::wstring wide_name(name.size() + 1, L'\0');
    const int units =
        MultiByteToWideChar(CP_ACP, 0, name.c_str(), -1, &wide_name[0], static_cast<int>(wide_name.size()));
    if (units <= 0) {
        std::fprintf(stderr, "zarvik-service-stop: bad service name\n");
        return 2;
    }
    wide_name.resize(static_cast<std::size_t>(units - 1));

    const DWORD code = stopService(wide_name.c_str());
    const bool goes_on = serviceStopAllowsStart(code);
    std::printf("%s: %lu (%s)\n", name.c_str(), static_cast<unsigned long>(code),
                goes_on ? "start-up goes on" : "start-up stops: Failed to stop background service");
    return goes_on ? 0 : 1;
}
