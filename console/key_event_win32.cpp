#include "key_event_win32.h"

namespace {

constexpr WORD MODIFIER_KEYS[] = {VK_SHIFT,  VK_CONTROL, VK_MENU,   VK_LSHIFT, VK_RSHIFT,  VK_LCONTROL,
                                  VK_RCONTROL, VK_LMENU, VK_RMENU,  VK_CAPITAL, VK_NUMLOCK, VK_SCROLL,
                                  VK_LWIN,   VK_RWIN};

// Keys without a character that a key poll still reports (they arrive as
// a two-byte sequence from the console's character reader).
constexpr WORD EXTENDED_KEYS[] = {VK_LEFT, VK_RIGHT, VK_UP,     VK_DOWN,   VK_HOME, VK_END,
                                  VK_PRIOR, VK_NEXT, VK_INSERT, VK_DELETE, VK_CLEAR};

bool listed(WORD key, const WORD* keys, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (keys[i] == key) return true;
    }
    return false;
}

bool is_modifier(WORD key) { return listed(key, MODIFIER_KEYS, sizeof MODIFIER_KEYS / sizeof MODIFIER_KEYS[0]); }

bool is_extended(WORD key) {
    return (key >= VK_F1 && key <= VK_F12) || listed(key, EXTENDED_KEYS, sizeof EXTENDED_KEYS / sizeof EXTENDED_KEYS[0]);
}

}  // namespace

bool counts_as_key_press(const INPUT_RECORD& event) {
    if (event.EventType != KEY_EVENT) return false;
    const KEY_EVENT_RECORD& key = event.Event.KeyEvent;
    if (!key.bKeyDown || is_modifier(key.wVirtualKeyCode)) return false;
    if (key.uChar.AsciiChar != 0 || is_extended(key.wVirtualKeyCode)) return true;
    return (key.dwControlKeyState & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED)) != 0;
}
