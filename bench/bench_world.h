// What every benchmark of the link stands on: a scratch folder, a firmware
// file, the emulated bus with fresh printers, the link as the tool opens it,
// and a bare transfer loop to hold the link's upload against.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "com/com_usb.h"
#include "com/devices.h"
#include "printer/printer.h"

struct libusb_device_handle;

namespace bench {

constexpr std::uint16_t vendor_id = com::ids::vendor_halvenn;
constexpr std::uint16_t product_id = com::ids::product_orbrey;
constexpr unsigned piece_bytes = 4096;
constexpr unsigned timeout_ms = 10000;
constexpr const char* remote_path = "0:/sys/orbrey.bin";  // where the tool puts its firmware

// A new empty folder under the system's temporary folder, removed with
// everything in it when the object goes.
class ScratchFolder {
public:
    explicit ScratchFolder(const char* tag);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes `size` pseudo-random bytes to `path`.
void write_firmware(const std::string& path, std::uint64_t size);

// Unplugs everything from the emulated bus and plugs in one printer of the
// tool's model; the printer keeps no payloads.
std::shared_ptr<emu::Printer> fresh_printer();

// Throws std::runtime_error with `what` when the printer has not stored the
// whole upload or saw anything a careful host never does.
void check_upload(const emu::Printer& printer, std::uint64_t size, const char* what);

// The link, as the tool makes it.
std::unique_ptr<com::ComUsb> make_link(const std::string& log_dir, bool log_enabled);

// The same transfers as the link's upload, and nothing else: the file read in
// 4096-byte pieces through the same file API, the same bulk transfers to the
// same endpoints, the replies read and not looked at.
class BareLink {
public:
    BareLink();
    ~BareLink();
    BareLink(const BareLink&) = delete;
    BareLink& operator=(const BareLink&) = delete;

    // Opens the printer and takes control with the same transfers as the
    // link's com_open: one read for stale replies, "~M601 S0" and three replies.
    void open();
    // Gives the printer back ("~M602", three replies) and closes it.
    void close();
    // "~M28", three replies, the data, "~M29", three replies.
    void upload(const std::string& local_path);

private:
    void command(const char* line);
    void reply();

    libusb_device_handle* handle = nullptr;
    com::EndpointSet endpoints;
    unsigned char reply_buffer[4096];
};

// One firmware file, the link and the bare loop, each uploading it to a fresh
// printer.  `ready` does the untimed set-up (a fresh printer, the chosen side
// opened and in control, the virtual clock reset); `run` the upload alone.
class UploadRig {
public:
    enum class Side { link, bare };

    UploadRig(std::uint64_t file_bytes, bool log_enabled);
    ~UploadRig();

    void ready(Side side);
    void run(Side side);
    // Throws when the last upload did not arrive whole or broke a rule.
    void check(Side side) const;

    std::uint64_t file_bytes() const { return size; }
    std::uint64_t pieces() const { return (size + piece_bytes - 1) / piece_bytes; }

private:
    ScratchFolder folder{"upload"};
    std::string firmware;
    const std::string remote{remote_path};
    const std::string no_closing_argument;
    std::uint64_t size;
    std::unique_ptr<com::ComUsb> link;
    std::unique_ptr<BareLink> bare;
    std::shared_ptr<emu::Printer> printer;
};

}  // namespace bench
