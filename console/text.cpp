// Small text routines: the line cut of the speed line, and the escaping of
// text that comes from the target.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "console.h"


void cut_at_newline(char* text) {
    char* line_feed = std::strchr(text, '\n');
    if (line_feed != nullptr) *line_feed = '\0';
}

void escape_byte(unsigned char byte, char out[5]) {
    // C0, DEL and C1: C1 bytes are controls too on 8-bit terminals.
    const bool control = (byte < 0x20 && byte != '\t') || (byte >= 0x7F && byte <= 0x9F);
    if (control) {
        std::snprintf(out, 5, "\\x%02x", byte);
    } else {
        out[0] = static_cast<char>(byte);
        out[1] = '\0';
    }
}

void escape_for_console(const char* text, char* out, size_t size) {
    if (size == 0) return;
    size_t used = 0;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != '\0'; ++p) {
        char piece[5];
        escape_byte(*p, piece);
        const size_t piece_length = std::strlen(piece);
        if (used + piece_length >= size) break;
        std::memcpy(out + used, piece, piece_length);
        used += piece_length;
    }
    out[used] = '\0';
}
