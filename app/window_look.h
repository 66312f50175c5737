// How the window looks, for the window and for the background picture that
// is painted to fit it.
#pragma once

namespace look {

// The window's fixed size.
constexpr int window_width = 495;
constexpr int window_height = 600;

// The buttons' teal under the mouse, and the darker teal of a button pressed
// or checked, as the window's style sheet writes them.
#define ZARVIK_TEAL "rgb( 83,210,194)"
#define ZARVIK_DARK_TEAL "rgb( 46,178,162)"

struct Rgb {
    int red, green, blue;
};

// The colour of an "rgb(R,G,B)" text, blanks allowed.
constexpr Rgb rgb_of(const char* text)
{
    int parts[3] = {0, 0, 0};
    int part = 0;
    for (const char* c = text; *c && part < 3; ++c) {
        if (*c >= '0' && *c <= '9')
            parts[part] = parts[part] * 10 + (*c - '0');
        else if (*c == ',' || *c == ')')
            ++part;
    }
    return Rgb{parts[0], parts[1], parts[2]};
}

constexpr Rgb teal = rgb_of(ZARVIK_TEAL);
static_assert(teal.red == 83 && teal.green == 210 && teal.blue == 194, "rgb_of reads the style sheet's teal");

}  // namespace look
