// Win32 event stream: a file is appended to as the result log is; a named
// pipe is written with overlapped I/O, one line in flight at a time, so a
// reader that stops reading never holds the run and a line is never cut.
#include <windows.h>

#include <cstring>

#include "event_stream.h"

namespace {

constexpr size_t QUEUE_BYTES = 64 * 1024;
constexpr DWORD PIPE_BUSY_WAIT_MS = 1000;

DWORD last_error = 0;
bool is_pipe = false;
bool gone = false;
bool in_flight = false;
OVERLAPPED flight{};
char queued[QUEUE_BYTES];

HANDLE handle_of(intptr_t stream) { return reinterpret_cast<HANDLE>(stream); }

bool named_pipe_path(const char* path) { return _strnicmp(path, "\\\\.\\pipe\\", 9) == 0; }

HANDLE open_pipe(const char* path) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        const HANDLE pipe =
            CreateFileA(path, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (pipe != INVALID_HANDLE_VALUE || GetLastError() != ERROR_PIPE_BUSY) return pipe;
        WaitNamedPipeA(path, PIPE_BUSY_WAIT_MS);
    }
    return INVALID_HANDLE_VALUE;
}

// True once the line in flight has gone out (or there is none).
bool flight_landed(HANDLE pipe, DWORD wait_ms) {
    if (!in_flight) return true;
    if (WaitForSingleObject(flight.hEvent, wait_ms) != WAIT_OBJECT_0) return false;
    DWORD written = 0;
    if (!GetOverlappedResult(pipe, &flight, &written, FALSE)) gone = true;
    in_flight = false;
    return true;
}

void send_to_pipe(HANDLE pipe, const char* line, size_t length, DWORD wait_ms) {
    if (!flight_landed(pipe, wait_ms) || gone) return;
    std::memcpy(queued, line, length);
    ResetEvent(flight.hEvent);
    if (WriteFile(pipe, queued, static_cast<DWORD>(length), nullptr, &flight)) return;
    if (GetLastError() == ERROR_IO_PENDING) {
        in_flight = true;
        return;
    }
    gone = true;  // the reader closed its end
}

}  // namespace

intptr_t event_stream_open(const char* path) {
    is_pipe = named_pipe_path(path);
    const HANDLE stream = is_pipe ? open_pipe(path)
                                  : CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        last_error = GetLastError();
        return -1;
    }
    if (is_pipe) flight.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    return reinterpret_cast<intptr_t>(stream);
}

long event_stream_last_error() { return static_cast<long>(last_error); }

void event_stream_send(intptr_t stream, const char* line, size_t length, uint32_t wait_ms) {
    if (stream == -1 || gone || length > QUEUE_BYTES) return;
    if (is_pipe) {
        send_to_pipe(handle_of(stream), line, length, wait_ms);
        return;
    }
    DWORD written = 0;
    if (!WriteFile(handle_of(stream), line, static_cast<DWORD>(length), &written, nullptr)) gone = true;
}

void event_stream_close(intptr_t stream, uint32_t wait_ms) {
    if (stream == -1) return;
    if (is_pipe && in_flight && !flight_landed(handle_of(stream), wait_ms)) CancelIo(handle_of(stream));
    CloseHandle(handle_of(stream));
}
