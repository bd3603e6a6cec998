// Pieces of the wake-up handshake that are worth testing on their own.
#pragma once
#include <cstddef>
#include <cstdint>

constexpr int RECEIVE_WINDOW_SIZE = 64;
constexpr int RECEIVE_WINDOW_SPAN = RECEIVE_WINDOW_SIZE / 2;

// The last 31 accepted characters, held twice so that every suffix is one
// NUL-terminated string starting at an offset below 32.
struct ReceiveWindow {
    char bytes[RECEIVE_WINDOW_SIZE];
    int next;  // write index, 0..31
};

// Offset (0..count-1) of the first NUL-terminated text in the window equal
// to needle, or -1.
int find_in_window(const char* window, const char* needle, int32_t count);

void window_clear(ReceiveWindow* window);
// Takes one received byte; printable ones (0x20..0x7F) are kept. True when
// the accepted text now ends with the needle.
bool window_accept(ReceiveWindow* window, char byte, const char* needle);

// "$PZKW,cprst,<id>*<XX>\r\n" with its NMEA checksum.
void build_reset_sentence(int32_t target_id, char* out, size_t size);
