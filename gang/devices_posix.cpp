// fwld-gang on POSIX: a device is there when its path resolves to a
// character device; --watch's pattern is a glob over paths.
#include <climits>
#include <glob.h>
#include <sys/stat.h>

#include "devices.h"
#include "args.h"
#include "platform.h"

namespace {

// stat() follows the links: a link whose device went is gone too. A
// device plugged in anew gets a new node.
bool is_character_device(const char* path, uint64_t* identity) {
    struct stat info{};
    if (stat(path, &info) != 0 || !S_ISCHR(info.st_mode)) return false;
    *identity = static_cast<uint64_t>(info.st_rdev) * 0x9e3779b97f4a7c15u ^ static_cast<uint64_t>(info.st_ino);
    return true;
}

}  // namespace

// Each call looks for itself.
void devices_refresh() {}

// The device a port names: stat() follows its links, so a look costs one
// path walk, not one for every link on the way.
bool device_present(const char* port, uint64_t* identity) {
    char name[GANG_TEXT_MAX];
    port_without_baud(port, name, sizeof name);
    char path[PATH_MAX];
    port_device(name, path, sizeof path);
    return is_character_device(path, identity);
}

void devices_matching(const char* pattern, void (*found)(const char* name, uint64_t identity, void* context),
                      void* context) {
    glob_t matches{};
    if (glob(pattern, 0, nullptr, &matches) == 0) {
        for (size_t i = 0; i < matches.gl_pathc; ++i) {
            uint64_t identity = 0;
            if (is_character_device(matches.gl_pathv[i], &identity)) found(matches.gl_pathv[i], identity, context);
        }
    }
    globfree(&matches);
}
