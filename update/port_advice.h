// Help for the operator when the port does not open.
#pragma once
#include <cstdio>

// One line with the port's device, the system's reason and a hint where one
// is known, then the serial devices this machine has (or that it has none).
void explain_port_failure(std::FILE* out, int port, long error);
