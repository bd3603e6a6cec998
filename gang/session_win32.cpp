// fwld-gang on Windows. Every fwld.exe shares fwld-gang's console, with the
// console's input as its standard input, so it sees a key exactly as it
// would alone: fwld-gang presses a key by writing a key event into that
// input, and keeps one there until every fwld has ended (each takes the
// pending keys away as it exits). Standard output and error go to a pipe
// of its own; its event stream to a named pipe that fwld-gang makes and
// fwld.exe opens by name. Both are read with overlapped I/O whose
// completions all set one event, so one WaitForMultipleObjects waits on all
// of them, the keyboard and Ctrl-C however many ports there are.
//
// In a station the keys are fwld-gang's alone (one port is ended alone, a
// scanner's typing ends nothing): every fwld.exe gets the NUL device as
// its standard input, so it has no keyboard, and is ended as Ctrl-C ends it.
//
// Each fwld.exe is in a process group of its own, so Ctrl-C on the console
// reaches fwld-gang alone; Ctrl-Break to a group is Ctrl-C to that fwld.
// All of them are in a job that ends them when fwld-gang ends, however.
#include <windows.h>
#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <initializer_list>

#include "clock.h"
#include "platform.h"
#include "keyboard.h"
#include "session.h"

namespace {

constexpr DWORD READ_SIZE = 4096;
// Room for a burst of events while fwld-gang gathers: fwld.exe never waits
// for a reader that lags.
constexpr DWORD STREAM_BUFFER = 64 * 1024;
// While stopping, how often the pending key is looked after.
constexpr DWORD KEY_KEEP_MS = 100;

// One pipe read with overlapped I/O.
struct Reader {
    HANDLE pipe;  // our end; nullptr once it has ended
    OVERLAPPED overlapped;
    bool busy;        // a read, or the wait for fwld to open it, is outstanding
    bool connecting;  // the event stream, before fwld.exe has opened it
    unsigned char buffer[READ_SIZE];
};

struct Child {
    HANDLE process;  // nullptr: never started
    DWORD id;
    Reader console;
    Reader stream;
    bool reported;
};

Child children[GANG_PORTS_MAX];
bool session_ready = false;
// Set by every completion; reset before the readers are looked at.
HANDLE io_done = nullptr;
unsigned serial = 0;  // makes each stream's pipe name new
HANDLE job = nullptr;
HANDLE console_input = INVALID_HANDLE_VALUE;
HANDLE no_input = INVALID_HANDLE_VALUE;  // a station's children's standard input
bool keys_alone = false;
HANDLE break_event = nullptr;
bool keep_key_pending = false;

HANDLE console_output = INVALID_HANDLE_VALUE;
DWORD output_mode_before = 0;
bool output_mode_changed = false;

char command_line[32768];

// fwld writes its console a line at a time. The output is gathered for a
// moment, then read from every child that has some, so that sixteen of them
// do not wake fwld-gang for every line; keys and Ctrl-C still come at once.
constexpr DWORD GATHER_MS = 100;
DWORD output_read_ms = 0;
bool draining = false;

BOOL WINAPI on_console_control(DWORD type) {
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;  // the job ends the children with us
    SetEvent(break_event);
    return TRUE;
}

void start_session() {
    if (session_ready) return;
    session_ready = true;
    job = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (job != nullptr) SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    break_event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    io_done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    SetConsoleCtrlHandler(on_console_control, TRUE);
    // Inheritable: it becomes every child's standard input.
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    console_input = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                OPEN_EXISTING, 0, nullptr);
    no_input =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
}

// Every fwld takes the pending keys away as it exits; the others must
// still find one.
void keep_a_key_pending() {
    if (console_input == INVALID_HANDLE_VALUE || keyboard_key_pending()) return;
    INPUT_RECORD key{};
    key.EventType = KEY_EVENT;
    key.Event.KeyEvent.bKeyDown = TRUE;
    key.Event.KeyEvent.wRepeatCount = 1;
    key.Event.KeyEvent.wVirtualKeyCode = VK_SPACE;
    key.Event.KeyEvent.uChar.AsciiChar = ' ';
    DWORD written = 0;
    WriteConsoleInputA(console_input, &key, 1, &written);
}

