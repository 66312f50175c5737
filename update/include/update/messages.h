// What the user is told about a result code: the application's own texts.
#pragma once

#include <string>

namespace update {

// The application's text for a failing result code: "unknown error." for 1
// and for anything outside 0..16.  Code 0 (success) has no text: "".
const char* user_message(int code);

// The code's name ("COM_ERR_TIMEOUT"), or "" for a value outside 0..16.
const char* code_name(int code);

// The text shown when a folder holds nothing to install.
extern const char* const no_firmware_message;
// The text shown when an update went through.
extern const char* const success_message;

}  // namespace update
