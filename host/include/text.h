// Text built by hand, for every floor: without printf, the locale or the
// heap, where a line of the trace is written for every burst of bytes.
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

// The lower-case hex digit of a value's low four bits.
inline char hex_digit(unsigned value) { return "0123456789abcdef"[value & 0xFu]; }

// Two lower-case hex digits a byte, and the terminating zero.
inline void format_hex(const unsigned char* bytes, size_t count, char* out) {
    for (size_t i = 0; i < count; ++i) {
        out[2 * i] = hex_digit(bytes[i] >> 4);
        out[2 * i + 1] = hex_digit(bytes[i]);
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
