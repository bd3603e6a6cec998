// Help for the operator when the port does not open, and the ports there are.
#pragma once
#include <cstdio>

// One line with the port's device, the system's reason and a hint where one
// is known, then the serial devices this machine has (or that it has none).
void explain_port_failure(std::FILE* out, int port, long error);
// --list: the serial devices, one a line (the same lines as above, without
// the indent), or "No serial ports found.".
void print_serial_ports(std::FILE* out);
