// Command line: positional parameters p1..p6 after the two files, then
// options. Anything that does not scan keeps its default.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console.h"
#include "device_names.h"
#include "settings.h"
#include "text.h"

namespace {

const char version_line[] = "Program upload utility Version 8.00\n";

const char* const usage_lines[] = {
    "fwld infile1 infile2 p1 p2 p3 p4 p5 p6 p7\n",
    "p1: Deletion waiting time.\n",
    "p2: Waiting time to write.\n",
    "p3: Password output interval.\n",
    "p4: ID number.\n",
    "p5: Port number.(1,2...)[:Baudrate.]\n",
    "p6: New wait time to write.\n",
    "p7: Other options.\n",
    "    LD[t]/[r]: t/r:Loader sending wait Time[ms]/Records.\n",
    "    ES[s]    : s  :ROM erase sectors.\n",
};

// After the usage text, for --help alone: what the usage text leaves out.
const char help_text[] =
    "\n"
    "Options (p7..., case-sensitive):\n"
    "    LDt/r   after every r loader records, pause t ms (r = 0: no pacing)\n"
    "    ESs     the erase list s, sent when the target asks with Z\n"
    "    TRpath  append a trace of every byte on the line to the file path\n"
    "    LGpath  append one line of JSON about the run to the file path\n"
    "    TOs     end the run when the target has sent nothing for s seconds\n"
    "    EVpath  write the run's events, a line of JSON each, to path (a file, FIFO or pipe)\n"
    "    RM      a board whose device goes after it answered ends the run (outcome removed)\n"
    "    RSe[:x] drive DTR and RTS: the steps e before the wake-up, x after a finished update;\n"
    "            steps dtr, -dtr, rts, -rts (on, off) and N (wait N ms), e.g. RS-dtr,100,dtr\n"
    "\n"
    "Ports (p5), each optionally followed by :BAUD (default 9600):\n"
    "    N              port N, 0 to 31: /dev/ttyS<N-1> on Linux, COMN on Windows\n"
    "    COMn, comn     port n; from 32 to 256 the device itself\n"
    "    /dev/ttyUSB0   a device path (POSIX: any text with a /)\n"
    "    ttyUSB0        a device name under /dev (POSIX)\n"
    "    \\\\.\\COM12      a device in the Windows device namespace\n"
    "    - or empty     port 1 at 9600 baud, a placeholder before p6\n"
    "\n"
    "fwld --list shows the serial ports this machine has, one per line.\n"
    "fwld --check infile1 infile2 p1 ... checks the arguments and both files as a run\n"
    "would, without a port: exit 0 when a run takes them without a word.\n"
    "\n"
    "Exit status:\n"
    "    0      Finish version up. (and --help, -h, --version, --list)\n"
    "    1      Interruption., a key while waiting for the target, every fatal stop\n"
    "    3      Finish version up., but the LG line could not be written\n"
    "    128+n  ended by signal n, 130 for Ctrl-C (Windows: 0xC000013A)\n"
    "\n"
    "See man fwld.\n";

void scan_into(const char* text, int32_t* field) {
    int32_t value = 0;
    if (scan_decimal(text, &value) != nullptr) *field = value;
}

void build_password(RunSettings* s) {
    if (s->target_id != 0) {
        std::snprintf(s->password, sizeof s->password, "Wake up now%d", static_cast<int>(s->target_id));
    } else {
        std::snprintf(s->password, sizeof s->password, "Wake up now.");
    }
}

// A refusal that quotes the arguments; one per run, so one buffer will do.
char refusal_text[320];

const char* refuse(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(refusal_text, sizeof refusal_text, format, arguments);
    va_end(arguments);
    return refusal_text;
}

// Whether the text starts like a "%d" number: blanks, a sign, a digit.
bool starts_with_number(const char* text) {
    while (std::isspace(static_cast<unsigned char>(*text))) ++text;
    if (*text == '-' || *text == '+') ++text;
    return *text >= '0' && *text <= '9';
}

// An argument as a message may quote it: cut short, control bytes shown,
// so that a stray escape sequence cannot drive the terminal.
struct Quoted {
    char text[64];
};

Quoted quoted(const char* argument) {
    char cut[41];
    std::snprintf(cut, sizeof cut, "%s", argument);
    Quoted q;
    escape_for_console(cut, q.text, sizeof q.text);
    return q;
}

void note(CommandNotes* notes, const char* format, ...) {
    if (notes == nullptr || notes->count >= COMMAND_NOTES_MAX) return;
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(notes->lines[notes->count], COMMAND_NOTE_SIZE, format, arguments);
    va_end(arguments);
    ++notes->count;
}

// The text after the colon. Empty keeps the default rate, as "3:" always did.
const char* parse_baud(const char* text, RunSettings* s) {
    if (*text == '\0') return nullptr;
    int32_t baud = 0;
    const char* rest = starts_with_number(text) ? scan_decimal(text, &baud) : text;
    if (rest == nullptr) return refuse("p5 baud rate \"%.40s\" does not fit in 32 bits.", text);
    if (rest == text || *rest != '\0') return refuse("p5 baud rate \"%.40s\" is not a number.", text);
    s->baud_rate = baud;
    return nullptr;
}

// Copies the part of "DEVICE[:BAUD]" before the baud; false when it does not fit.
bool copy_device_part(const char* text, char* out, size_t size) {
    const char* colon = device_baud_colon(text);
    const size_t length = colon != nullptr ? static_cast<size_t>(colon - text) : std::strlen(text);
    if (length >= size) return false;
    std::memcpy(out, text, length);
    out[length] = '\0';
    return true;
}

const char* parse_baud_after_device(const char* text, RunSettings* s) {
    const char* colon = device_baud_colon(text);
    return colon != nullptr ? parse_baud(colon + 1, s) : nullptr;
}

// "PATH" or "PATH:BAUD".
const char* parse_port_path(const char* text, RunSettings* s) {
    if (!copy_device_part(text, s->port_path, sizeof s->port_path)) return "p5 names a device path that is too long.";
    return parse_baud_after_device(text, s);
}

// "N" or "N:BAUD", also after "COM". False when the text is not of that
// form; *refusal is set when it is but a number does not fit.
bool parse_port_number(const char* text, RunSettings* s, const char** refusal) {
    if (!starts_with_number(text)) return false;
    int32_t port = 0;
    const char* rest = scan_decimal(text, &port);
    if (rest == nullptr) {
        *refusal = refuse("p5 port number \"%.40s\" does not fit in 32 bits.", text);
        return true;
    }
    if (*rest != '\0' && *rest != ':') return false;
    s->port_number = port;
    *refusal = *rest == ':' ? parse_baud(rest + 1, s) : nullptr;
    return true;
}

// Windows numbers its ports up to COM256, and USB adapters often land above
// the table's 32 slots: such a COMn names its device directly.
constexpr int COM_NUMBER_MAX = 256;

// "COMn" in any case: port n on every platform.
bool parse_com_port(const char* text, RunSettings* s, const char** refusal) {
    if (!device_names_com(text) || !parse_port_number(text + 3, s, refusal)) return false;
    if (*refusal == nullptr && s->port_number >= PORT_COUNT && s->port_number <= COM_NUMBER_MAX) {
        device_default_path(s->port_number, s->port_path, sizeof s->port_path);
        s->port_number = 1;  // the slot that holds the device's name
    }
    return true;
}

// A bare device name the platform knows, e.g. ttyUSB0 for /dev/ttyUSB0.
bool parse_device_name(const char* text, RunSettings* s, const char** refusal) {
    char name[PORT_PATH_MAX];
    if (!copy_device_part(text, name, sizeof name) || name[0] == '\0') return false;
    if (!device_find_by_name(name, s->port_path, sizeof s->port_path)) return false;
    *refusal = parse_baud_after_device(text, s);
    return true;
}

// p5: a device path, a port number, COMn or a device name, each with an
// optional ":BAUD". Empty or "-" keeps the default port (a placeholder for
// scripts that give p6); anything else is refused rather than guessed.
const char* parse_port(const char* text, RunSettings* s) {
    if (text[0] == '\0' || std::strcmp(text, "-") == 0) return nullptr;
    if (device_names_path(text)) return parse_port_path(text, s);
    const char* refusal = nullptr;
    if (parse_port_number(text, s, &refusal) || parse_com_port(text, s, &refusal) ||
        parse_device_name(text, s, &refusal)) {
        return refusal;
    }
    return refuse("p5 \"%.40s\" names no serial port: give a port number (3 or COM3), a device name or "
                  "a device path, each optionally followed by :BAUD.",
                  text);
}

// The options, by the two letters they start with (case-sensitive).
const char* const option_names[] = {"LD", "ES", "TR", "LG", "TO", "EV", "RM", "RS"};
const char option_list[] = "LDt/r, ESs, TRpath, LGpath, TOs, EVpath, RM and RSsteps";

bool is_option_word(const char* text) {
    for (const char* name : option_names) {
        if (std::strncmp(text, name, 2) == 0) return true;
    }
    return false;
}

// A number of an option that does not fit is refused, as a parameter's is:
// cut to its low bits or dropped, it would be some other number.
bool overflows(const char* text) {
    int32_t value = 0;
    return starts_with_number(text) && scan_decimal(text, &value) == nullptr;
}

const char* parse_loader_pacing(const char* option, RunSettings* s) {
    const char* text = option + 2;
    const char* slash = std::strchr(text, '/');
    if (overflows(text) || (slash != nullptr && overflows(slash + 1))) {
        return refuse("%s: a number does not fit in 32 bits.", quoted(option).text);
    }
    const char* rest = scan_decimal(text, &s->loader_pacing_wait);
    if (rest != nullptr && *rest == '/') scan_into(rest + 1, &s->loader_pacing_group);
    return nullptr;
}

// A silent target is waited for at most this long: its milliseconds fit the tick.
constexpr int32_t SILENCE_LIMIT_MAX = INT32_MAX / 1000;

const char* parse_silence_limit(const char* option, RunSettings* s) {
    int32_t seconds = 0;
    const char* rest = scan_decimal(option + 2, &seconds);
    if (rest == nullptr || rest == option + 2 || *rest != '\0' || seconds < 1 || seconds > SILENCE_LIMIT_MAX) {
        return refuse("%s: TO takes the seconds a silent target is waited for, a whole number from 1 to %ld "
                      "(TO30).",
                      quoted(option).text, static_cast<long>(SILENCE_LIMIT_MAX));
    }
    s->silence_limit = seconds;
    return nullptr;
}

const char* parse_removal(const char* option, RunSettings* s) {
    if (option[2] != '\0') return refuse("%s: RM takes nothing after it.", quoted(option).text);
    s->removal_ends_run = true;
    return nullptr;
}

struct LineWord {
    const char* word;
    LineStepKind kind;
};
const LineWord line_words[] = {
    {"dtr", STEP_DTR_ON}, {"-dtr", STEP_DTR_OFF}, {"rts", STEP_RTS_ON}, {"-rts", STEP_RTS_OFF}};

bool same_word(const char* text, size_t length, const char* word) {
    if (std::strlen(word) != length) return false;
    for (size_t i = 0; i < length; ++i) {
        if (std::tolower(static_cast<unsigned char>(text[i])) != word[i]) return false;
    }
    return true;
}

// One step of a sequence, `length` bytes of `text`.
const char* parse_line_step(const char* text, size_t length, LineStep* step) {
    for (const LineWord& w : line_words) {
        if (same_word(text, length, w.word)) {
            *step = LineStep{w.kind, 0};
            return nullptr;
        }
    }
    char word[24];
    std::snprintf(word, sizeof word, "%.*s", static_cast<int>(length < 20 ? length : 20), text);
    const Quoted shown = quoted(word);
    if (length == 0 || length > 5 || !all_digits(word)) {
        return refuse("RS: '%s' is not dtr, -dtr, rts, -rts or a number of milliseconds.", shown.text);
    }
    const long ms = std::atol(word);
    if (ms > LINE_WAIT_MAX_MS) return refuse("RS: '%s' is more than %d milliseconds.", shown.text, LINE_WAIT_MAX_MS);
    *step = LineStep{STEP_WAIT, static_cast<uint16_t>(ms)};
    return nullptr;
}

// "step,step,..." up to `end`; an empty text is no sequence.
const char* parse_line_sequence(const char* text, const char* end, LineSequence* sequence) {
    *sequence = LineSequence{};
    if (text == end) return nullptr;
    if (end - text >= LINE_SEQUENCE_TEXT_MAX) return refuse("RS: a sequence takes at most %d steps.", LINE_STEPS_MAX);
    std::snprintf(sequence->text, sizeof sequence->text, "%.*s", static_cast<int>(end - text), text);
    for (const char* step = text;; ++step) {
        const char* comma = step;
        while (comma < end && *comma != ',') ++comma;
        if (sequence->count == LINE_STEPS_MAX) return refuse("RS: a sequence takes at most %d steps.", LINE_STEPS_MAX);
        const char* refusal =
            parse_line_step(step, static_cast<size_t>(comma - step), &sequence->steps[sequence->count]);
        if (refusal != nullptr) return refusal;
        ++sequence->count;
        if (comma == end) return nullptr;
        step = comma;
    }
}

// RS<entry>[:<exit>]: the first colon parts the two.
const char* parse_line_sequences(const char* option, RunSettings* s) {
    const char* text = option + 2;
    const char* end = text + std::strlen(text);
    const char* colon = std::strchr(text, ':');
    const char* refusal = parse_line_sequence(text, colon != nullptr ? colon : end, &s->lines_entry);
    if (refusal == nullptr && colon != nullptr) refusal = parse_line_sequence(colon + 1, end, &s->lines_exit);
    if (refusal != nullptr) return refusal;
    if (s->lines_entry.count + s->lines_exit.count == 0) {
        return refuse("RS takes the steps for DTR and RTS, such as RS-dtr,100,dtr.");
    }
    s->lines_text = text;
    return nullptr;
}

const char* parse_option(const char* option, RunSettings* s, CommandNotes* notes) {
    if (std::strncmp(option, "LD", 2) == 0) return parse_loader_pacing(option, s);
    if (std::strncmp(option, "ES", 2) == 0) s->erase_list = option + 2;
    else if (std::strncmp(option, "TR", 2) == 0) s->trace_path = option + 2;
    else if (std::strncmp(option, "LG", 2) == 0) s->log_path = option + 2;
    else if (std::strncmp(option, "TO", 2) == 0) return parse_silence_limit(option, s);
    else if (std::strncmp(option, "EV", 2) == 0) s->event_path = option + 2;
    else if (std::strncmp(option, "RM", 2) == 0) return parse_removal(option, s);
    else if (std::strncmp(option, "RS", 2) == 0) return parse_line_sequences(option, s);
    else note(notes, "'%s' after p6 is no option fwld knows and is ignored; the options are %s.",
              quoted(option).text, option_list);
    return nullptr;
}

// The positional parameters that hold a number, for the messages that name them.
struct NumberParameter {
    int argument;       // index in argv
    const char* name;   // as the usage text calls it
    const char* field;  // what it sets
    const char* unit;
    int32_t RunSettings::*value;
};

const NumberParameter number_parameters[] = {
    {3, "p1", "the erase wait", " s", &RunSettings::erase_wait},
    {4, "p2", "the write wait", " ms", &RunSettings::write_wait},
    {5, "p3", "the password interval", " ms", &RunSettings::password_interval},
    {6, "p4", "the target ID", "", &RunSettings::target_id},
    {8, "p6", "the new wait", " ms", &RunSettings::new_wait},
};

// A port where a number belongs: a parameter left out before it shifts
// the port forward, and it would be read as a number it is not.
bool looks_like_port(const char* text) {
    if (device_names_path(text) || device_baud_colon(text) != nullptr) return true;
    RunSettings scratch{};
    const char* refusal = nullptr;
    if (parse_com_port(text, &scratch, &refusal)) return true;
    int32_t number = 0;
    const char* rest = starts_with_number(text) ? scan_decimal(text, &number) : nullptr;
    if (rest != nullptr && *rest == ':') return true;
    char path[PORT_PATH_MAX];
    return !starts_with_number(text) && device_find_by_name(text, path, sizeof path);
}

// A word that belongs elsewhere on the command line stops the run: taken
// as it stands, the run would go on without what it says.
const char* refuse_misplaced(const char* text, const char* name) {
    if (is_option_word(text)) return refuse("%s stands as %s: options come after p6.", quoted(text).text, name);
    if (looks_like_port(text)) {
        return refuse("%s looks like a port: is a parameter missing? (\"%s\" stands as %s.)", name,
                      quoted(text).text, name);
    }
    return nullptr;
}

// A number parameter: scanned as "%ld". What does not scan keeps the value
// there is, and a note says so; a number that does not fit stops the run.
const char* parse_number(const NumberParameter& p, const char* text, RunSettings* s, CommandNotes* notes) {
    const char* misplaced = refuse_misplaced(text, p.name);
    if (misplaced != nullptr) return misplaced;
    if (overflows(text)) return refuse("%s \"%s\" does not fit in 32 bits.", p.name, quoted(text).text);
    int32_t value = 0;
    const char* rest = scan_decimal(text, &value);
    if (rest == nullptr) {
        note(notes, "%s '%s' is not a number; %s stays %ld%s.", p.name, quoted(text).text, p.field,
             static_cast<long>(s->*p.value), p.unit);
        return nullptr;
    }
    s->*p.value = value;
    if (*rest != '\0') note(notes, "%s '%s' was read as %ld.", p.name, quoted(text).text, static_cast<long>(value));
    return nullptr;
}

// A negative wait would become a wait of about 49.7 days on the unsigned
// millisecond tick, and a baud rate of 0 hangs the line up.
const char* check_ranges(const RunSettings* s) {
    if (s->write_wait < 0) return "p2 (waiting time to write) must not be negative.";
    if (s->password_interval < 0) return "p3 (password output interval) must not be negative.";
    if (s->baud_rate <= 0) return "p5 baud rate must be a positive number.";
    if (s->new_wait < 0) return "p6 (new wait time to write) must not be negative.";
    if (s->loader_pacing_wait < 0 || s->loader_pacing_group < 0)
        return "LD (loader sending wait time/records) must not be negative.";
    return nullptr;
}

}  // namespace

