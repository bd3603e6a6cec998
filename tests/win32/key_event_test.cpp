// Which console events count as a pending key press.
#include <gtest/gtest.h>

#include "key_event_win32.h"

namespace {

INPUT_RECORD key(bool down, WORD virtual_key, char character, DWORD control = 0) {
    INPUT_RECORD event{};
    event.EventType = KEY_EVENT;
    event.Event.KeyEvent.bKeyDown = down ? TRUE : FALSE;
    event.Event.KeyEvent.wRepeatCount = 1;
    event.Event.KeyEvent.wVirtualKeyCode = virtual_key;
    event.Event.KeyEvent.uChar.AsciiChar = character;
    event.Event.KeyEvent.dwControlKeyState = control;
    return event;
}

INPUT_RECORD other(WORD type) {
    INPUT_RECORD event{};
    event.EventType = type;
    return event;
}

TEST(KeyEvents, KeysWithACharacterCount) {
    EXPECT_TRUE(counts_as_key_press(key(true, 'Q', 'q')));
    EXPECT_TRUE(counts_as_key_press(key(true, VK_SPACE, ' ')));
    EXPECT_TRUE(counts_as_key_press(key(true, VK_ESCAPE, 0x1B)));
    EXPECT_TRUE(counts_as_key_press(key(true, 'C', 0x03, LEFT_CTRL_PRESSED)));        // Ctrl-C as a key
    EXPECT_TRUE(counts_as_key_press(key(true, VK_RETURN, '\r', ENHANCED_KEY)));        // keypad Enter
    EXPECT_TRUE(counts_as_key_press(key(true, VK_DIVIDE, '/', ENHANCED_KEY)));         // keypad '/'
    EXPECT_TRUE(counts_as_key_press(key(true, 'E', static_cast<char>(0xE9))));         // a byte above 0x7F
}

TEST(KeyEvents, ExtendedKeysWithoutACharacterCount) {
    for (int vk : {VK_F1, VK_F5, VK_F12, VK_LEFT, VK_RIGHT, VK_UP, VK_DOWN, VK_HOME, VK_END, VK_PRIOR, VK_NEXT,
                    VK_INSERT, VK_DELETE}) {
        EXPECT_TRUE(counts_as_key_press(key(true, static_cast<WORD>(vk), 0))) << vk;
        EXPECT_TRUE(counts_as_key_press(key(true, static_cast<WORD>(vk), 0, ENHANCED_KEY))) << vk;
    }
    EXPECT_TRUE(counts_as_key_press(key(true, 'X', 0, LEFT_ALT_PRESSED)));   // Alt combinations
    EXPECT_TRUE(counts_as_key_press(key(true, VK_F4, 0, RIGHT_ALT_PRESSED)));
}

TEST(KeyEvents, ModifiersReleasesAndOtherEventsDoNot) {
    for (int vk : {VK_SHIFT, VK_CONTROL, VK_MENU, VK_LSHIFT, VK_RSHIFT, VK_LCONTROL, VK_RCONTROL, VK_LMENU, VK_RMENU,
                    VK_CAPITAL, VK_NUMLOCK, VK_SCROLL, VK_LWIN, VK_RWIN}) {
        EXPECT_FALSE(counts_as_key_press(key(true, static_cast<WORD>(vk), 0))) << vk;
        EXPECT_FALSE(counts_as_key_press(key(true, static_cast<WORD>(vk), 0, LEFT_ALT_PRESSED | SHIFT_PRESSED))) << vk;
    }
    EXPECT_FALSE(counts_as_key_press(key(false, 'Q', 'q')));      // the release of a key
    EXPECT_FALSE(counts_as_key_press(key(false, VK_F1, 0)));
    EXPECT_FALSE(counts_as_key_press(key(true, VK_F13, 0)));      // beyond the keys a poll reports
    for (int type : {MOUSE_EVENT, WINDOW_BUFFER_SIZE_EVENT, FOCUS_EVENT, MENU_EVENT}) {
        EXPECT_FALSE(counts_as_key_press(other(static_cast<WORD>(type)))) << type;
    }
}

}  // namespace
