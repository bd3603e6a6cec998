// Fuzz target: the program stage's command loop, fed with arbitrary target
// bytes through the memory device, over a small program record file.
//
// Input: four bytes of run options and faults, then the bytes the target
// sends. Checked on every run: it ends through a defined exit (finished,
// interrupted or a fatal stop); fwld writes nothing but whole records of the
// file, resends of the last one and erase-list replies, never more records
// than the target asked for; no closed or replaced handle is used; the port
// is closed on the way out; no control byte from the target reaches the
// console.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "device_memory.h"
#include "keyboard_memory.h"
#include "run_harness.h"
#include "stages.h"

namespace {

struct ProgramFile {
    const char* name;
    const char* records[6];
    size_t lengths[6];
    int count;
    char path[64];
    size_t size;
};

// 126 data bytes: the longest record a slot holds.
#define DATA_126                                                                                         \
    "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef" \
    "0123456789abcdef0123456789abcd"

ProgramFile files[] = {
    {"app",
     {"S\x03\x10\x20\x30", "S\x00", "S\x06SE\nZ\x00R", "S\x7e" DATA_126, "E"},
     {5, 2, 8, 128, 1},
     5,
     {},
     0},
    // Under 100 bytes: the progress line takes its small-file path.
    {"tiny", {"S\x01\x41", "E"}, {3, 1}, 2, {}, 0},
};

const char* const erase_lists[] = {"", "0,1,2", "ALL SECTORS", "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,20"};

// What the run may write and has written.
struct WriteCheck {
    const ProgramFile* file;
    const char* erase_list;
    const unsigned char* target;  // the target's bytes, for counting commands read
    size_t scanned;
    uint32_t commands_h, commands_r, commands_z;
    int sent;       // records sent on 'H', in file order
    uint32_t resends;
    uint32_t replies;
    int reply_step;  // 0: none open; 1: after "Z"; 2: after the list
    bool last_record_taken;
};

WriteCheck check;
RunFiles run_files;
RunSettings settings;
uint32_t silent_sleeps;
size_t reads_at_last_sleep;
uint64_t sleeps;

// Straight to the descriptor: stderr may be the run's captured console.
[[noreturn]] void finding(const char* what) {
    dprintf(2, "\nFINDING: %s\n", what);
    std::abort();
}

bool same(const unsigned char* data, uint32_t count, const char* text, size_t length) {
    return count == length && std::memcmp(data, text, length) == 0;
}

void count_commands_read() {
    const size_t read = memory_device_bytes_read();
    for (; check.scanned < read; ++check.scanned) {
        const unsigned char byte = check.target[check.scanned];
        if (byte == 'H') ++check.commands_h;
        if (byte == 'R') ++check.commands_r;
        if (byte == 'Z') ++check.commands_z;
    }
}

void on_write(const unsigned char* data, uint32_t count, bool taken) {
    count_commands_read();
    const size_t list_length = std::strlen(check.erase_list);
    if (check.reply_step == 1 && list_length > 0) {
        if (!same(data, count, check.erase_list, list_length)) finding("erase list expected after Z");
        check.reply_step = 2;
        return;
    }
    if (check.reply_step != 0) {
        if (!same(data, count, "\n", 1)) finding("line feed expected to close the erase-list reply");
        check.reply_step = 0;
        return;
    }
    if (same(data, count, "Z", 1)) {
        if (++check.replies > check.commands_z) finding("erase-list reply without a Z from the target");
        check.reply_step = 1;
        return;
    }
    const ProgramFile& f = *check.file;
    if (check.sent < f.count && same(data, count, f.records[check.sent], f.lengths[check.sent])) {
        if (static_cast<uint32_t>(++check.sent) > check.commands_h) finding("record sent without an H");
        if (check.sent == f.count) check.last_record_taken = taken;
        return;
    }
    if (check.sent > 0 && same(data, count, f.records[check.sent - 1], f.lengths[check.sent - 1])) {
        if (++check.resends > check.commands_r) finding("resend without an R from the target");
        return;
    }
    finding("write that is no record, resend or erase-list reply");
}

// While fwld sleeps and the target has nothing more to say, the operator
// gives up after a few idle turns and presses a key.
void on_sleep(uint32_t) {
    if (++sleeps > 2000000) finding("the run does not end");
    const size_t read = memory_device_bytes_read();
    if (memory_device_input_waiting() != 0 || read != reads_at_last_sleep) {
        silent_sleeps = 0;
        reads_at_last_sleep = read;
        return;
    }
    if (++silent_sleeps >= 3) keyboard_memory_press();
}

void write_program_files() {
    for (ProgramFile& f : files) {
        std::snprintf(f.path, sizeof f.path, "/tmp/fwld-fuzz-%ld-%s.rec", static_cast<long>(getpid()), f.name);
        FILE* out = std::fopen(f.path, "wb");
        if (out == nullptr) finding("cannot write the program file");
        std::fputs("; program image\r\n", out);
        for (int i = 0; i < f.count; ++i) {
            std::fwrite(f.records[i], 1, f.lengths[i], out);
            std::fputs("\r\n", out);
        }
        f.size = static_cast<size_t>(std::ftell(out));
        std::fclose(out);
    }
    std::atexit([] {
        for (const ProgramFile& f : files) unlink(f.path);
    });
}

struct Options {
    const ProgramFile* file;
    char erase_wait[4];
    char write_wait[4];
    char new_wait[4];
    char erase_option[80];
    uint8_t fault;
    uint8_t position;
    uint8_t extent;
};

Options decode(const uint8_t* data, size_t size) {
    uint8_t header[4] = {0, 0, 0, 0};
    std::memcpy(header, data, size < 4 ? size : 4);
    static const int write_waits[] = {0, 1, 2, 50};
    Options o{};
    o.file = &files[header[0] >> 7];
    std::snprintf(o.erase_wait, sizeof o.erase_wait, "%d", header[0] & 3);
    std::snprintf(o.write_wait, sizeof o.write_wait, "%d", write_waits[(header[0] >> 2) & 3]);
    std::snprintf(o.new_wait, sizeof o.new_wait, "%d", (header[0] & 0x10) != 0 ? 7 : 0);
    std::snprintf(o.erase_option, sizeof o.erase_option, "ES%s", erase_lists[(header[0] >> 5) & 3]);
    o.fault = header[1] & 7;
    o.position = header[2];
    o.extent = header[3];
    return o;
}

void inject_fault(const Options& o) {
    switch (o.fault) {
    case 1: memory_device_unplug(o.position, o.extent); break;
    case 2: memory_device_fail(FAULT_WRITE, o.position, o.extent); break;
    case 3: memory_device_fail(FAULT_QUEUE_STATUS, o.position, o.extent); break;
    case 4: memory_device_fail(FAULT_READ_SETTINGS, o.position, o.extent); break;
    case 5: memory_device_fail(FAULT_APPLY_SETTINGS, o.position, o.extent); break;
    case 6:
        memory_device_fail(FAULT_READ_SETTINGS, o.position, 1);
        memory_device_fail(FAULT_OPEN, 0, o.extent);
        break;
    case 7: keyboard_memory_press_at_poll(1u + o.position * 4u + o.extent % 4u); break;
    default: break;
    }
}

void prepare_run(const Options& o) {
    char* argv[] = {const_cast<char*>("fwld"), const_cast<char*>(o.file->path), const_cast<char*>(o.file->path),
                    const_cast<char*>(o.erase_wait), const_cast<char*>(o.write_wait), const_cast<char*>("1"),
                    const_cast<char*>("0"), const_cast<char*>("2:19200"), const_cast<char*>(o.new_wait),
                    const_cast<char*>(o.erase_option)};
    if (parse_command_line(10, argv, &settings) != nullptr) finding("harness settings refused");
    if (port_open(settings.port_number) != PORT_OPENED) finding("memory port does not open");
    port_configure(settings.port_number, static_cast<uint32_t>(settings.baud_rate), 8, LINE_PARITY_NONE,
                   LINE_STOP_BITS_ONE);
    run_files.loader_fd = open(o.file->path, O_RDONLY);
    run_files.program = std::fopen(o.file->path, "rb");
    if (run_files.loader_fd < 0 || run_files.program == nullptr) finding("program file does not open");
    run_files.loader_size = static_cast<int32_t>(o.file->size);
    run_files.program_size = static_cast<int32_t>(o.file->size);
    char refusal[128];
    if (!check_program_file(run_files.program, "p.hex", &run_files.program_checked, refusal, sizeof refusal)) {
        finding("the scripted program file fails its own check");
    }
}

// A fatal stop leaves the input files open; the process would have ended.
void release_files() {
    if (run_files.program != nullptr) std::fclose(run_files.program);
    if (run_files.loader_fd >= 0) close(run_files.loader_fd);
    run_files = RunFiles{};
}

bool is_console_control(unsigned char byte) {
    const bool tool_own = byte == '\n' || byte == '\r' || byte == '\t' || byte == '\a';
    return (byte < 0x20 && !tool_own) || (byte >= 0x7f && byte <= 0x9f);
}

// Target text appears only in these lines; inside them not even the tool's
// own line controls may come from the target.
bool starts_target_line(const char* p) {
    return std::strncmp(p, ">>", 2) == 0 || std::strncmp(p, "N-", 2) == 0 ||
           std::strncmp(p, "Speed change ignored", 20) == 0;
}

void check_console(const char* text, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (is_console_control(static_cast<unsigned char>(text[i]))) finding("control byte on the console");
        const bool line_start = i == 0 || text[i - 1] == '\n' || text[i - 1] == '\r';
        if (!line_start || !starts_target_line(text + i)) continue;
        for (size_t j = i; j < length && text[j] != '\n'; ++j) {
            if (text[j] == '\r' || text[j] == '\a') finding("target text carries a line control to the console");
        }
    }
}

