// How a port is written on a command line, read the same way by fwld and
// fwld-gang: a number or COMn, and a trailing ":BAUD".
#include <cctype>
#include <cstring>

#include "device_names.h"
#include "text.h"

bool device_names_com(const char* text) {
    return std::tolower(static_cast<unsigned char>(text[0])) == 'c' &&
           std::tolower(static_cast<unsigned char>(text[1])) == 'o' &&
           std::tolower(static_cast<unsigned char>(text[2])) == 'm' && text[3] >= '0' && text[3] <= '9';
}

bool device_port_number(const char* text, long* number) {
    if (device_names_com(text)) text += 3;
    // Nine digits always fit a long.
    if (!all_digits(text) || std::strlen(text) > 9) return false;
    long n = 0;
    for (; *text != '\0'; ++text) n = n * 10 + (*text - '0');
    *number = n;
    return true;
}

const char* device_baud_colon(const char* text) {
    const char* colon = std::strrchr(text, ':');
    return colon != nullptr && all_digits(colon + 1) ? colon : nullptr;
}
