#include "control_protocol.h"

#include <cerrno>
#include <cstdlib>

namespace emu {
namespace control {

namespace {

const char hex_digits[] = "0123456789abcdef";

int hex_value(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

}  // namespace

std::string escape(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
        case '\\': out += "\\\\"; continue;
        case ' ': out += "\\s"; continue;
        case ',': out += "\\c"; continue;
        case '\r': out += "\\r"; continue;
        case '\n': out += "\\n"; continue;
        case '\t': out += "\\t"; continue;
        default: break;
        }
        if (byte < 0x20 || byte >= 0x7F) {
            out += "\\x";
            out += hex_digits[byte >> 4];
            out += hex_digits[byte & 0x0F];
        } else {
            out += c;
        }
    }
    return out;
}

bool unescape(const std::string& text, std::string* bytes)
{
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size())
            return false;
        switch (text[i]) {
        case '\\': out += '\\'; break;
        case 's': out += ' '; break;
        case 'c': out += ','; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'x': {
            if (i + 2 >= text.size())
                return false;
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0)
                return false;
            out += static_cast<char>(high * 16 + low);
            i += 2;
            break;
        }
        default: return false;
        }
    }
    *bytes = std::move(out);
    return true;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

std::string to_hex(const std::string& bytes)
{
    std::string out;
    out.reserve(bytes.size() * 2);
    for (char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        out += hex_digits[byte >> 4];
        out += hex_digits[byte & 0x0F];
    }
    return out;
}

bool from_hex(const std::string& text, std::string* bytes)
{
    if (text.size() % 2 != 0)
        return false;
    std::string out;
    out.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        const int high = hex_value(text[i]);
        const int low = hex_value(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        out += static_cast<char>(high * 16 + low);
    }
    *bytes = std::move(out);
    return true;
}

bool parse_number(const std::string& text, unsigned long long* value)
{
    if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ')
        return false;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* start = text.c_str() + (hex ? 2 : 0);
    if (*start == '\0')
        return false;
    errno = 0;
    char* end = nullptr;
    const unsigned long long v = std::strtoull(start, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0')
        return false;
    *value = v;
    return true;
}

}  // namespace control
}  // namespace emu
