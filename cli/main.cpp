// zarvik: see zarvik.h.
#include <memory>

#include "console.h"
#include "service/background.h"
#include "service_hold.h"
#include "zarvik.h"

int main(int argc, char** argv)
{
    const zarvik::ProcessStreams streams;
    zarvik::Io io = streams.io();
    io.program_dir = zarvik::program_dir();
#ifdef _WIN32
    // The printer maker's service holds the printers while it runs.
    const std::unique_ptr<zarvik::ServiceManager> background = zarvik::windows_service(service::background_name);
    io.service = background.get();
#endif
    return zarvik::run(zarvik::command_line(argc, argv), io);
}
