// fwld-gang's command line: the ports (or the pattern they come by), where
// the logs go, and fwld's own arguments with `@` in p5 standing for each port.
#include <cctype>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "args.h"
#include "device_names.h"
#include "platform.h"

namespace {

bool refuse(char* refusal, size_t size, const char* format, const char* a = "", const char* b = "") {
    std::snprintf(refusal, size, format, a, b);
    return false;
}

bool add_port(GangArgs* args, const char* start, size_t length, const char* list, char* refusal, size_t size) {
    if (length == 0) return refuse(refusal, size, "an empty port name in \"%.60s\".", list);
    if (args->port_count >= GANG_PORTS_MAX) return refuse(refusal, size, "at most 64 ports at once.");
    if (length >= GANG_TEXT_MAX) return refuse(refusal, size, "the port name \"%.40s...\" is too long.", start);
    char* port = args->ports[args->port_count++];
    std::memcpy(port, start, length);
    port[length] = '\0';
    return true;
}

bool add_port_list(GangArgs* args, const char* list, char* refusal, size_t size) {
    const char* start = list;
    for (;;) {
        const char* comma = std::strchr(start, ',');
        const size_t length = comma != nullptr ? static_cast<size_t>(comma - start) : std::strlen(start);
        if (!add_port(args, start, length, list, refusal, size)) return false;
        if (comma == nullptr) return true;
        start = comma + 1;
    }
}

// fwld takes a trailing ":BAUD" off a device name; so does the comparison.
size_t without_baud(const char* port) {
    const char* colon = device_baud_colon(port);
    return colon != nullptr ? static_cast<size_t>(colon - port) : std::strlen(port);
}

// Two fwld on one port would fight over the line: refused before any starts.
bool ports_distinct(const GangArgs& args, char* refusal, size_t size) {
    static char identities[GANG_PORTS_MAX][GANG_TEXT_MAX];
    for (int i = 0; i < args.port_count; ++i) {
        char device[GANG_TEXT_MAX];
        std::snprintf(device, sizeof device, "%.*s", static_cast<int>(without_baud(args.ports[i])), args.ports[i]);
        port_identity(device, identities[i], sizeof identities[i]);
        for (int j = 0; j < i; ++j) {
            if (std::strcmp(identities[i], identities[j]) == 0) {
                return refuse(refusal, size, "\"%.60s\" and \"%.60s\" are the same port.", args.ports[j],
                              args.ports[i]);
            }
        }
    }
    return true;
}

bool p5_takes_port(const GangArgs& args, char* refusal, size_t size) {
    if (args.fwld_arg_count <= FWLD_P5_INDEX) {
        return refuse(refusal, size,
                      "fwld's arguments end before p5: give infile1 infile2 p1 p2 p3 p4 and @ or @:BAUD as p5.");
    }
    const char* p5 = args.fwld_args[FWLD_P5_INDEX];
    if (p5[0] != '@' || (p5[1] != '\0' && p5[1] != ':')) {
        return refuse(refusal, size, "p5 is \"%.60s\": it must be @ or @:BAUD, which stands for each port.", p5);
    }
    for (int i = 0; i < args.port_count; ++i) {
        char text[GANG_TEXT_MAX];
        if (!substitute_port(args, args.ports[i], text, sizeof text)) {
            return refuse(refusal, size, "p5 for port \"%.60s\" is too long.", args.ports[i]);
        }
    }
    return true;
}

// fwld-gang gives each fwld its event stream; one of the user's would take
// its place.
bool event_stream_free(const GangArgs& args, char* refusal, size_t size) {
    for (int i = FWLD_P1_INDEX; i < args.fwld_arg_count; ++i) {
        if (std::strncmp(args.fwld_args[i], "EV", 2) == 0) {
            return refuse(refusal, size, "\"%.60s\": fwld-gang gives every fwld its event stream (EV) itself.",
                          args.fwld_args[i]);
        }
    }
    return true;
}

bool is_option(const char* word, const char* name) { return std::strcmp(word, name) == 0; }

// An option's value: the next word, neither missing nor "--" nor empty.
const char* option_value(int argc, char** argv, int* i) {
    if (*i + 1 >= argc || is_option(argv[*i + 1], "--") || argv[*i + 1][0] == '\0') return nullptr;
    return argv[++*i];
}

char safe_file_char(char c) {
    const bool keep = std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
    return keep ? c : '_';
}

void safe_file_name(const char* port, char* out, size_t size) {
    if (std::strncmp(port, "\\\\.\\", 4) == 0) port += 4;
    if (std::strncmp(port, "/dev/", 5) == 0) port += 5;
    size_t n = 0;
    for (const char* p = port; *p != '\0' && n + 1 < size; ++p) {
        // Nothing that hides the file or climbs out of the folder.
        if (n == 0 && (*p == '.' || safe_file_char(*p) == '_')) continue;
        out[n++] = safe_file_char(*p);
    }
    out[n] = '\0';
    if (n == 0) std::snprintf(out, size, "port");
}

bool same_name(const char* a, const char* b) {
    for (; *a != '\0' && *b != '\0'; ++a, ++b) {
        // Windows file names ignore case.
        if (std::tolower(static_cast<unsigned char>(*a)) != std::tolower(static_cast<unsigned char>(*b))) return false;
    }
    return *a == *b;
}

bool same_prefix(const char* name, const char* prefix, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        if (std::toupper(static_cast<unsigned char>(name[i])) != prefix[i]) return false;
    }
    return true;
}

