// fwld-gang on Linux: inotify on the folders where the station's devices
// appear, so that a board plugged in is looked at once rather than at the
// next of the looks every 250 ms (which stay: a link whose device went
// away changes nothing in its own folder).
#include <climits>
#include <cstdio>
#include <cstring>
#include <sys/inotify.h>
#include <unistd.h>

#include "devices.h"
#include "gang.h"

namespace {

int notices = -1;
bool notices_tried = false;

// The folder a path or pattern lives in, up to its first wildcard; a
// folder that is not there yet is watched from the nearest one that is
// (/dev/serial/by-id appears with the first USB serial device).
void watch_folder_of(const char* path) {
    char folder[PATH_MAX];
    port_without_baud(path, folder, sizeof folder);
    if (std::strchr(folder, '/') == nullptr) std::snprintf(folder, sizeof folder, "/dev/%s", path);
    char* wildcard = std::strpbrk(folder, "*?[");
    if (wildcard != nullptr) *wildcard = '\0';
    constexpr uint32_t changes = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF;
    for (char* slash = std::strrchr(folder, '/'); slash != nullptr; slash = std::strrchr(folder, '/')) {
        *slash = '\0';
        const char* name = folder[0] != '\0' ? folder : "/";
        if (inotify_add_watch(notices, name, changes) >= 0) return;
    }
}

}  // namespace

intptr_t device_notices(const char* const* paths, int count) {
    if (!notices_tried) {
        notices_tried = true;
        notices = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (notices < 0) return -1;
    // Adding a folder already watched changes nothing.
    for (int i = 0; i < count; ++i) watch_folder_of(paths[i]);
    return notices;
}
