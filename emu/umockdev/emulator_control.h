// The control socket of zarvik-printer-emulator, from the program it runs:
// the typed calls of ControlClient over a Unix socket.
#pragma once

#include <string>

#include "printer/control_client.h"

namespace emu {

class EmulatorControl : public ControlClient {
public:
    // The socket named in the environment (control::socket_variable).
    EmulatorControl();
    explicit EmulatorControl(const std::string& socket_path);
    ~EmulatorControl() override;
    EmulatorControl(const EmulatorControl&) = delete;
    EmulatorControl& operator=(const EmulatorControl&) = delete;

    // True when this process runs under the emulator with a control socket.
    static bool available();

private:
    std::string exchange(const std::string& line) override;

    int fd_ = -1;
    std::string buffered_;
};

}  // namespace emu
