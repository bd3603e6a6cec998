// The two input files as the run opens and reads them. Only a regular file
// is opened: a directory, a device or a FIFO is refused before anything
// opens it, since opening a serial device moves its lines and opening a
// FIFO waits for a writer. Bytes come as they are, without translation of
// line ends.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens the file read-only. Returns the descriptor, or -1 with the reason
// in words (no final full stop) in reason.
int input_file_open(const char* path, char* reason, size_t size);
// Up to size bytes; 0 at the end of the file, -1 on an error (errno says which).
long input_file_read(int fd, void* buffer, unsigned size);
// The file's length now; false when the system does not say.
bool input_file_length(int fd, int64_t* length);
void input_file_rewind(int fd);
void input_file_close(int fd);
// The descriptor as a buffered stream ("rb"), which owns it from then on;
// nullptr when it cannot be had.
FILE* input_file_stream(int fd);
// The length of the file under a stream, now.
bool input_file_stream_length(FILE* stream, int64_t* length);
