// A terminal's bytes as the key codes fwld-gang acts on: the arrows come as
// escape sequences (ESC [ A in normal mode, ESC O A in application mode).
#include "keyboard.h"

namespace {

constexpr unsigned char ESCAPE = 0x1b;

// How many bytes the escape sequence at `bytes` takes: ESC [ then
// parameters up to a final byte, ESC O and one byte, or ESC alone.
size_t sequence_length(const unsigned char* bytes, size_t count) {
    if (count < 2 || (bytes[1] != '[' && bytes[1] != 'O')) return 1;
    if (bytes[1] == 'O') return count >= 3 ? 3 : count;
    size_t n = 2;
    while (n < count && (bytes[n] < 0x40 || bytes[n] > 0x7e)) ++n;
    return n < count ? n + 1 : count;
}

int code_of_sequence(const unsigned char* bytes, size_t length) {
    if (length == 3 && bytes[2] == 'A') return KEY_CODE_UP;
    if (length == 3 && bytes[2] == 'B') return KEY_CODE_DOWN;
    return KEY_CODE_OTHER;
}

}  // namespace

int key_codes_of_bytes(const unsigned char* bytes, size_t count, int* codes, int max) {
    int n = 0;
    for (size_t at = 0; at < count && n < max;) {
        if (bytes[at] != ESCAPE) {
            codes[n++] = bytes[at++];
            continue;
        }
        const size_t length = sequence_length(bytes + at, count - at);
        codes[n++] = code_of_sequence(bytes + at, length);
        at += length;
    }
    return n;
}
