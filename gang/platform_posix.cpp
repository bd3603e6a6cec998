// fwld-gang on POSIX: device identities, fwld's place, log files.
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "args.h"
#include "device_names.h"
#include "platform.h"

namespace {

// The folder of this program: /proc/self/exe, else argv[0] as the shell
// found it.
bool own_folder(const char* argv0, char* out, size_t size) {
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) {
        path[n] = '\0';
    } else if (std::strchr(argv0, '/') == nullptr || realpath(argv0, path) == nullptr) {
        return false;
    }
    char* slash = std::strrchr(path, '/');
    if (slash == nullptr) return false;
    *slash = '\0';
    std::snprintf(out, size, "%s", path[0] != '\0' ? path : "/");
    return true;
}

// A program found on PATH by its bare name.
bool folder_on_path(const char* name, char* out, size_t size) {
    const char* path = std::getenv("PATH");
    if (path == nullptr) return false;
    while (*path != '\0') {
        const char* colon = std::strchr(path, ':');
        const int length = static_cast<int>(colon != nullptr ? colon - path : static_cast<long>(std::strlen(path)));
        char candidate[PATH_MAX];
        std::snprintf(candidate, sizeof candidate, "%.*s/%s", length, path, name);
        if (access(candidate, X_OK) == 0) {
            std::snprintf(out, size, "%.*s", length, path);
            return true;
        }
        if (colon == nullptr) break;
        path = colon + 1;
    }
    return false;
}

}  // namespace

void port_device(const char* port, char* out, size_t size) {
    long number = 0;
    if (device_port_number(port, &number)) {
        device_default_path(static_cast<int>(number), out, size);
        // Port 0 has no device but is still one port.
        if (out[0] == '\0') std::snprintf(out, size, "port %ld", number);
    } else if (!device_names_path(port) && device_find_by_name(port, out, size)) {
    } else {
        std::snprintf(out, size, "%s", port);
    }
}

void port_identity(const char* port, char* out, size_t size) {
    char device[GANG_TEXT_MAX];
    port_device(port, device, sizeof device);
    char resolved[PATH_MAX];
    std::snprintf(out, size, "%s", realpath(device, resolved) != nullptr ? resolved : device);
}

bool locate_fwld(const char* argv0, char* path, size_t size) {
    char folder[PATH_MAX];
    if (!own_folder(argv0, folder, sizeof folder) && !folder_on_path(argv0, folder, sizeof folder)) {
        std::snprintf(path, size, "fwld");
        return false;
    }
    std::snprintf(path, size, "%s/fwld", folder);
    return access(path, X_OK) == 0;
}

bool make_log_dir(const char* path, char* reason, size_t size) {
    struct stat info{};
    if (mkdir(path, 0777) == 0 || (errno == EEXIST && stat(path, &info) == 0 && S_ISDIR(info.st_mode))) return true;
    std::snprintf(reason, size, "%s", errno == EEXIST ? "it is not a directory" : std::strerror(errno));
    return false;
}

void join_path(const char* dir, const char* name, char* out, size_t size) {
    std::snprintf(out, size, "%s/%s", dir, name);
}

bool file_replace(const char* path, const char* text, size_t length, char* reason, size_t size) {
    char fresh[PATH_MAX];
    std::snprintf(fresh, sizeof fresh, "%s.new", path);
    const int fd = open(fresh, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < length;) {
        const ssize_t n = write(fd, text + done, length - done);
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    if (fd >= 0 && close(fd) != 0) ok = false;
    if (ok && rename(fresh, path) == 0) return true;
    std::snprintf(reason, size, "%s", std::strerror(errno));
    unlink(fresh);
    return false;
}

bool file_copy(const char* from, const char* to, char* reason, size_t size) {
    // Never held by a FIFO nor read for ever from a device.
    const int in = open(from, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info{};
    if (in >= 0 && (fstat(in, &info) != 0 || !S_ISREG(info.st_mode))) {
        close(in);
        std::snprintf(reason, size, "not a regular file");
        return false;
    }
    const int out = in >= 0 ? open(to, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644) : -1;
    bool ok = out >= 0;
    char buffer[65536];
    for (ssize_t n = 0; ok && (n = read(in, buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        for (ssize_t done = 0; ok && done < n;) {
            const ssize_t w = write(out, buffer + done, static_cast<size_t>(n - done));
            if (w < 0 && errno == EINTR) continue;
            ok = w > 0;
            if (ok) done += w;
        }
    }
    int error = errno;
    if (out >= 0 && close(out) != 0 && ok) ok = false, error = errno;
    if (in >= 0) close(in);
    if (!ok) std::snprintf(reason, size, "%s", std::strerror(error));
    return ok;
}

long process_id() { return static_cast<long>(getpid()); }
