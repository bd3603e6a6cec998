// POSIX result file: O_APPEND makes each write() land whole at the end of the
// file, whoever else appends.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "result_file.h"

namespace {

// Written from a signal handler too: one word, no lock.
volatile std::sig_atomic_t last_error = 0;

}  // namespace

intptr_t result_file_open(const char* path) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd < 0) last_error = errno;
    return fd < 0 ? -1 : fd;
}

long result_file_last_error() { return last_error; }

bool result_file_append(intptr_t file, const char* line, size_t length) {
    const int saved_errno = errno;
    ssize_t written = -1;
    do {
        written = write(static_cast<int>(file), line, length);
    } while (written < 0 && errno == EINTR);
    // A second write for the rest would be a second line's worth of race: a
    // short write (a full disk) counts as failed.
    if (written < 0) last_error = errno;
    else if (static_cast<size_t>(written) != length) last_error = ENOSPC;
    errno = saved_errno;
    return written >= 0 && static_cast<size_t>(written) == length;
}

void result_file_close(intptr_t file) {
    if (file >= 0) close(static_cast<int>(file));
}
