// Result codes of the printer link.
//
// Every link operation reports its outcome as one of these 17 values.  0 is
// success, 1..16 name a failure; no operation returns anything else.
#pragma once

namespace com {

enum ResultCode : int {
    COM_SUCCESS = 0,
    COM_ERR_UNKNOWN = 1,
    COM_ERR_INVALID_ARGUMENTS = 2,
    COM_ERR_INIT_LIB = 3,
    COM_ERR_LIST_DEVICES = 4,
    COM_ERR_CONNECT = 5,
    COM_ERR_INVALID_INFO = 6,
    COM_ERR_UNKNOWN_DEVICE = 7,
    COM_ERR_ACCESS = 8,
    COM_ERR_TIMEOUT = 9,
    COM_ERR_DISCONNECTED = 10,
    COM_ERR_HALTED = 11,
    COM_ERR_OVERFLOW = 12,
    COM_ERR_COMMAND = 13,
    COM_ERR_FILE = 14,
    COM_ERR_CANCELED = 15,
    COM_ERR_DISK_FULL = 16,
};

constexpr int result_code_count = 17;

// The library's own text of every code, index = code.
extern const char* const result_messages[result_code_count];

// The library text of `code`, or nullptr for a value outside 0..16.
const char* result_message(int code);

}  // namespace com
