// zarvik-update-emulated: the tool's window on the emulated bus, for driving
// it as a person would (clicks on a display) where no printer can be attached
// (under wine, in benchmarks).  One printer of the tool's model is attached,
// then start-up runs as in app/main.cpp.
//
// Environment, all optional:
//   ZARVIK_EMU_STORE=DIR      at exit, every printer's files go to DIR as the
//                             printer emulator's --store writes them
//                             (emu/printer/store.h; N counts printers from 1)
//   ZARVIK_EMU_VANISH_AT=K    the first printer is unplugged at its bulk
//                             transfer K (0-based), as if its cable were pulled
//   ZARVIK_EMU_REPLUG=FILE    once a printer is gone and FILE exists, a new one
//                             is plugged in (at the next address)
#include <QApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "libusb/usb_bus.h"
#include "main_wnd.h"
#include "printer/store.h"
#include "service/background_service.h"

namespace {

std::string environment(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::vector<std::shared_ptr<emu::Printer>> printers;
std::uint8_t next_address = 5;

void plug_printer()
{
    printers.push_back(emu::UsbBus::instance().attach_printer(UpdateFirmware::TARGET_VENDOR_ID,
                                                              UpdateFirmware::TARGET_PRODUCT_ID, 1, next_address++));
}

}  // namespace

int main(int argc, char* argv[])
{
    plug_printer();
    const std::string vanish_at = environment("ZARVIK_EMU_VANISH_AT");
    if (!vanish_at.empty())
        printers.front()->fault_at(std::stoull(vanish_at), emu::FaultKind::vanish);

    QApplication application(argc, argv);
    const QString replug = QString::fromStdString(environment("ZARVIK_EMU_REPLUG"));
    QTimer replugger;
    if (!replug.isEmpty()) {
        QObject::connect(&replugger, &QTimer::timeout, [&] {
            if (!printers.back()->present() && QFileInfo::exists(replug)) {
                emu::UsbBus::instance().detach(emu::UsbBus::instance().find(printers.back().get()));
                plug_printer();
            }
        });
        replugger.start(200);
    }

    if (!stopBackgroundService())
        return 0;
    int status = 0;
    {
        MainWnd window;
        window.show();
        status = application.exec();
    }
    const std::string store = environment("ZARVIK_EMU_STORE");
    std::string error;
    if (!store.empty() && !emu::write_store(store, printers, &error)) {
        std::fprintf(stderr, "zarvik-update-emulated: %s\n", error.c_str());
        return 3;
    }
    return status;
}