// The last part of a path, after its last '/' or '\\'.
const char* base_name(const char* path) {
    const char* name = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if (*p == '/' || *p == '\\') name = p + 1;
    }
    return name;
}

bool name_taken(const std::vector<std::string>& names, const char* name) {
    for (const std::string& taken : names) {
        if (same_name(taken.c_str(), name)) return true;
    }
    return false;
}

}  // namespace

GangRequest parse_gang_args(int argc, char** argv, GangArgs* args, char* refusal, size_t size) {
    *args = GangArgs{};
    if (argc == 2 && (is_option(argv[1], "--help") || is_option(argv[1], "-h"))) return GANG_HELP;
    if (argc == 2 && is_option(argv[1], "--version")) return GANG_VERSION;
    int i = 1;
    for (; i < argc && !is_option(argv[i], "--"); ++i) {
        if (is_option(argv[i], "--logs")) {
            if ((args->log_dir = option_value(argc, argv, &i)) == nullptr) {
                refuse(refusal, size, "--logs needs a directory.");
                return GANG_REFUSED;
            }
        } else if (is_option(argv[i], "--watch")) {
            if ((args->watch = option_value(argc, argv, &i)) == nullptr) {
                refuse(refusal, size, "--watch needs a pattern, such as '/dev/ttyUSB*' or COM*.");
                return GANG_REFUSED;
            }
            args->station = true;
        } else if (is_option(argv[i], "--station")) {
            args->station = true;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            refuse(refusal, size, "unknown option \"%.60s\".", argv[i]);
            return GANG_REFUSED;
        } else if (!add_port_list(args, argv[i], refusal, size)) {
            return GANG_REFUSED;
        }
    }
    if (i >= argc) {
        refuse(refusal, size, "no \"--\" before fwld's arguments.");
        return GANG_REFUSED;
    }
    if (args->port_count == 0 && args->watch == nullptr) {
        refuse(refusal, size, "no port given.");
        return GANG_REFUSED;
    }
    if (args->port_count > 0 && args->watch != nullptr) {
        refuse(refusal, size, "--watch finds the ports itself: give no ports with it.");
        return GANG_REFUSED;
    }
    args->fwld_args = argv + i + 1;
    args->fwld_arg_count = argc - i - 1;
    if (!p5_takes_port(*args, refusal, size) || !ports_distinct(*args, refusal, size) ||
        !event_stream_free(*args, refusal, size)) {
        return GANG_REFUSED;
    }
    return GANG_RUN;
}

void port_without_baud(const char* port, char* out, size_t size) {
    std::snprintf(out, size, "%.*s", static_cast<int>(without_baud(port)), port);
}

bool substitute_port(const GangArgs& args, const char* port, char* p5, size_t size) {
    const int n = std::snprintf(p5, size, "%s%s", port, args.fwld_args[FWLD_P5_INDEX] + 1);
    return n >= 0 && static_cast<size_t>(n) < size;
}

bool drives_lines(const GangArgs& args) {
    for (int k = FWLD_OPTIONS_INDEX; k < args.fwld_arg_count; ++k) {
        if (std::strncmp(args.fwld_args[k], "RS", 2) == 0) return true;
    }
    return false;
}

int fwld_command_line(const GangArgs& args, const FwldLine& line, char* p5, char** argv, int size) {
    static char p6_default[] = "0";
    static char check[] = "--check";
    static char silence[sizeof STATION_SILENCE_OPTION];
    static char removal[sizeof STATION_REMOVAL_OPTION];
    std::memcpy(silence, STATION_SILENCE_OPTION, sizeof silence);
    std::memcpy(removal, STATION_REMOVAL_OPTION, sizeof removal);
    bool silence_given = false;
    for (int k = FWLD_OPTIONS_INDEX; k < args.fwld_arg_count; ++k) {
        silence_given = silence_given || std::strncmp(args.fwld_args[k], "TO", 2) == 0;
    }
    // The program, --check, the user's words, p6, TO60, RM, the event stream, the end.
    const int p6_missing = args.fwld_arg_count <= FWLD_P6_INDEX ? 1 : 0;
    if (args.fwld_arg_count + p6_missing + 6 > size) return -1;
    int n = 0;
    argv[n++] = const_cast<char*>(line.program);
    if (line.check) argv[n++] = check;
    for (int k = 0; k < args.fwld_arg_count; ++k) {
        const char* word = k == FWLD_P5_INDEX ? p5 : args.fwld_args[k];
        if (k == FWLD_LOADER_INDEX && line.loader != nullptr) word = line.loader;
        if (k == FWLD_PROGRAM_INDEX && line.image != nullptr) word = line.image;
        argv[n++] = const_cast<char*>(word);
    }
    if (p6_missing != 0) argv[n++] = p6_default;
    if (args.station && !silence_given) argv[n++] = silence;
    if (args.station) argv[n++] = removal;
    argv[n] = nullptr;
    argv[n + 1] = nullptr;
    return n;
}