const char* scan_decimal(const char* text, int32_t* value) {
    const char* p = text;
    while (std::isspace(static_cast<unsigned char>(*p))) ++p;
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return nullptr;
    int64_t magnitude = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        magnitude = magnitude * 10 + (*p - '0');
        if (magnitude > static_cast<int64_t>(INT32_MAX) + 1) return nullptr;
    }
    const int64_t signed_value = negative ? -magnitude : magnitude;
    if (signed_value > INT32_MAX) return nullptr;
    *value = static_cast<int32_t>(signed_value);
    return p;
}

InfoRequest info_request(int argc, char** argv) {
    if (argc >= 2 && std::strcmp(argv[1], "--check") == 0) return CHECK_REQUEST;
    if (argc != 2) return NO_INFO_REQUEST;
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) return HELP_REQUEST;
    if (std::strcmp(argv[1], "--version") == 0) return VERSION_REQUEST;
    if (std::strcmp(argv[1], "--list") == 0) return LIST_REQUEST;
    return NO_INFO_REQUEST;
}

void print_help() {
    std::fputs(help_text, stdout);
    std::fflush(stdout);
}

void print_version() {
    std::fputs(version_line, stdout);
    std::fflush(stdout);
}

void print_banner_and_usage() {
    std::fputs(version_line, stderr);
    std::fputs("  Rewrites a target's program memory over a serial line.\n"
               "  Written by the fwld developers.\n",
               stderr);
    for (const char* line : usage_lines) std::fputs(line, stdout);
    std::fflush(stdout);
}

