#include "com/result.h"

namespace com {

const char* const result_messages[result_code_count] = {
    "success",
    "unknown error",
    "invalid arguments",
    "init lib failure",
    "list devices failure",
    "connect to printer failure",
    "invalid info from device",
    "unknown usb device",
    "access printer failure",
    "access printer timeout",
    "device disconnected",
    "the usb endpoint halted",
    "the device offered more data, or receive buf is too small",
    "printer execute command failure",
    "open or access file failure",
    "operation be canceled",
    "disk out of space",
};

const char* result_message(int code)
{
    if (code < 0 || code >= result_code_count)
        return nullptr;
    return result_messages[code];
}

}  // namespace com
