// Windows way out: the exit handler runs the restore steps, and Ctrl-C or
// Ctrl-Break only raise the break event. Every wait of the run includes it,
// so the run ends on its own thread through exit(): the console gets
// everything said so far and the steps (the trace's last lines, the console
// mode) run as on any other way out. No C runtime signal(): it would put a
// second handler in front of this one.
#include <cstdlib>

#include "break_win32.h"
#include "console.h"
#include "restore.h"
#include "restore_ending.h"

namespace {

HANDLE broken = nullptr;
volatile DWORD break_kind = CTRL_C_EVENT;

BOOL WINAPI note_break(DWORD kind) {
    break_kind = kind;
    SetEvent(broken);
    return TRUE;
}

const char* break_name(DWORD kind) {
    switch (kind) {
    case CTRL_C_EVENT: return "Ctrl-C";
    case CTRL_BREAK_EVENT: return "Ctrl-Break";
    case CTRL_CLOSE_EVENT: return "the console window closing";
    default: return "the session ending";
    }
}

}  // namespace

HANDLE break_event() { return broken; }

void end_if_broken() {
    if (broken == nullptr || WaitForSingleObject(broken, 0) != WAIT_OBJECT_0) return;
    // Never 0, which a script would take for success. The steps run here, so
    // that they know how the run ends; the exit finds them done.
    restore_for_ending(static_cast<long>(STATUS_CONTROL_C_EXIT), break_name(break_kind));
    std::exit(static_cast<int>(STATUS_CONTROL_C_EXIT));
}

void restore_hold_signals() {}
void restore_release_signals() {}

void restore_install() {
    std::atexit(restore_all);
    broken = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(note_break, TRUE);
}
