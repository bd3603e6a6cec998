// The two input files as the run opens them. Only a regular file is
// opened: a directory, a device or a FIFO is refused before anything opens
// it, since opening a serial device moves its lines and opening a FIFO
// waits for a writer.
#pragma once
#include <cstddef>

// Opens the file read-only, without translation of line ends. Returns the
// descriptor, or -1 with the reason in words (no final full stop) in reason.
int input_file_open(const char* path, char* reason, size_t size);