void close_reader(Reader& r) {
    CloseHandle(r.pipe);
    r.pipe = nullptr;
    r.busy = false;
}

// The reader's next step: wait for fwld.exe to open the stream, or read.
// Starting one resets io_done, so the readers are looked at after all
// have started.
void start_read(Reader& r) {
    if (r.pipe == nullptr || r.busy) return;
    r.overlapped = OVERLAPPED{};
    r.overlapped.hEvent = io_done;
    if (r.connecting) {
        if (ConnectNamedPipe(r.pipe, &r.overlapped) || GetLastError() == ERROR_IO_PENDING) {
            r.busy = true;
            return;
        }
        if (GetLastError() != ERROR_PIPE_CONNECTED) {
            close_reader(r);
            return;
        }
        r.connecting = false;
    }
    if (ReadFile(r.pipe, r.buffer, READ_SIZE, nullptr, &r.overlapped) || GetLastError() == ERROR_IO_PENDING) {
        r.busy = true;
        return;
    }
    // The write end is closed: fwld has ended.
    close_reader(r);
}

// A completed step: bytes read (true), or the stream now open, or the end.
bool finish_read(Reader& r, DWORD* got) {
    r.busy = false;
    *got = 0;
    const bool ok = GetOverlappedResult(r.pipe, &r.overlapped, got, FALSE) != 0;
    if (r.connecting) {
        r.connecting = false;
        if (!ok) close_reader(r);
        return false;
    }
    if (ok && *got > 0) return true;
    if (!ok && GetLastError() == ERROR_BROKEN_PIPE) close_reader(r);
    return false;
}

ChildEnd end_of(HANDLE process) {
    WaitForSingleObject(process, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process, &code);
    if (code == STATUS_CONTROL_C_EXIT) return ChildEnd{END_CTRL_C, static_cast<long>(code)};
    return ChildEnd{END_EXIT, static_cast<long>(code)};
}

// Once the console's pipe has ended, fwld.exe has: a stream it never
// opened (a command line it refused) will not be opened now.
void drop_unopened_stream(Child& c) {
    Reader& r = c.stream;
    if (c.console.pipe != nullptr || r.pipe == nullptr || !r.connecting) return;
    if (r.busy && HasOverlappedIoCompleted(&r.overlapped)) return;  // it was opened after all
    if (r.busy) {
        CancelIoEx(r.pipe, &r.overlapped);
        DWORD ignored = 0;
        GetOverlappedResult(r.pipe, &r.overlapped, &ignored, TRUE);
    }
    close_reader(r);
}

bool ended_child(Event* event) {
    for (int i = 0; i < GANG_PORTS_MAX; ++i) {
        Child& c = children[i];
        if (c.process == nullptr || c.reported) continue;
        drop_unopened_stream(c);
        if (c.console.pipe != nullptr || c.stream.pipe != nullptr) continue;
        c.reported = true;
        *event = Event{EVENT_ENDED, i, nullptr, 0, end_of(c.process), 0, nullptr, 0};
        CloseHandle(c.process);
        return true;
    }
    return false;
}

// Every reader whose step has completed, one per call.
bool gathered_output(Event* event) {
    for (int i = 0; i < GANG_PORTS_MAX; ++i) {
        Child& c = children[i];
        for (Reader* r : {&c.console, &c.stream}) {
            if (r->pipe == nullptr || !r->busy || !HasOverlappedIoCompleted(&r->overlapped)) continue;
            DWORD got = 0;
            if (finish_read(*r, &got)) {
                *event = Event{r == &c.stream ? EVENT_STREAM : EVENT_OUTPUT, i, r->buffer, got, {}, 0, nullptr, 0};
                return true;
            }
        }
    }
    return false;
}

// Starting a step resets io_done: a step that completed before the last
// start is found by looking.
bool any_step_completed() {
    for (const Child& c : children) {
        for (const Reader* r : {&c.console, &c.stream}) {
            if (r->pipe != nullptr && r->busy && HasOverlappedIoCompleted(&r->overlapped)) return true;
        }
    }
    return false;
}

