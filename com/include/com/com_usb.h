// The USB link: one printer model, reached with libusb-1.0 over bulk endpoints.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "com.h"
#include "devices.h"

struct libusb_device_handle;

namespace com {

struct TransferRules;

class ComUsb : public Com {
public:
    // Throws std::runtime_error "not specify vid or pid" for an id of 0 and
    // "init libusb failed" when libusb-1.0 cannot be initialised.
    ComUsb(std::uint16_t vendor_id, std::uint16_t product_id, std::string log_dir, bool log_enabled);
    // A link to the one printer at this bus number and device address:
    // com_open takes the device there when it carries these ids, and no other.
    ComUsb(std::uint16_t vendor_id, std::uint16_t product_id, std::uint8_t bus_number, std::uint8_t device_address,
           std::string log_dir, bool log_enabled);
    ~ComUsb() override;

    int com_open(unsigned timeout_ms, bool take_control) override;
    int com_close() override;
    int com_is_closed() override;
    int com_write(const void* data, int length, int* written, unsigned timeout_ms) override;
    int com_readline(char* buffer, int buffer_size, int* line_length, unsigned timeout_ms) override;
    int com_send_file(const std::string& local_path, const std::string& remote_path, ProgressCallback progress,
                      void* context, int progress_scale, const std::string& closing_argument,
                      unsigned timeout_ms) override;
    int com_read(void* buffer, int length, int* received, unsigned timeout_ms) override;
    int com_clear_buffer(unsigned timeout_ms) override;

    const EndpointSet& endpoint_set() const { return endpoints; }
    // The packet size of the reply endpoint, read from its descriptor at open.
    unsigned reply_packet_bytes() const { return reply_packet; }

private:
    int write_data(const std::uint8_t* data, unsigned length, unsigned* moved, unsigned timeout_ms) override;

    // Every bulk transfer of the link goes through here: one transfer, and
    // its outcome mapped to a result code and a log line by `rules`.
    // `moved` gets the bytes the transfer moved, also when it failed.
    int transfer(const TransferRules& rules, std::uint8_t endpoint, void* data, int length, int* moved,
                 unsigned timeout_ms);
    // One transfer of reply bytes into the line buffer, `room` bytes at most.
    int receive_replies(const TransferRules& rules, std::uint32_t room, unsigned timeout_ms);
    // Gives the printer back and closes it, whatever the log throws meanwhile.
    void close_quietly() noexcept;
    void release_and_close() noexcept;
    // Opens the device at `place` if it carries the link's ids; nullptr otherwise.
    libusb_device_handle* open_at_place() const;

    libusb_device_handle* handle = nullptr;
    EndpointSet endpoints{0, 0, 0, 0};
    unsigned reply_packet = 0;
    std::uint16_t vendor_id;
    std::uint16_t product_id;

    // Set: only the printer there is opened.  Unset: the first with the ids.
    std::optional<UsbPlace> place;
};

}  // namespace com
