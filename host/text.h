// Text built by hand, for every floor: without printf, the locale or the
// heap, so that a signal handler may use it too.
#pragma once
#include <cstddef>
#include <cstdint>

// The decimal digits of value, padded on the left with `pad` to at least
// width characters; returns how many were written (at most 20, or width).
inline size_t format_unsigned(char* out, uint64_t value, int width, char pad) {
    char digits[20];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    size_t n = 0;
    for (int filled = count; filled < width; ++filled) out[n++] = pad;
    while (count > 0) out[n++] = digits[--count];
    return n;
}

// Two lower-case hex digits a byte, and the terminating zero.
inline void format_hex(const unsigned char* bytes, size_t count, char* out) {
    static const char digits[] = "0123456789abcdef";
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = digits[bytes[i] >> 4];
        out[2 * i + 1] = digits[bytes[i] & 0xF];
    }
    out[2 * count] = '\0';
}

// A non-empty text of decimal digits and nothing else.
inline bool all_digits(const char* text) {
    if (*text == '\0') return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9') return false;
    }
    return true;
}
