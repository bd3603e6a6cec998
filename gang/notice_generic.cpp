// fwld-gang where there is no inotify: the station's looks every 250 ms
// find every device.
#include "devices.h"

intptr_t device_notices(const char* const*, int) { return -1; }
