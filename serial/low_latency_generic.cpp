// Platforms without a low-latency request for serial drivers.
#include "low_latency.h"

bool latency_flags_take(int*) { return false; }
void latency_flags_give_back(int*) {}
void low_latency_take(int) {}
void low_latency_give_back(int) {}
void low_latency_give_back_all() {}