const char* parse_command_line(int argc, char** argv, RunSettings* s, CommandNotes* notes) {
    if (argc < 3) return ".The number of input file is not sufficient.";
    *s = RunSettings{};
    if (notes != nullptr) notes->count = 0;
    s->loader_path = argv[1];
    s->program_path = argv[2];
    s->erase_wait = 125;
    s->write_wait = 2;
    s->password_interval = 100;
    s->port_number = 1;
    s->baud_rate = 9600;
    s->erase_list = "";
    for (const NumberParameter& p : number_parameters) {
        if (p.argument >= argc) continue;
        const char* refusal = parse_number(p, argv[p.argument], s, notes);
        if (refusal != nullptr) return refusal;
    }
    build_password(s);
    if (argc >= 8) {
        s->port_text = argv[7];
        const char* refusal = is_option_word(argv[7]) ? refuse_misplaced(argv[7], "p5") : parse_port(argv[7], s);
        if (refusal != nullptr) return refusal;
    }
    for (int i = 9; i < argc; ++i) {
        const char* refusal = parse_option(argv[i], s, notes);
        if (refusal != nullptr) return refusal;
    }
    return check_ranges(s);
}

bool read_command_line(int argc, char** argv, RunSettings* s, int* said) {
    static CommandNotes notes;
    const char* refusal = parse_command_line(argc, argv, s, &notes);
    if (refusal != nullptr) {
        std::fprintf(stderr, "\n%s\n", refusal);
        return false;
    }
    print_command_notes(notes);
    if (said != nullptr) *said = notes.count;
    return true;
}

void print_command_notes(const CommandNotes& notes) {
    for (int i = 0; i < notes.count; ++i) std::fprintf(stderr, "Note: %s\n", notes.lines[i]);
}
