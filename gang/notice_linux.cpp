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
#include "args.h"

namespace {

constexpr uint32_t CHANGES = IN_CREATE | IN_DELETE | IN_MOVED_TO | IN_MOVED_FROM | IN_ATTRIB;

int notices = -1;
bool notices_tried = false;

// The folder a path or pattern lives in, up to its first wildcard.
void folder_of(const char* path, char* folder, size_t size) {
    char name[PATH_MAX];
    port_without_baud(path, name, sizeof name);
    if (std::strchr(name, '/') == nullptr) {
        std::snprintf(folder, size, "/dev");
        return;
    }
    std::snprintf(folder, size, "%s", name);
    char* wildcard = std::strpbrk(folder, "*?[");
    if (wildcard != nullptr) *wildcard = '\0';
    char* last = std::strrchr(folder, '/');
    if (last != nullptr) *last = '\0';
}

// A folder that is not there yet is watched from the nearest one that is
// (/dev/serial/by-id appears with the first USB serial device). Adding a
// folder already watched changes nothing; one that went and came back is
// watched again.
void watch(char* folder) {
    for (;;) {
        if (inotify_add_watch(notices, folder[0] != '\0' ? folder : "/", CHANGES) >= 0) return;
        char* slash = std::strrchr(folder, '/');
        if (slash == nullptr) return;
        *slash = '\0';
    }
}

}  // namespace

intptr_t device_notices(const char* const* paths, int count) {
    if (!notices_tried) {
        notices_tried = true;
        notices = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    }
    if (notices < 0) return -1;
    static char folders[GANG_PORTS_MAX][PATH_MAX];
    int distinct = 0;
    for (int i = 0; i < count && distinct < GANG_PORTS_MAX; ++i) {
        folder_of(paths[i], folders[distinct], PATH_MAX);
        bool seen = false;
        for (int k = 0; k < distinct && !seen; ++k) seen = std::strcmp(folders[k], folders[distinct]) == 0;
        if (!seen) watch(folders[distinct++]);
    }
    return notices;
}
