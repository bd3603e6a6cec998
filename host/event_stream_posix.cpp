// POSIX event stream: opened non-blocking, so that a FIFO without a reader
// fails at once and a full pipe never blocks the run. What the pipe does
// not take waits in the queue and goes before the next line: lines are
// never cut, whatever the reader's pace.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "clock.h"
#include "event_stream.h"
#include "restore.h"

namespace {

constexpr size_t QUEUE_BYTES = 128 * 1024;  // two of the longest line, the end event

long last_error = 0;
char queued[QUEUE_BYTES];
size_t queued_from = 0;
size_t queued_to = 0;
bool gone = false;

// Writes what the pipe takes now. False once the reader has gone.
bool write_some(int fd, const char* bytes, size_t count, size_t* taken) {
    *taken = 0;
    while (*taken < count) {
        const ssize_t n = write(fd, bytes + *taken, count - *taken);
        if (n > 0) {
            *taken += static_cast<size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && errno == EAGAIN;
        }
    }
    return true;
}

// Until the pipe has room, the time is up, or an ending signal comes.
bool wait_for_room(int fd, int ms) {
    pollfd fds[2] = {{fd, POLLOUT, 0}, {static_cast<int>(restore_wake_handle()), POLLIN, 0}};
    const nfds_t count = restore_wake_handle() != 0 ? 2 : 1;
    const int ready = poll(fds, count, ms);
    return ready > 0 && (count == 1 || fds[1].revents == 0);
}

// Sends what is queued, waiting for room at most wait_ms. True when the
// queue is empty. The system's own tick: the run's may be a test's that
// stands still.
bool flush_queue(int fd, uint32_t wait_ms) {
    const uint32_t start = system_clock.tick_ms();
    for (;;) {
        size_t taken = 0;
        if (!write_some(fd, queued + queued_from, queued_to - queued_from, &taken)) {
            gone = true;
            return false;
        }
        queued_from += taken;
        if (queued_from == queued_to) {
            queued_from = queued_to = 0;
            return true;
        }
        const uint32_t waited = system_clock.tick_ms() - start;
        if (waited >= wait_ms || !wait_for_room(fd, static_cast<int>(wait_ms - waited))) return false;
    }
}

// The line waits its turn at the end of the queue; false when it has no room.
bool enqueue(const char* bytes, size_t count) {
    if (QUEUE_BYTES - (queued_to - queued_from) < count) return false;
    if (QUEUE_BYTES - queued_to < count) {
        std::memmove(queued, queued + queued_from, queued_to - queued_from);
        queued_to -= queued_from;
        queued_from = 0;
    }
    std::memcpy(queued + queued_to, bytes, count);
    queued_to += count;
    return true;
}

}  // namespace

intptr_t event_stream_open(const char* path) {
    queued_from = queued_to = 0;
    gone = false;
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) last_error = errno;
    return fd < 0 ? -1 : fd;
}

long event_stream_last_error() { return last_error; }

void event_stream_send(intptr_t stream, const char* line, size_t length, uint32_t wait_ms) {
    if (stream < 0 || gone) return;
    const int saved_errno = errno;
    const int fd = static_cast<int>(stream);
    if (!flush_queue(fd, wait_ms)) {
        // The reader lags: the line waits behind the others, unless the next
        // of its kind will say more.
        if (!gone && wait_ms != 0) enqueue(line, length);
    } else {
        size_t taken = 0;
        if (!write_some(fd, line, length, &taken)) {
            gone = true;
        } else {
            enqueue(line + taken, length - taken);
        }
    }
    errno = saved_errno;
}

void event_stream_close(intptr_t stream, uint32_t wait_ms) {
    if (stream < 0) return;
    if (!gone && queued_to > queued_from) flush_queue(static_cast<int>(stream), wait_ms);
    close(static_cast<int>(stream));
}
