// The USB link: one printer model, reached with libusb-1.0 over bulk endpoints.
#pragma once

#include <cstdint>
#include <string>

#include "com.h"
#include "devices.h"

struct libusb_device_handle;

namespace com {

class ComUsb : public Com {
public:
    // Throws std::runtime_error "not specify vid or pid" for an id of 0 and
    // "init libusb failed" when libusb-1.0 cannot be initialised.
    ComUsb(std::uint16_t vendor_id, std::uint16_t product_id, std::string log_dir, bool log_enabled);
    ~ComUsb() override;

    int com_open(unsigned timeout_ms, bool take_control) override;
    int com_close() override;
    int com_is_closed() override;
    int com_write(const void* data, int length, int* written, unsigned timeout_ms) override;
    int com_readline(char* buffer, int buffer_size, int* line_length, unsigned timeout_ms) override;
    int com_send_file(const std::string& local_path, const std::string& remote_path,
                      ProgressCallback progress, void* context, int progress_scale,
                      const std::string& closing_argument, unsigned timeout_ms) override;
    int com_read(void* buffer, int length, int* received, unsigned timeout_ms) override;
    int com_clear_buffer(unsigned timeout_ms) override;

    const EndpointSet& endpoint_set() const { return endpoints; }

private:
    // Maps a failed bulk transfer to a result code and logs it under `prefix`.
    int transfer_failure(const char* prefix, int transfer_result, std::uint8_t endpoint, bool overflow_is_own);
    // One refill or read-on transfer into the receive buffer at the fill count.
    int receive_more(unsigned timeout_ms);
    // Reads away reply lines an earlier session left queued in the printer.
    void discard_stale_replies();
    // Gives the printer back and closes it, whatever the log throws meanwhile.
    void close_quietly() noexcept;
    void release_and_close() noexcept;

    libusb_device_handle* handle = nullptr;
    EndpointSet endpoints{0, 0, 0, 0};
    std::uint16_t vendor_id;
    std::uint16_t product_id;
};

}  // namespace com
