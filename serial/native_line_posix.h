#pragma once
#include <termios.h>

// termios as read at open; the fields fwld owns are overlaid on apply.
struct NativeLine {
    struct termios tio;
};
