#include "com/result.h"

namespace com {

namespace {

// The tables below are indexed by code: the rows must stand in code order.
#define COM_RESULT_VALUE(name, value, library_text, user_text) (value),
constexpr int values[] = {COM_RESULT_CODES(COM_RESULT_VALUE)};
#undef COM_RESULT_VALUE

constexpr bool in_code_order()
{
    for (int i = 0; i < result_code_count; ++i)
        if (values[i] != i)
            return false;
    return true;
}
static_assert(sizeof values / sizeof values[0] == result_code_count && in_code_order(), "one row per code, in order");

#define COM_RESULT_NAME(name, value, library_text, user_text) #name,
const char* const names[result_code_count] = {COM_RESULT_CODES(COM_RESULT_NAME)};
#undef COM_RESULT_NAME

#define COM_RESULT_USER_TEXT(name, value, library_text, user_text) (user_text),
const char* const user_texts[result_code_count] = {COM_RESULT_CODES(COM_RESULT_USER_TEXT)};
#undef COM_RESULT_USER_TEXT

bool known(int code)
{
    return code >= 0 && code < result_code_count;
}

}  // namespace

#define COM_RESULT_LIBRARY_TEXT(name, value, library_text, user_text) (library_text),
const char* const result_messages[result_code_count] = {COM_RESULT_CODES(COM_RESULT_LIBRARY_TEXT)};
#undef COM_RESULT_LIBRARY_TEXT

const char* result_message(int code)
{
    return known(code) ? result_messages[code] : nullptr;
}

const char* result_name(int code)
{
    return known(code) ? names[code] : nullptr;
}

const char* result_user_text(int code)
{
    return known(code) ? user_texts[code] : nullptr;
}

}  // namespace com
