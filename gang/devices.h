// Platform seam of fwld-gang, part three: the station looks for devices
// without opening them (an open raises DTR, which resets many boards).
// devices_posix.cpp and devices_win32.cpp; the wake-up when a folder
// changes in notice_linux.cpp (notice_generic.cpp elsewhere).
#pragma once
#include <cstddef>
#include <cstdint>

// Takes a fresh look at the devices, for the calls below (Windows lists the
// ports once for all of them).
void devices_refresh();

// The device a port names is there: POSIX, its path resolves to a
// character device (a dangling link is gone); Windows, the system lists the
// COM port (as fwld --list finds it). `identity` tells one device from the
// next under the same name (POSIX: its node), 0 where nothing does.
bool device_present(const char* port, uint64_t* identity);

// Each device there now whose path (POSIX: a glob) or name (Windows: COM*
// or a comma list of names and patterns) matches.
void devices_matching(const char* pattern, void (*found)(const char* name, uint64_t identity, void* context),
                      void* context);

// A handle that becomes readable when a folder of these paths or patterns
// changes, so that a new device is looked at once (Linux, inotify); -1
// where there is none, and the looks every 250 ms find it. Called again at
// each look: a folder that was missing may be there now.
intptr_t device_notices(const char* const* paths, int count);
