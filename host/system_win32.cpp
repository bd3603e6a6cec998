// Win32: the system's words for an error in the console's own code page, so
// that a German or Japanese Windows shows its reasons readably (without a
// console, the system's ANSI code page); the DNS host name in UTF-8, the
// result log's encoding.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "system.h"

namespace {

bool system_text(DWORD error, char* out, size_t size) {
    wchar_t wide[512];
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                                        wide, sizeof wide / sizeof wide[0], nullptr);
    if (length == 0) return false;
    UINT code_page = GetConsoleOutputCP();
    if (code_page == 0) code_page = GetACP();
    const int bytes = WideCharToMultiByte(code_page, 0, wide, static_cast<int>(length), out,
                                          static_cast<int>(size - 1), nullptr, nullptr);
    if (bytes <= 0) return false;
    out[bytes] = '\0';
    return true;
}

}  // namespace

void system_error_text(long error, char* out, size_t size) {
    if (out == nullptr || size == 0) return;
    if (!system_text(static_cast<DWORD>(error), out, size)) {
        std::snprintf(out, size, "system error %ld", error);
        return;
    }
    // The system's text ends with a full stop and a line end.
    size_t end = std::strlen(out);
    while (end > 0 && (out[end - 1] == '\r' || out[end - 1] == '\n' || out[end - 1] == ' ' || out[end - 1] == '.')) {
        --end;
    }
    out[end] = '\0';
}

void host_name(char* out, size_t size) {
    wchar_t wide[256];
    DWORD length = sizeof wide / sizeof wide[0];
    char name[3 * 256 + 1];
    int bytes = 0;
    if (GetComputerNameExW(ComputerNameDnsHostname, wide, &length) && length > 0) {
        bytes = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), name, sizeof name - 1, nullptr,
                                    nullptr);
    }
    name[bytes > 0 ? bytes : 0] = '\0';
    if (size > 0) std::snprintf(out, size, "%s", bytes > 0 ? name : "unknown");
}
