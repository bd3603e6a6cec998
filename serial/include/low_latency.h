// Low-latency mode of USB serial adapters. Many hold received bytes for up
// to 16 ms before passing them on, which at 115200 baud costs more than a
// whole record; Linux drivers drop the hold when asked. Elsewhere, and on
// devices that do not support it (ptys, UARTs that refuse), nothing happens.
#pragma once

// The change to the driver's flag word, apart from the device: taking sets
// the low-latency flag and says whether it was off (only then is there
// something to give back); giving back clears it. Other flags stay.
bool latency_flags_take(int* flags);
void latency_flags_give_back(int* flags);

// Asks for low latency on the device for the run, remembering the
// driver's previous setting. Silent: no support is not an error.
void low_latency_take(int fd);
// Gives the previous setting back; harmless when nothing was changed.
void low_latency_give_back(int fd);
// The same for whatever device has it changed now: the restore step for
// every way out (the exit, a fatal stop that leaves the port to the exit,
// the end of a run a signal ended).
void low_latency_give_back_all();