bool quote_command(const char* program, char* const* argv) {
    command_line[0] = '\0';
    if (!append_quoted_argument(command_line, sizeof command_line, program)) return false;
    for (int i = 1; argv[i] != nullptr; ++i) {
        if (!append_quoted_argument(command_line, sizeof command_line, argv[i])) return false;
    }
    return true;
}

void describe(const char* what, char* reason, size_t size) {
    std::snprintf(reason, size, "%s (error %lu)", what, static_cast<unsigned long>(GetLastError()));
}

}  // namespace

bool child_start(int index, const char* program, char** argv, int stream_argument, char* reason, size_t size) {
    start_session();
    char name[64];
    static char stream_option[GANG_PORTS_MAX][80];
    std::snprintf(name, sizeof name, "\\\\.\\pipe\\fwld-gang-%lu-%d", static_cast<unsigned long>(GetCurrentProcessId()),
                  index);
    // A new name for every run: the last one's pipe may not be gone yet.
    std::snprintf(stream_option[index], sizeof stream_option[index], "EV\\\\.\\pipe\\fwld-gang-%lu-%d-%u",
                  static_cast<unsigned long>(GetCurrentProcessId()), index, ++serial);
    argv[stream_argument] = stream_option[index];
    if (!quote_command(program, argv)) {
        std::snprintf(reason, size, "fwld's command line is too long");
        return false;
    }
    const HANDLE pipe =
        CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, READ_SIZE, 65536, 0, nullptr);
    // fwld.exe opens it by name: one instance, from this machine only.
    const HANDLE stream = CreateNamedPipeA(
        stream_option[index] + 2, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED | FILE_FLAG_FIRST_PIPE_INSTANCE,
        PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS, 1, 0, STREAM_BUFFER, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE || stream == INVALID_HANDLE_VALUE) {
        describe("no pipe for fwld's output", reason, size);
        if (pipe != INVALID_HANDLE_VALUE) CloseHandle(pipe);
        if (stream != INVALID_HANDLE_VALUE) CloseHandle(stream);
        return false;
    }
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    const HANDLE output = CreateFileA(name, GENERIC_WRITE, 0, &inherit, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = keys_alone ? no_input : console_input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    PROCESS_INFORMATION started{};
    const bool ok = output != INVALID_HANDLE_VALUE &&
                    CreateProcessA(program, command_line, nullptr, nullptr, TRUE,
                                   CREATE_SUSPENDED | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &started);
    if (!ok) describe("can not start fwld.exe", reason, size);
    // Only the child may hold the write end, or the pipe never ends.
    if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
    if (!ok) {
        CloseHandle(pipe);
        CloseHandle(stream);
        return false;
    }
    if (job != nullptr) AssignProcessToJobObject(job, started.hProcess);
    ResumeThread(started.hThread);
    CloseHandle(started.hThread);
    Child& c = children[index];
    c.process = started.hProcess;
    c.id = started.dwProcessId;
    c.console = Reader{};
    c.console.pipe = pipe;
    c.stream = Reader{};
    c.stream.pipe = stream;
    c.stream.connecting = true;
    c.reported = false;
    return true;
}

void child_press_key(int index) {
    if (console_input == INVALID_HANDLE_VALUE || keys_alone) {
        // No console, or not the child's: fwld has no keyboard either.
        child_interrupt(index);
        return;
    }
    keep_key_pending = true;
    keep_a_key_pending();
}

void child_interrupt(int index) {
    const Child& c = children[index];
    if (c.process == nullptr || c.reported) return;
    if (!GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, c.id)) TerminateProcess(c.process, STATUS_CONTROL_C_EXIT);
}

void child_forward(int index, int) { child_interrupt(index); }

void child_end_alone(int index) { child_interrupt(index); }

