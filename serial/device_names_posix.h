// The POSIX device list over any /dev and /sys, so that a test can give it a
// tree of its own making.
#pragma once

void device_list_ports_under(const char* dev_root, const char* sys_root,
                             void (*emit)(const char* name, const char* detail, void* context), void* context);
