// Win32 keyboard: the console input buffer, looked at without taking the
// key press out of it. Events that are not key presses are dropped as they
// come, so that the input handle is signalled only while a key waits and a
// wait can block on it.
#include <windows.h>

#include "key_event_win32.h"
#include "keyboard.h"
#include "restore.h"

namespace {

constexpr DWORD PEEK_MAX = 128;

HANDLE console_input = INVALID_HANDLE_VALUE;
bool console_tried = false;

bool standard_input_is_console() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) != 0;
}

void open_console_input() {
    console_tried = true;
    // Input redirected from a file or a pipe: nobody is at the keyboard.
    if (!standard_input_is_console()) return;
    const HANDLE handle = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                      nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return;
    console_input = handle;
    restore_register_urgent(keyboard_restore);
}

}  // namespace

bool keyboard_key_pending() {
    if (!console_tried) open_console_input();
    if (console_input == INVALID_HANDLE_VALUE) return false;
    // Under Wine a key reaches the input buffer only while someone waits on
    // it; a wait that returns at once is enough, and costs little on Windows.
    WaitForSingleObject(console_input, 0);
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(console_input, &pending) || pending == 0) return false;
    INPUT_RECORD events[PEEK_MAX];
    DWORD seen = 0;
    if (!PeekConsoleInputA(console_input, events, PEEK_MAX, &seen) || seen == 0) return false;
    for (DWORD i = 0; i < seen; ++i) {
        if (counts_as_key_press(events[i])) return true;
    }
    // The oldest events, the ones just looked at, and none of them a key
    // press: releases, modifiers, mouse, focus. Another process on the
    // console (a fwld beside fwld-gang) may have taken some meanwhile, so
    // what is read now may hold a key after all.
    DWORD taken = 0;
    ReadConsoleInputA(console_input, events, seen, &taken);
    for (DWORD i = 0; i < taken; ++i) {
        if (counts_as_key_press(events[i])) return true;
    }
    return false;
}

int keyboard_wake_handles(bool with_keys, intptr_t* out) {
    if (!console_tried) open_console_input();
    int count = 0;
    if (with_keys && console_input != INVALID_HANDLE_VALUE) out[count++] = reinterpret_cast<intptr_t>(console_input);
    // The break ends every wait, a wait for keys or not.
    if (restore_wake_handle() != 0) out[count++] = restore_wake_handle();
    return count;
}

void keyboard_restore() {
    // The console's mode is the restore step of console_prepare; what is left
    // here is the pending key, which must not reach the shell.
    if (console_input != INVALID_HANDLE_VALUE) FlushConsoleInputBuffer(console_input);
}

void keyboard_ctrl_z_is_a_key() {}

namespace {

int key_code_of(const KEY_EVENT_RECORD& key) {
    if (key.wVirtualKeyCode == VK_UP) return KEY_CODE_UP;
    if (key.wVirtualKeyCode == VK_DOWN) return KEY_CODE_DOWN;
    if (key.uChar.AsciiChar != 0) return static_cast<unsigned char>(key.uChar.AsciiChar);
    return KEY_CODE_OTHER;
}

}  // namespace

int keyboard_take_key_codes(int* codes, int max) {
    if (!console_tried) open_console_input();
    if (console_input == INVALID_HANDLE_VALUE) return KEYBOARD_GONE;
    WaitForSingleObject(console_input, 0);
    DWORD pending = 0;
    if (!GetNumberOfConsoleInputEvents(console_input, &pending) || pending == 0) return 0;
    INPUT_RECORD events[PEEK_MAX];
    DWORD taken = 0;
    if (!ReadConsoleInputA(console_input, events, pending < PEEK_MAX ? pending : PEEK_MAX, &taken)) return 0;
    int count = 0;
    for (DWORD i = 0; i < taken; ++i) {
        if (!counts_as_key_press(events[i])) continue;
        // A key held down comes as one event with its repeats counted.
        const KEY_EVENT_RECORD& key = events[i].Event.KeyEvent;
        for (WORD r = 0; r < (key.wRepeatCount > 0 ? key.wRepeatCount : 1) && count < max; ++r) {
            codes[count++] = key_code_of(key);
        }
    }
    return count;
}
