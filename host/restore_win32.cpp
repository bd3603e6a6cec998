// Windows way out: the exit handler runs the restore steps, and Ctrl-C,
// Ctrl-Break or the console closing only raise the break. The handler runs
// on a thread the system makes for it; the run sees the break in its waits
// and ends on its own thread, through main, with the status Windows gives a
// program so ended. A second break while the run ends puts the console back
// and leaves the ending to the system's own handler, at once. No C runtime
// signal(): it would put a second handler in front of this one.
#include <windows.h>

#include <cstdlib>

#include "restore.h"
#include "restore_ending.h"

namespace {

HANDLE broken = nullptr;
volatile DWORD break_kind = CTRL_C_EVENT;
volatile LONG breaks = 0;

const char* break_name(DWORD kind) {
    switch (kind) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "the console window closing";
    default: return "the session ending";
    }
}

BOOL WINAPI note_break(DWORD kind) {
    if (InterlockedIncrement(&breaks) > 1) {
        restore_run_urgent();
        return FALSE;
    }
    break_kind = kind;
    SetEvent(broken);
    return TRUE;
}

}  // namespace

void restore_install(void (*)(int)) {
    std::atexit(restore_all);
    broken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_break, TRUE);
}

void restore_hold_signals() {}
void restore_release_signals() {}
void restore_on_suspend(void (*)(), void (*)()) {}
void restore_arm_suspend() {}

bool restore_ending_seen() {
    if (broken == nullptr || WaitForSingleObject(broken, 0) != WAIT_OBJECT_0) return false;
    // Never 0, which a script would take for success: the steps that run at
    // the exit know how the run ends.
    restore_note_ending(static_cast<long>(STATUS_CONTROL_C_EXIT), break_name(break_kind));
    return true;
}

intptr_t restore_wake_handle() { return reinterpret_cast<intptr_t>(broken); }
int restore_ending_signal() { return 0; }

void restore_break_now() {
    breaks = 0;
    note_break(CTRL_C_EVENT);
}