Event next_event(int32_t timeout_ms) {
    const uint32_t start = clock_tick_ms();
    Event event{};
    for (;;) {
        if (ended_child(&event)) return event;
        for (Child& c : children) start_read(c.console), start_read(c.stream);
        if (draining) {
            if (gathered_output(&event)) return event;
            draining = false;
            output_read_ms = clock_tick_ms();
            continue;
        }
        const DWORD gathering = clock_tick_ms() - output_read_ms;
        const bool read_output = gathering >= GATHER_MS;
        if (read_output && any_step_completed()) {
            draining = true;
            continue;
        }
        HANDLE handles[3];
        int owners[3];
        DWORD count = 0;
        handles[count] = break_event, owners[count++] = -1;
        if (console_input != INVALID_HANDLE_VALUE && !keep_key_pending) {
            handles[count] = console_input, owners[count++] = -2;
        }
        if (read_output) handles[count] = io_done, owners[count++] = -3;
        DWORD wait = read_output ? INFINITE : GATHER_MS - gathering;
        if (timeout_ms >= 0) {
            const DWORD spent = clock_tick_ms() - start;
            if (spent >= static_cast<DWORD>(timeout_ms)) return Event{EVENT_TIMEOUT, -1, nullptr, 0, {}, 0, nullptr, 0};
            if (static_cast<DWORD>(timeout_ms) - spent < wait) wait = static_cast<DWORD>(timeout_ms) - spent;
        }
        if (keep_key_pending && wait > KEY_KEEP_MS) wait = KEY_KEEP_MS;
        const DWORD ready = WaitForMultipleObjects(count, handles, FALSE, wait);
        if (keep_key_pending) keep_a_key_pending();
        if (ready == WAIT_TIMEOUT || ready >= WAIT_OBJECT_0 + count) continue;
        const int owner = owners[ready - WAIT_OBJECT_0];
        if (owner == -1) {
            ResetEvent(break_event);
            return Event{EVENT_INTERRUPT, -1, nullptr, 0, {}, 0, nullptr, 0};
        }
        if (owner == -2) {
            if (keys_alone) {
                static int codes[64];
                const int keys = keyboard_take_key_codes(codes, 64);
                if (keys > 0) return Event{EVENT_KEY, -1, nullptr, 0, {}, 0, codes, keys};
                continue;
            }
            // Looked at as fwld looks: the key stays for every fwld to see.
            if (keyboard_key_pending()) return Event{EVENT_KEY, -1, nullptr, 0, {}, 0, nullptr, 0};
            continue;
        }
        draining = true;
    }
}

void wait_also(intptr_t) {}

void keyboard_take(bool alone) {
    keys_alone = alone;
    start_session();
}

void terminal_restore() {
    // The keys fwld-gang left pending are not for the shell.
    if (console_input != INVALID_HANDLE_VALUE && keep_key_pending) FlushConsoleInputBuffer(console_input);
    keep_key_pending = false;
    if (output_mode_changed) SetConsoleMode(console_output, output_mode_before);
    output_mode_changed = false;
}

bool prepare_output() {
    // Line feeds as they are, as fwld.exe writes them; a results line that
    // goes to stderr goes byte for byte.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    console_output = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(console_output, &output_mode_before)) return false;
    // The table moves the cursor with escape sequences; a console without
    // them gets the plain lines.
    const DWORD mode = output_mode_before | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING;
    if (!SetConsoleMode(console_output, mode)) return false;
    output_mode_changed = true;
    return true;
}

int output_width() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console_output, &info)) return 80;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

int output_height() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(console_output, &info)) return 24;
    return info.srWindow.Bottom - info.srWindow.Top + 1;
}

int run_to_end(const char* program, char** argv, std::string* said) {
    if (!quote_command(program, argv)) return -1;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE read_end = nullptr, write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return -1;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    const HANDLE nothing =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nothing;
    startup.hStdOutput = write_end;
    startup.hStdError = write_end;
    PROCESS_INFORMATION started{};
    const bool ok =
        CreateProcessA(program, command_line, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &started);
    CloseHandle(write_end);
    if (nothing != INVALID_HANDLE_VALUE) CloseHandle(nothing);
    if (!ok) {
        CloseHandle(read_end);
        return -1;
    }
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(read_end, buffer, sizeof buffer, &got, nullptr) && got > 0) said->append(buffer, got);
    CloseHandle(read_end);
    WaitForSingleObject(started.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(started.hProcess, &code);
    CloseHandle(started.hProcess);
    CloseHandle(started.hThread);
    return static_cast<int>(code);
}

bool signal_default(int) { return false; }
