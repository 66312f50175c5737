#include "bench_world.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <ftw.h>
#include <libusb.h>
#include <sys/stat.h>
#include <unistd.h>

#include "clock/virtual_clock.h"
#include "com/local_file.h"
#include "com/result.h"
#include "libusb/usb_bus.h"

namespace bench {

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return ::remove(path);
}

}  // namespace

ScratchFolder::ScratchFolder(const char* tag)
{
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/zarvik-bench-" + tag + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!::mkdtemp(buffer.data()))
        throw std::runtime_error("cannot make a scratch folder from " + pattern);
    path_ = buffer.data();
}

ScratchFolder::~ScratchFolder()
{
    ::nftw(path_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void write_firmware(const std::string& path, std::uint64_t size)
{
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        throw std::runtime_error("cannot write " + path);
    std::vector<unsigned char> block(1 << 16);
    std::uint32_t x = 2463534242u;
    for (std::uint64_t done = 0; done < size;) {
        for (unsigned char& b : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            b = static_cast<unsigned char>(x >> 24);
        }
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(block.size(), size - done));
        if (std::fwrite(block.data(), 1, n, f) != n) {
            std::fclose(f);
            throw std::runtime_error("cannot write " + path);
        }
        done += n;
    }
    std::fclose(f);
}

std::shared_ptr<emu::Printer> fresh_printer()
{
    emu::UsbBus& bus = emu::UsbBus::instance();
    bus.detach_all();
    auto printer = bus.attach_printer(vendor_id, product_id);
    printer->set_record_payloads(false);
    return printer;
}

void check_upload(const emu::Printer& printer, std::uint64_t size, const char* what)
{
    if (!printer.violations().empty())
        throw std::runtime_error(std::string(what) + ": the printer saw: " + printer.violations().front());
    const auto it = printer.files().find(remote_path);
    if (it == printer.files().end() || !it->second.complete || it->second.data.size() != size)
        throw std::runtime_error(std::string(what) + ": the printer did not store the whole file");
}

std::unique_ptr<com::ComUsb> make_link(const std::string& log_dir, bool log_enabled)
{
    return std::make_unique<com::ComUsb>(vendor_id, product_id, log_dir, log_enabled);
}

BareLink::BareLink() : endpoints(com::endpoints_for_product(product_id))
{
    if (libusb_init(nullptr) < 0)
        throw std::runtime_error("bare loop: libusb_init failed");
}

BareLink::~BareLink()
{
    close();
    libusb_exit(nullptr);
}

void BareLink::open()
{
    close();
    handle = libusb_open_device_with_vid_pid(nullptr, vendor_id, product_id);
    if (!handle || libusb_claim_interface(handle, 0) != 0)
        throw std::runtime_error("bare loop: cannot open the printer");
    int got = 0;
    libusb_bulk_transfer(handle, endpoints.cmd_in, reply_buffer, sizeof reply_buffer, &got, 100);
    command("~M601 S0\r\n");
    reply();
    reply();
    reply();
}

void BareLink::close()
{
    if (!handle)
        return;
    command("~M602\r\n");
    reply();
    reply();
    reply();
    libusb_release_interface(handle, 0);
    libusb_close(handle);
    handle = nullptr;
}

void BareLink::command(const char* line)
{
    int sent = 0;
    libusb_bulk_transfer(handle, endpoints.cmd_out,
                         reinterpret_cast<unsigned char*>(const_cast<char*>(line)),
                         static_cast<int>(std::strlen(line)), &sent, timeout_ms);
}

void BareLink::reply()
{
    int got = 0;
    libusb_bulk_transfer(handle, endpoints.cmd_in, reply_buffer, sizeof reply_buffer, &got, timeout_ms);
}

void BareLink::upload(const std::string& local_path)
{
    com::LocalFile file(local_path, true, false);
    if (!file.open())
        throw std::runtime_error("bare loop: cannot open " + local_path);
    const std::int64_t size = file.size();
    char line[256];
    std::snprintf(line, sizeof line, "~M28 %lld %s\r\n", static_cast<long long>(size), remote_path);
    command(line);
    reply();
    reply();
    reply();

    unsigned char piece[piece_bytes];
    for (std::int64_t sent = 0; sent < size;) {
        const unsigned want = static_cast<unsigned>(std::min<std::int64_t>(piece_bytes, size - sent));
        unsigned got = 0;
        if (!file.read(piece, want, &got) || got == 0)
            throw std::runtime_error("bare loop: cannot read " + local_path);
        int transferred = 0;
        if (libusb_bulk_transfer(handle, endpoints.data_out, piece, static_cast<int>(got), &transferred,
                                 timeout_ms) != 0)
            throw std::runtime_error("bare loop: a data transfer failed");
        sent += got;
    }

    command("~M29\r\n");
    reply();
    reply();
    reply();
}

namespace {

// The tool's progress callback emits a signal; this one does as little.
void note_progress(int percent, float, void* context)
{
    *static_cast<int*>(context) = percent;
}

int last_percent = 0;

}  // namespace

UploadRig::UploadRig(std::uint64_t file_bytes, bool log_enabled) : size(file_bytes)
{
    firmware = folder.file("firmware.bin");
    write_firmware(firmware, size);
    const std::string log_dir = folder.file("log");
    ::mkdir(log_dir.c_str(), 0777);
    emu::VirtualClock::reset();
    link = make_link(log_dir, log_enabled);
    bare = std::make_unique<BareLink>();
}

UploadRig::~UploadRig()
{
    link.reset();
    bare.reset();
    emu::UsbBus::instance().detach_all();
}

void UploadRig::ready(Side side)
{
    link->com_close();
    bare->close();
    emu::VirtualClock::reset();
    printer = fresh_printer();
    if (side == Side::link) {
        const int code = link->com_open(timeout_ms, true);
        if (code != com::COM_SUCCESS)
            throw std::runtime_error("the link did not open: code " + std::to_string(code));
    } else {
        bare->open();
    }
}

void UploadRig::run(Side side)
{
    if (side == Side::link) {
        const int code =
            link->com_send_file(firmware, remote, note_progress, &last_percent, 100, no_closing_argument, timeout_ms);
        if (code != com::COM_SUCCESS)
            throw std::runtime_error("the link's upload failed: code " + std::to_string(code));
    } else {
        bare->upload(firmware);
    }
}

void UploadRig::check(Side side) const
{
    check_upload(*printer, size, side == Side::link ? "link upload" : "bare loop");
}

}  // namespace bench
