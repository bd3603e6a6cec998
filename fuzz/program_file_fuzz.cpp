// Fuzz target: the pre-flight check of a program record file and the record
// reader over the same bytes. Checked: a file that passes the check yields
// only complete records (type and count as framed, at most 128 bytes, the
// bytes exactly as in the file) until the reader answers no record, the
// same records as the simulated target expects, the last of them an E
// record, and reads back with the fingerprint the check took; a refused
// file gets a message; the reader never writes past its slot.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "program_reader.h"
#include "record_list.h"

namespace {

// Straight to the descriptor: stderr may be the run's captured console.
[[noreturn]] void finding(const char* what) {
    dprintf(2, "\nFINDING: %s\n", what);
    std::abort();
}

// A slot with a guard behind it, so a write past the slot shows without
// relying on the sanitizer's red zone alone.
struct GuardedSlot {
    RecordSlot slot;
    unsigned char guard[64];
};

void check_record(const RecordSlot& slot, const uint8_t* data, long end) {
    if (slot.length < 1 || slot.length > RECORD_SLOT_SIZE) finding("record length out of the slot");
    if (slot.bytes[0] == 'E') {
        if (slot.length != 1) finding("E record longer than one byte");
    } else if (slot.bytes[0] != 'S' || slot.length != slot.bytes[1] + 2) {
        finding("record framing wrong");
    }
    if (end < slot.length || std::memcmp(data + end - slot.length, slot.bytes, static_cast<size_t>(slot.length)) != 0) {
        finding("record differs from the file");
    }
}

// A checked file must hold what the target is expected to receive, and end
// with the E record that tells it the image is whole.
void compare_with_target_list(const std::vector<sim::Bytes>& read, const uint8_t* data, size_t size) {
    const sim::RecordList expected = sim::records_from_file_bytes(sim::Bytes(data, data + size));
    if (expected.has_oversize || read != expected.records) finding("checked records unlike the target's list");
    if (read.empty() || read.back() != sim::Bytes{'E'}) finding("checked file does not end with an E record");
}

void read_all(FILE* file, const uint8_t* data, size_t size, bool checked, const ProgramFingerprint& seen) {
    std::vector<sim::Bytes> read;
    GuardedSlot g;
    std::memset(&g, 0xA5, sizeof g);
    ProgramStream stream;
    program_stream_start(&stream, file);
    for (int records = 0;; ++records) {
        const RecordRead result = read_program_record(&g.slot, &stream);
        if (checked && !program_file_unchanged(&stream, seen, false)) finding("unchanged file taken for changed");
        for (unsigned char b : g.guard) {
            if (b != 0xA5) finding("reader wrote past the slot");
        }
        if (result == NO_RECORD) {
            if (checked && !program_file_unchanged(&stream, seen, true)) finding("whole file read back unlike its check");
            if (checked) compare_with_target_list(read, data, size);
            return;
        }
        if (result == RECORD_TOO_LONG) {
            if (checked) finding("checked file yields an overlong record");
            return;
        }
        if (result != RECORD) finding("unknown reader answer");
        if (checked) {
            if (std::feof(file)) finding("checked file yields a record cut short");
            check_record(g.slot, data, std::ftell(file));
            read.emplace_back(g.slot.bytes, g.slot.bytes + g.slot.length);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // A real file (in memory): the reader looks at its size.
    const int fd = memfd_create("fwld-fuzz-program", MFD_CLOEXEC);
    if (fd < 0) return 0;
    if (write(fd, data, size) != static_cast<ssize_t>(size) || lseek(fd, 0, SEEK_SET) != 0) {
        close(fd);
        return 0;
    }
    FILE* stream = fdopen(fd, "rb");
    if (stream == nullptr) {
        close(fd);
        return 0;
    }
    char message[256];
    std::memset(message, 0, sizeof message);
    ProgramFingerprint seen{};
    const bool ok = check_program_file(stream, "p.hex", &seen, message, sizeof message);
    if (ok && seen.size != static_cast<int64_t>(size)) finding("check took the wrong size");
    if (!ok && (message[0] == '\0' || std::memchr(message, '\0', sizeof message) == nullptr)) {
        finding("refusal without a message");
    }
    if (std::ftell(stream) != 0) finding("check did not rewind");
    read_all(stream, data, size, ok, seen);
    std::fclose(stream);
    return 0;
}
