// POSIX input files: the path is looked at before it is opened, and opened
// without waiting, so that a FIFO swapped in meanwhile cannot hold the run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "input_file.h"

namespace {

const char* not_a_file(mode_t mode) {
    if (S_ISDIR(mode)) return "Is a directory";
    if (S_ISCHR(mode) || S_ISBLK(mode)) return "Is a device, not a file";
    if (S_ISFIFO(mode)) return "Is a FIFO, not a file";
    return "Is not a regular file";
}

int refuse(const char* why, char* reason, size_t size) {
    std::snprintf(reason, size, "%s", why);
    return -1;
}

}  // namespace

int input_file_open(const char* path, char* reason, size_t size) {
    struct stat info{};
    if (stat(path, &info) != 0) return refuse(std::strerror(errno), reason, size);
    if (!S_ISREG(info.st_mode)) return refuse(not_a_file(info.st_mode), reason, size);
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return refuse(std::strerror(errno), reason, size);
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return refuse(not_a_file(info.st_mode), reason, size);
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

long input_file_read(int fd, void* buffer, unsigned size) {
    for (;;) {
        const ssize_t got = read(fd, buffer, size);
        if (got >= 0 || errno != EINTR) return static_cast<long>(got);
    }
}

bool input_file_length(int fd, int64_t* length) {
    struct stat info{};
    if (fstat(fd, &info) != 0) return false;
    *length = static_cast<int64_t>(info.st_size);
    return true;
}

void input_file_rewind(int fd) { lseek(fd, 0, SEEK_SET); }
void input_file_close(int fd) { close(fd); }
FILE* input_file_stream(int fd) { return fdopen(fd, "rb"); }
bool input_file_stream_length(FILE* stream, int64_t* length) { return input_file_length(fileno(stream), length); }
