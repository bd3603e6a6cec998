// POSIX result file: O_APPEND makes each write() land whole at the end of the
// file, whoever else appends.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "result_file.h"

namespace {

long last_error = 0;

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

bool result_file_sync(intptr_t file) {
    const int saved_errno = errno;
    int result = 0;
    do {
        result = fdatasync(static_cast<int>(file));
    } while (result != 0 && errno == EINTR);
    // EINVAL: a pipe or a device, with no disk to flush to.
    const bool flushed = result == 0 || errno == EINVAL || errno == EROFS;
    if (!flushed) last_error = errno;
    errno = saved_errno;
    return flushed;
}

intptr_t result_file_open_sole(const char* path) { return result_file_open(path); }

bool result_file_append_whole(intptr_t file, const char* line, size_t length) {
    const int fd = static_cast<int>(file);
    const off_t before = lseek(fd, 0, SEEK_END);
    if (result_file_append(file, line, length)) return result_file_sync(file);
    // What a full disk took of the line goes again: no other process
    // appends here, so the end is still where this line began.
    if (before >= 0) {
        const int saved_errno = errno;
        (void)!ftruncate(fd, before);
        errno = saved_errno;
    }
    return false;
}

void result_file_close(intptr_t file) {
    if (file >= 0) close(static_cast<int>(file));
}
