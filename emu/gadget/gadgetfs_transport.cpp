#include "gadgetfs_transport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <linux/usb/ch9.h>
#include <linux/usb/gadgetfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "printer/usb_descriptors.h"

namespace emu {
namespace gadget {

namespace {

// Endpoint files of the dummy device controller (dummy_hcd).  gadgetfs hands
// the host the addresses of the descriptors written to them, so one set of
// files serves endpoint set A and set B alike.
constexpr const char* cmd_in_file = "ep1in-bulk";
constexpr const char* cmd_out_file = "ep1out-bulk";
constexpr const char* data_in_file = "ep-bin";
constexpr const char* data_out_file = "ep-aout";

constexpr std::size_t largest_data_read = 16384;
constexpr std::size_t reply_capacity = 4096;

std::string errno_text(const std::string& what)
{
    return what + ": " + std::strerror(errno);
}

// The controller file gadgetfs offers before the gadget is bound: the one
// entry of the folder that is not an endpoint.
std::string find_controller(const std::string& folder)
{
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        throw std::runtime_error(errno_text("cannot list " + folder));
    std::string found;
    while (dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == ".." || name.compare(0, 2, "ep") == 0)
            continue;
        found = name;
        break;
    }
    ::closedir(dir);
    if (found.empty())
        throw std::runtime_error("no device controller in " + folder + " (is gadgetfs mounted and dummy_hcd loaded?)");
    return found;
}

void append(usb::Bytes& out, const usb::Bytes& more)
{
    out.insert(out.end(), more.begin(), more.end());
}

// What binds the gadget, written to the controller file: tag 0, the
// full-speed configuration, the high-speed configuration, the device descriptor.
usb::Bytes controller_setup(const Identity& identity)
{
    usb::Bytes out{0, 0, 0, 0};
    append(out, printer_configuration(identity, usb::full_speed_bulk_packet));
    append(out, printer_configuration(identity, usb::high_speed_bulk_packet));
    append(out, printer_device_descriptor(identity));
    return out;
}

// What enables an endpoint, written to its file: tag 1, the full-speed and
// the high-speed bulk endpoint descriptor.
usb::Bytes endpoint_setup(std::uint8_t address)
{
    usb::Bytes out{1, 0, 0, 0};
    append(out, usb::endpoint_descriptor({address, 2, usb::full_speed_bulk_packet, 0}));
    append(out, usb::endpoint_descriptor({address, 2, usb::high_speed_bulk_packet, 0}));
    return out;
}

bool write_all(int fd, const std::vector<std::uint8_t>& bytes)
{
    return ::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

}  // namespace

GadgetfsTransport::GadgetfsTransport(Identity identity, std::string folder, std::FILE* answers)
    : identity_(std::move(identity)), folder_(std::move(folder)), answers_(answers), service_(identity_)
{
    endpoints_ = {
        Endpoint{identity_.endpoints.cmd_in, cmd_in_file, -1},
        Endpoint{identity_.endpoints.cmd_out, cmd_out_file, -1},
        Endpoint{identity_.endpoints.data_in, data_in_file, -1},
        Endpoint{identity_.endpoints.data_out, data_out_file, -1},
    };
}

void GadgetfsTransport::say(const std::string& line)
{
    const std::string text = line + "\n";
    std::fputs(text.c_str(), answers_);
    std::fflush(answers_);
}

void GadgetfsTransport::bind()
{
    const std::string controller = find_controller(folder_);
    ep0_ = ::open((folder_ + "/" + controller).c_str(), O_RDWR);
    if (ep0_ < 0)
        throw std::runtime_error(errno_text("cannot open " + controller));
    if (!write_all(ep0_, controller_setup(identity_)))
        throw std::runtime_error(errno_text("gadgetfs refused the descriptors"));
    char ids[64];
    std::snprintf(ids, sizeof ids, "%04x:%04x", identity_.vendor_id, identity_.product_id);
    say(std::string("bound ") + controller + " " + ids);
}

int GadgetfsTransport::serve(int control_fd)
{
    pollfd watched[2] = {{ep0_, POLLIN, 0}, {control_fd, POLLIN, 0}};
    for (;;) {
        if (::poll(watched, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "gadget: %s\n", errno_text("poll").c_str());
            return 1;
        }
        if (watched[0].revents & POLLIN)
            handle_events();
        if (watched[1].revents & (POLLIN | POLLHUP)) {
            if (!handle_control_input(control_fd))
                break;
        }
    }
    service_.stop();
    std::fflush(answers_);
    // The endpoint threads sit in blocking reads and writes: ending the
    // process closes every file, which unbinds the gadget.
    _exit(0);
}

bool GadgetfsTransport::handle_control_input(int control_fd)
{
    char buffer[4096];
    const ssize_t got = ::read(control_fd, buffer, sizeof buffer);
    if (got <= 0)
        return false;  // the controlling program is gone
    control_pending_.append(buffer, static_cast<std::size_t>(got));
    std::size_t end;
    while ((end = control_pending_.find('\n')) != std::string::npos) {
        const std::string line = control_pending_.substr(0, end);
        control_pending_.erase(0, end + 1);
        say(service_.control(line));
        if (service_.unplug_requested())
            return false;
    }
    return true;
}

void GadgetfsTransport::handle_events()
{
    usb_gadgetfs_event events[5];
    const ssize_t got = ::read(ep0_, events, sizeof events);
    if (got < 0) {
        if (errno != EINTR && errno != EAGAIN)
            std::fprintf(stderr, "gadget: %s\n", errno_text("reading ep0 events").c_str());
        return;
    }
    const std::size_t count = static_cast<std::size_t>(got) / sizeof events[0];
    for (std::size_t i = 0; i < count; ++i) {
        const usb_gadgetfs_event& event = events[i];
        switch (event.type) {
        case GADGETFS_CONNECT:
            packet_ = event.u.speed == USB_SPEED_HIGH ? 512 : 64;
            say(std::string("connect ") + (event.u.speed == USB_SPEED_HIGH ? "high-speed" : "full-speed"));
            break;
        case GADGETFS_SETUP:
            handle_setup(&event.u.setup);
            break;
        case GADGETFS_DISCONNECT:
            say("disconnect");
            break;
        case GADGETFS_SUSPEND:
        case GADGETFS_NOP:
            break;
        }
    }
}

void GadgetfsTransport::handle_setup(const void* raw)
{
    usb_ctrlrequest setup;
    std::memcpy(&setup, raw, sizeof setup);
    const bool device_to_host = (setup.bRequestType & USB_DIR_IN) != 0;
    const unsigned value = setup.wValue;
    const unsigned length = setup.wLength;

    auto acknowledge = [&] {
        if (::read(ep0_, nullptr, 0) < 0)
            std::fprintf(stderr, "gadget: %s\n", errno_text("acknowledging a control request").c_str());
    };
    auto stall = [&] {
        // gadgetfs stalls ep0 on a transfer against the request's direction;
        // the call itself fails with EL2HLT by design.
        char none = 0;
        if (device_to_host)
            (void)!::read(ep0_, &none, 0);
        else
            (void)!::write(ep0_, &none, 0);
    };

    if (setup.bRequestType == USB_DIR_IN && setup.bRequest == USB_REQ_GET_DESCRIPTOR && (value >> 8) == USB_DT_STRING) {
        const std::vector<std::uint8_t> descriptor = printer_string(identity_, static_cast<std::uint8_t>(value));
        if (descriptor.empty()) {
            stall();
            return;
        }
        const std::size_t size = std::min<std::size_t>(descriptor.size(), length);
        if (::write(ep0_, descriptor.data(), size) < 0)
            std::fprintf(stderr, "gadget: %s\n", errno_text("answering a string request").c_str());
        return;
    }
    if (setup.bRequestType == USB_RECIP_DEVICE && setup.bRequest == USB_REQ_SET_CONFIGURATION) {
        if (value == 1 && !configured_)
            configure();
        acknowledge();
        return;
    }
    if (setup.bRequestType == USB_RECIP_INTERFACE && setup.bRequest == USB_REQ_SET_INTERFACE && value == 0) {
        acknowledge();
        return;
    }
    stall();
}

void GadgetfsTransport::configure()
{
    for (Endpoint& endpoint : endpoints_) {
        const std::string path = folder_ + "/" + endpoint.file;
        endpoint.fd = ::open(path.c_str(), O_RDWR);
        if (endpoint.fd < 0 || !write_all(endpoint.fd, endpoint_setup(endpoint.address))) {
            std::fprintf(stderr, "gadget: %s\n", errno_text("cannot enable " + path).c_str());
            _exit(2);
        }
    }
    threads_.emplace_back(&GadgetfsTransport::in_loop, this, &endpoints_[0]);
    threads_.emplace_back(&GadgetfsTransport::out_loop, this, &endpoints_[1]);
    threads_.emplace_back(&GadgetfsTransport::out_loop, this, &endpoints_[3]);
    for (std::thread& thread : threads_)
        thread.detach();
    configured_ = true;
    char line[64];
    std::snprintf(line, sizeof line, "configured %02x %02x %02x %02x", identity_.endpoints.cmd_in,
                  identity_.endpoints.cmd_out, identity_.endpoints.data_in, identity_.endpoints.data_out);
    say(line);
}

void GadgetfsTransport::out_loop(const Endpoint* endpoint)
{
    const bool data = endpoint->address == identity_.endpoints.data_out;
    std::vector<std::uint8_t> buffer(largest_data_read);
    for (;;) {
        const std::size_t want = data ? service_.data_read_size(packet_, largest_data_read) : packet_;
        const ssize_t got = ::read(endpoint->fd, buffer.data(), want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "gadget: %s\n", errno_text("reading " + endpoint->file).c_str());
            return;
        }
        if (!service_.take(endpoint->address, buffer.data(), static_cast<std::size_t>(got)))
            vanish();
    }
}

void GadgetfsTransport::in_loop(const Endpoint* endpoint)
{
    std::vector<std::uint8_t> chunk;
    while (service_.next_reply(chunk, reply_capacity)) {
        ssize_t written;
        do
            written = ::write(endpoint->fd, chunk.data(), chunk.size());
        while (written < 0 && errno == EINTR);
        if (written < 0) {
            std::fprintf(stderr, "gadget: %s\n", errno_text("writing " + endpoint->file).c_str());
            return;
        }
    }
    if (service_.gone())
        vanish();
}

void GadgetfsTransport::vanish()
{
    say("vanished after " + std::to_string(service_.data_bytes()) + " data bytes");
    _exit(0);
}

}  // namespace gadget
}  // namespace emu
