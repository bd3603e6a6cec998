// What the system says of itself: the words for an error code, and this
// machine's name.
#pragma once
#include <cstddef>

// The system's reason for an error code (errno, GetLastError) in words,
// without a final full stop or line end: callers put it in a sentence.
void system_error_text(long error, char* out, size_t size);

// This machine's name (UTF-8); "unknown" when the system does not say.
void host_name(char* out, size_t size);
