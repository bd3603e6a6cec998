// Win32 event stream: a file is appended to as the result log is; a named
// pipe is written with overlapped I/O, one write in flight at a time, so a
// reader that stops reading never holds the run. Lines the reader has not
// taken wait in the queue, in order, for the next write; a line is never
// cut.
#include <windows.h>

#include <cstring>

#include "event_stream.h"
#include "restore.h"

namespace {

constexpr size_t QUEUE_BYTES = 128 * 1024;  // two of the longest line, the end event
constexpr DWORD PIPE_BUSY_WAIT_MS = 1000;

DWORD last_error = 0;
bool is_pipe = false;
bool gone = false;
bool in_flight = false;
OVERLAPPED flight{};
char flying[QUEUE_BYTES];
char queued[QUEUE_BYTES];
size_t queued_count = 0;

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

// True once the write in flight has gone out (or there is none); the break
// ends the wait.
bool flight_landed(HANDLE pipe, DWORD wait_ms) {
    if (!in_flight) return true;
    HANDLE waits[2] = {flight.hEvent, reinterpret_cast<HANDLE>(restore_wake_handle())};
    const DWORD count = waits[1] != nullptr ? 2 : 1;
    if (WaitForMultipleObjects(count, waits, FALSE, wait_ms) != WAIT_OBJECT_0) return false;
    DWORD written = 0;
    if (!GetOverlappedResult(pipe, &flight, &written, FALSE)) gone = true;
    in_flight = false;
    return true;
}

// What is queued goes out as one write.
void start_flight(HANDLE pipe) {
    if (queued_count == 0 || gone) return;
    std::memcpy(flying, queued, queued_count);
    const DWORD count = static_cast<DWORD>(queued_count);
    queued_count = 0;
    ResetEvent(flight.hEvent);
    if (WriteFile(pipe, flying, count, nullptr, &flight)) return;
    if (GetLastError() == ERROR_IO_PENDING) {
        in_flight = true;
        return;
    }
    gone = true;  // the reader closed its end
}

bool enqueue(const char* line, size_t length) {
    if (QUEUE_BYTES - queued_count < length) return false;
    std::memcpy(queued + queued_count, line, length);
    queued_count += length;
    return true;
}

void send_to_pipe(HANDLE pipe, const char* line, size_t length, DWORD wait_ms) {
    const bool landed = flight_landed(pipe, wait_ms);
    if (gone) return;
    // While the reader lags, a line that the next of its kind says again
    // is dropped; the others wait their turn.
    if (!landed) {
        if (wait_ms != 0) enqueue(line, length);
        return;
    }
    enqueue(line, length);
    start_flight(pipe);
}

}  // namespace

intptr_t event_stream_open(const char* path) {
    is_pipe = named_pipe_path(path);
    gone = false;
    in_flight = false;
    queued_count = 0;
    const HANDLE stream = is_pipe ? open_pipe(path)
                                  : CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (stream == INVALID_HANDLE_VALUE) {
        last_error = GetLastError();
        return -1;
    }
    if (is_pipe && flight.hEvent == nullptr) flight.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
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
    const HANDLE handle = handle_of(stream);
    if (is_pipe && flight_landed(handle, wait_ms)) {
        start_flight(handle);
        flight_landed(handle, wait_ms);
    }
    if (is_pipe && in_flight) CancelIo(handle);
    CloseHandle(handle);
}
