// Result codes of the printer link.
//
// Every link operation reports its outcome as one of these 17 values.  0 is
// success, 1..16 name a failure; no operation returns anything else.
#pragma once

namespace com {

// Every result code, in code order: its name, its value, the library's own
// text and the text the application shows the user.  Written once here; the
// enum, the library's texts, the codes' names and the user texts are made
// from it.
#define COM_RESULT_CODES(ROW)                                                                                          \
    ROW(COM_SUCCESS, 0, "success", "")                                                                                 \
    ROW(COM_ERR_UNKNOWN, 1, "unknown error", "unknown error.")                                                         \
    ROW(COM_ERR_INVALID_ARGUMENTS, 2, "invalid arguments", "invalid arguments")                                        \
    ROW(COM_ERR_INIT_LIB, 3, "init lib failure", "init usb lib failure")                                               \
    ROW(COM_ERR_LIST_DEVICES, 4, "list devices failure", "list usb devices failure")                                   \
    ROW(COM_ERR_CONNECT, 5, "connect to printer failure", "connect to printer failure")                                \
    ROW(COM_ERR_INVALID_INFO, 6, "invalid info from device", "invalid info from")                                      \
    ROW(COM_ERR_UNKNOWN_DEVICE, 7, "unknown usb device", "unknown usb device, not velmora printer")                    \
    ROW(COM_ERR_ACCESS, 8, "access printer failure", "access printer failure")                                         \
    ROW(COM_ERR_TIMEOUT, 9, "access printer timeout", "access printer timeout")                                        \
    ROW(COM_ERR_DISCONNECTED, 10, "device disconnected", "device disconnected")                                        \
    ROW(COM_ERR_HALTED, 11, "the usb endpoint halted", "the usb endpoint halted")                                      \
    ROW(COM_ERR_OVERFLOW, 12, "the device offered more data, or receive buf is too small",                             \
        "the device offered more data, or receive buf is too small")                                                   \
    ROW(COM_ERR_COMMAND, 13, "printer execute command failure", "printer execute command failure")                     \
    ROW(COM_ERR_FILE, 14, "open or access file failure", "open or access file failure")                                \
    ROW(COM_ERR_CANCELED, 15, "operation be canceled", "operation be canceled")                                        \
    ROW(COM_ERR_DISK_FULL, 16, "disk out of space", "disk out of space")

enum ResultCode : int {
#define COM_RESULT_ENUM(name, value, library_text, user_text)                                                          \
    name = value,  // NOLINT(bugprone-macro-parentheses): an enumerator's name
    COM_RESULT_CODES(COM_RESULT_ENUM)
#undef COM_RESULT_ENUM
};

constexpr int result_code_count = 17;

// The library's own text of every code, index = code.
extern const char* const result_messages[result_code_count];

// The library text of `code`, or nullptr for a value outside 0..16.
const char* result_message(int code);

// The code's name ("COM_ERR_TIMEOUT"), or nullptr for a value outside 0..16.
const char* result_name(int code);

// The text the application shows for `code` ("" for success), or nullptr
// for a value outside 0..16.
const char* result_user_text(int code);

}  // namespace com
