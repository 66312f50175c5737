#include "update/messages.h"

#include "com/result.h"

namespace update {

namespace {

// Index = code.  For codes 1, 3, 4, 6 and 7 these differ from the library's own texts.
const char* const user_messages[com::result_code_count] = {
    "",
    "unknown error.",
    "invalid arguments",
    "init usb lib failure",
    "list usb devices failure",
    "connect to printer failure",
    "invalid info from",
    "unknown usb device, not velmora printer",
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

const char* const code_names[com::result_code_count] = {
    "COM_SUCCESS",           "COM_ERR_UNKNOWN",      "COM_ERR_INVALID_ARGUMENTS", "COM_ERR_INIT_LIB",
    "COM_ERR_LIST_DEVICES",  "COM_ERR_CONNECT",      "COM_ERR_INVALID_INFO",      "COM_ERR_UNKNOWN_DEVICE",
    "COM_ERR_ACCESS",        "COM_ERR_TIMEOUT",      "COM_ERR_DISCONNECTED",      "COM_ERR_HALTED",
    "COM_ERR_OVERFLOW",      "COM_ERR_COMMAND",      "COM_ERR_FILE",              "COM_ERR_CANCELED",
    "COM_ERR_DISK_FULL",
};

bool known(int code)
{
    return code >= 0 && code < com::result_code_count;
}

}  // namespace

const char* const no_firmware_message = "no firmware available.";
const char* const success_message = "Firmware has been uploaded, reboot your printer to complete the update.";

const char* user_message(int code)
{
    return known(code) ? user_messages[code] : user_messages[com::COM_ERR_UNKNOWN];
}

const char* code_name(int code)
{
    return known(code) ? code_names[code] : "";
}

}  // namespace update
