// POSIX event stream: opened non-blocking, so that a FIFO without a reader
// fails at once and a full pipe never blocks the run. A line the pipe takes
// only in part keeps its rest here, to go out before the next one: lines
// are never cut, whatever the reader's pace.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "clock.h"
#include "event_stream.h"

namespace {

constexpr size_t QUEUE_BYTES = 64 * 1024;

volatile std::sig_atomic_t last_error = 0;
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

// Sends what is queued, waiting for room at most wait_ms. True when the
// queue is empty. The system's own tick: the run's may be a test's that
// stands still, and clock_gettime is async-signal-safe.
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
        if (waited >= wait_ms) return false;
        const int left = static_cast<int>(wait_ms - waited);
        pollfd room{fd, POLLOUT, 0};
        if (poll(&room, 1, static_cast<int>(left)) < 0 && errno != EINTR) return false;
    }
}

}  // namespace

intptr_t event_stream_open(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) last_error = errno;
    return fd < 0 ? -1 : fd;
}

long event_stream_last_error() { return last_error; }

void event_stream_send(intptr_t stream, const char* line, size_t length, uint32_t wait_ms) {
    if (stream < 0 || gone || length > QUEUE_BYTES) return;
    const int saved_errno = errno;
    const int fd = static_cast<int>(stream);
    size_t taken = 0;
    if (flush_queue(fd, wait_ms)) {
        if (!write_some(fd, line, length, &taken)) {
            gone = true;
        } else {
            // The rest goes before the next line.
            for (size_t i = taken; i < length; ++i) queued[queued_to++] = line[i];
        }
    }
    errno = saved_errno;
}

void event_stream_close(intptr_t stream, uint32_t wait_ms) {
    if (stream < 0) return;
    if (!gone && queued_to > queued_from) flush_queue(static_cast<int>(stream), wait_ms);
    close(static_cast<int>(stream));
}
