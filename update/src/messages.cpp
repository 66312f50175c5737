#include "update/messages.h"

#include "com/result.h"

namespace update {

const char* const no_firmware_message = "no firmware available.";
const char* const success_message = "Firmware has been uploaded, reboot your printer to complete the update.";

const char* user_message(int code)
{
    const char* text = com::result_user_text(code);
    return text ? text : com::result_user_text(com::COM_ERR_UNKNOWN);
}

const char* code_name(int code)
{
    const char* name = com::result_name(code);
    return name ? name : "";
}

}  // namespace update
