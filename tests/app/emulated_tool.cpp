// zarvik-update-emulated: the tool's window on the emulated bus, for driving
// it as a person would (clicks on a display) where no printer can be attached
// (under wine, in benchmarks).  One printer of the tool's model is attached,
// then start-up runs as in app/main.cpp.
//
// Environment, all optional:
//   ZARVIK_EMU_STORE=DIR      at exit, every printer's files go to
//                             DIR/printer-N/<name> (N counts printers from 1,
//                             name is the stored path's last part), with
//                             DIR/summary.txt: one line per file,
//                             "printer=N path=P size=S complete=0|1 installed=0|1"
//   ZARVIK_EMU_VANISH_AT=K    the first printer is unplugged at its bulk
//                             transfer K (0-based), as if its cable were pulled
//   ZARVIK_EMU_REPLUG=FILE    once a printer is gone and FILE exists, a new one
//                             is plugged in (at the next address)
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QTimer>

#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "libusb/usb_bus.h"
#include "main_wnd.h"
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

bool write_store(const std::string& dir)
{
    std::ofstream summary(dir + "/summary.txt", std::ios::binary | std::ios::trunc);
    for (std::size_t n = 0; n < printers.size(); ++n) {
        const std::string folder = dir + "/printer-" + std::to_string(n + 1);
        QDir().mkpath(QString::fromStdString(folder));
        for (const auto& entry : printers[n]->files()) {
            const std::string& path = entry.first;
            const std::string name = path.substr(path.find_last_of('/') + 1);
            std::ofstream out(folder + "/" + name, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(entry.second.data.data()),
                      static_cast<std::streamsize>(entry.second.data.size()));
            bool installed = false;
            for (const emu::Install& install : printers[n]->installs())
                installed = installed || (install.path == path && install.complete);
            summary << "printer=" << n + 1 << " path=" << path << " size=" << entry.second.data.size()
                    << " complete=" << entry.second.complete << " installed=" << installed << "\n";
            if (!out)
                return false;
        }
    }
    return static_cast<bool>(summary);
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
    if (!store.empty() && !write_store(store))
        return 3;
    return status;
}
