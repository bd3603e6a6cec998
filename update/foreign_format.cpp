// Telling Intel HEX and Motorola S-record text from program record files.
#include "foreign_format.h"

namespace {

// Count, two address bytes, type and checksum around an Intel HEX record's data.
constexpr int INTEL_FRAME_BYTES = 5;
// The count byte itself; address, data and checksum are counted by it.
constexpr int MOTOROLA_FRAME_BYTES = 1;
// Intel HEX's checksum makes its bytes sum to 0, Motorola's to 0xFF.
constexpr uint8_t INTEL_SUM = 0x00;
constexpr uint8_t MOTOROLA_SUM = 0xFF;
constexpr int LINE_BYTES_MAX = 255 + INTEL_FRAME_BYTES;

int hex_value(unsigned char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void start_line(ForeignScan* scan) {
    scan->line = FORMAT_NONE;
    scan->chars = 0;
    scan->bytes = 0;
    scan->count = 0;
    scan->sum = 0;
    scan->high_nibble = -1;
    scan->line_bad = false;
    scan->carriage_return = false;
}

bool line_is_record(const ForeignScan* scan) {
    if (scan->line_bad || scan->high_nibble >= 0 || scan->bytes == 0) return false;
    if (scan->line == FORMAT_INTEL_HEX) {
        return scan->bytes == scan->count + INTEL_FRAME_BYTES && scan->sum == INTEL_SUM;
    }
    return scan->line == FORMAT_MOTOROLA && scan->bytes == scan->count + MOTOROLA_FRAME_BYTES &&
           scan->sum == MOTOROLA_SUM;
}

// An empty line is no record and rules nothing out.
void end_line(ForeignScan* scan) {
    if (scan->chars > 0 || scan->line_bad) {
        if (!line_is_record(scan) || (scan->file != FORMAT_NONE && scan->file != scan->line)) {
            scan->ruled_out = true;
        } else {
            scan->file = scan->line;
        }
    }
    start_line(scan);
}

// The characters after the line's lead-in (':' or S and a digit).
void take_hex_digit(ForeignScan* scan, unsigned char c) {
    const int value = hex_value(c);
    if (value < 0 || scan->bytes >= LINE_BYTES_MAX) {
        scan->line_bad = true;
        return;
    }
    if (scan->high_nibble < 0) {
        scan->high_nibble = static_cast<int8_t>(value);
        return;
    }
    const uint8_t byte = static_cast<uint8_t>(scan->high_nibble << 4 | value);
    scan->high_nibble = -1;
    if (scan->bytes == 0) scan->count = byte;
    scan->sum = static_cast<uint8_t>(scan->sum + byte);
    ++scan->bytes;
}

void take_line_char(ForeignScan* scan, unsigned char c) {
    const uint16_t at = scan->chars++;
    if (at == 0) {
        if (c == ':') {
            scan->line = FORMAT_INTEL_HEX;
        } else if (c == 'S') {
            scan->line = FORMAT_MOTOROLA;
        } else {
            scan->line_bad = true;
        }
    } else if (at == 1 && scan->line == FORMAT_MOTOROLA) {
        if (c < '0' || c > '9') scan->line_bad = true;
    } else {
        take_hex_digit(scan, c);
    }
}

}  // namespace

void foreign_scan_start(ForeignScan* scan) {
    scan->file = FORMAT_NONE;
    scan->ruled_out = false;
    start_line(scan);
}

void foreign_scan_byte(ForeignScan* scan, unsigned char byte) {
    if (scan->ruled_out) return;
    if (byte == '\n') {
        end_line(scan);
        return;
    }
    // A CR ends a line only before its LF.
    if (scan->carriage_return) scan->line_bad = true;
    scan->carriage_return = byte == '\r';
    if (scan->carriage_return || scan->line_bad) return;
    take_line_char(scan, byte);
}

ForeignFormat foreign_scan_end(ForeignScan* scan) {
    if (!scan->ruled_out) end_line(scan);
    return scan->ruled_out ? FORMAT_NONE : scan->file;
}

const char* foreign_format_name(ForeignFormat format) {
    switch (format) {
    case FORMAT_INTEL_HEX:
        return "an Intel HEX file";
    case FORMAT_MOTOROLA:
        return "a Motorola S-record file";
    case FORMAT_NONE:
        break;
    }
    return "";
}