bool contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

void check_outcome(const Options&, harness::Ended outcome, const char* console) {
    const MemoryDeviceCounts counts = memory_device_counts();
    if (counts.misuses != 0) finding("a closed or replaced handle was used");
    if (check.reply_step != 0) finding("erase-list reply left unfinished");
    if (outcome.end == RUN_STOPPED) {
        if (outcome.status != 1) finding("fatal stop with a status other than 1");
        return;
    }
    if (counts.opens != counts.closes) finding("the port is left open after the run");
    if (outcome.status == 1) {
        if (!contains(console, "Interruption.          \a\n")) finding("status 1 without the interruption message");
        return;
    }
    if (outcome.status != 0) finding("run returned a status other than 0 or 1");
    if (!contains(console, "Finish version up.     \a\n")) finding("status 0 without the completion message");
    if (check.sent != check.file->count) finding("success reported with records left unsent");
    if (!check.last_record_taken) finding("success reported although the last record was refused");
}

// With FWLD_FUZZ_SHOW set, each run's console and wire, for reading a
// finding or a seed.
void show_run(harness::Ended outcome, const char* console, size_t length) {
    std::fprintf(stderr, "---- %s, status %d, %d records, %u resends, %u replies\n",
                 outcome.end == RUN_STOPPED ? "stopped" : "ended", outcome.status, check.sent, check.resends,
                 check.replies);
    std::fwrite(console, 1, length, stderr);
    size_t count = 0;
    const unsigned char* wire = memory_device_output(&count);
    std::fprintf(stderr, "---- wire (%zu bytes):", count);
    for (size_t i = 0; i < count; ++i) std::fprintf(stderr, " %02x", wire[i]);
    std::fprintf(stderr, "\n");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    write_program_files();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Options o = decode(data, size);
    const uint8_t* target = size > 4 ? data + 4 : data;
    const size_t target_size = size > 4 ? size - 4 : 0;
    if (target_size > MEMORY_INPUT_CAPACITY) return -1;  // not worth keeping in the corpus

    memory_device_reset();
    keyboard_memory_reset();
    harness::manual_clock_install(0xFFFFF000u);  // the tick wraps four seconds in
    silent_sleeps = 0;
    reads_at_last_sleep = 0;
    sleeps = 0;
    check = WriteCheck{};
    check.file = o.file;
    check.target = target;

    prepare_run(o);
    check.erase_list = settings.erase_list;
    memory_device_clear_output();
    memory_device_watch_writes(on_write);
    memory_device_send(target, target_size);
    inject_fault(o);
    harness::manual_clock_on_sleep(on_sleep);

    harness::console_capture_begin();
    const harness::Ended outcome = harness::end_as_main_does(settings, send_program(settings, &run_files));
    size_t console_length = 0;
    const char* console = harness::console_capture_end(&console_length);

    release_files();
    memory_device_watch_writes(nullptr);
    harness::manual_clock_remove();
    if (std::getenv("FWLD_FUZZ_SHOW") != nullptr) show_run(outcome, console, console_length);
    check_console(console, console_length);
    check_outcome(o, outcome, console);
    return 0;
}
