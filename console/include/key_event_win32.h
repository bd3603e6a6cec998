// Which console input events count as a key press for the keyboard poll.
#pragma once
#include <windows.h>

// A key going down that carries a character, or an extended key (function,
// cursor and editing keys, keypad Enter and '/', Alt combinations). Modifier
// keys alone, key releases, mouse, focus, menu and size events do not count.
bool counts_as_key_press(const INPUT_RECORD& event);