bool is_device_file_name(const char* name) {
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL"};
    size_t stem = 0;
    while (name[stem] != '\0' && name[stem] != '.') ++stem;
    for (const char* device : devices) {
        if (stem == 3 && same_prefix(name, device, 3)) return true;
    }
    // COM1 to COM9 and LPT1 to LPT9; COM10 is an ordinary name.
    return stem == 4 && (same_prefix(name, "COM", 3) || same_prefix(name, "LPT", 3)) && name[3] >= '1' &&
           name[3] <= '9';
}

std::string log_file_name(const char* port, const std::vector<std::string>& taken) {
    char base[GANG_TEXT_MAX - 16];
    safe_file_name(port, base, sizeof base);
    char stem[GANG_TEXT_MAX];
    const int dot = static_cast<int>(std::strcspn(base, "."));
    // Windows would open the device itself, whatever follows its first dot.
    std::snprintf(stem, sizeof stem, "%.*s%s%s", dot, base, is_device_file_name(base) ? "_" : "", base + dot);
    std::string name = std::string(stem) + ".log";
    for (int n = 2; name_taken(taken, name.c_str()); ++n) name = std::string(stem) + "-" + std::to_string(n) + ".log";
    return name;
}

void default_log_dir(const struct tm& start, char* out, size_t size) {
    if (std::strftime(out, size, "fwld-gang-%Y%m%d-%H%M%S", &start) == 0) std::snprintf(out, size, "fwld-gang");
}

void session_id(const struct tm& utc, long process, char* out, size_t size) {
    char time[32];
    if (std::strftime(time, sizeof time, "%Y%m%dT%H%M%SZ", &utc) == 0) time[0] = '\0';
    std::snprintf(out, size, "%s-%ld", time, process);
}

void pinned_names(const char* loader, const char* image, char* loader_out, char* image_out, size_t size) {
    const char* loader_name = base_name(loader);
    const char* image_name = base_name(image);
    if (loader_name[0] == '\0' || image_name[0] == '\0' || same_name(loader_name, image_name)) {
        std::snprintf(loader_out, size, "loader-%s", loader_name);
        std::snprintf(image_out, size, "program-%s", image_name);
        return;
    }
    std::snprintf(loader_out, size, "%s", loader_name);
    std::snprintf(image_out, size, "%s", image_name);
}

bool append_quoted_argument(char* line, size_t size, const char* argument) {
    size_t n = std::strlen(line);
    auto put = [&](char c) {
        if (n + 1 >= size) return false;
        line[n++] = c;
        line[n] = '\0';
        return true;
    };
    if (n > 0 && !put(' ')) return false;
    if (argument[0] != '\0' && std::strpbrk(argument, " \t\n\v\"") == nullptr) {
        for (const char* p = argument; *p != '\0'; ++p) {
            if (!put(*p)) return false;
        }
        return true;
    }
    // Backslashes count only before a quote: doubled there, and before the
    // closing quote; a quote of the argument's own is escaped.
    if (!put('"')) return false;
    for (const char* p = argument;; ++p) {
        size_t backslashes = 0;
        while (*p == '\\') ++backslashes, ++p;
        const size_t repeat = *p == '\0' ? backslashes * 2 : *p == '"' ? backslashes * 2 + 1 : backslashes;
        for (size_t k = 0; k < repeat; ++k) {
            if (!put('\\')) return false;
        }
        if (*p == '\0') break;
        if (!put(*p)) return false;
    }
    return put('"');
}

bool name_matches(const char* pattern, const char* name, bool any_case) {
    const auto same = [any_case](char a, char b) {
        return any_case ? std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b))
                        : a == b;
    };
    // The last '*' seen and where in the name its run would end now.
    const char* star = nullptr;
    const char* resume = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            star = pattern++;
            resume = name;
        } else if (*pattern != '\0' && (*pattern == '?' || same(*pattern, *name))) {
            ++pattern, ++name;
        } else if (star != nullptr) {
            pattern = star + 1;
            name = ++resume;
        } else {
            return false;
        }
    }
    while (*pattern == '*') ++pattern;
    return *pattern == '\0';
}
