// fwld-gang's command line, fwld's command line for each port, and the
// names fwld-gang gives files: logs, its folder, the session.
#pragma once
#include <cstddef>
#include <ctime>
#include <string>
#include <vector>

// Ports given at once, and devices present at once under --watch.
constexpr int GANG_PORTS_MAX = 64;
constexpr int GANG_TEXT_MAX = 256;  // a port name, a p5, a path

struct GangArgs {
    const char* log_dir;  // --logs DIR; nullptr: a directory named after the start time
    bool station;         // --station, or --watch: board after board
    const char* watch;    // --watch PATTERN; nullptr: the ports are given
    int port_count;
    char ports[GANG_PORTS_MAX][GANG_TEXT_MAX];
    char* const* fwld_args;  // everything after "--": infile1 infile2 p1 ... options
    int fwld_arg_count;
};

// fwld's arguments after its two files: p1 is the third, p5 the seventh,
// options from the ninth on.
constexpr int FWLD_LOADER_INDEX = 0;
constexpr int FWLD_PROGRAM_INDEX = 1;
constexpr int FWLD_P1_INDEX = 2;
constexpr int FWLD_P5_INDEX = 6;
constexpr int FWLD_P6_INDEX = 7;
constexpr int FWLD_OPTIONS_INDEX = 8;

enum GangRequest { GANG_RUN, GANG_HELP, GANG_VERSION, GANG_REFUSED };

// Reads fwld-gang's command line. On GANG_REFUSED, `refusal` says why.
// Ports may come as one comma-separated list or as several words.
GangRequest parse_gang_args(int argc, char** argv, GangArgs* args, char* refusal, size_t size);

// The port's name without a trailing ":BAUD", as fwld reads a device name.
void port_without_baud(const char* port, char* out, size_t size);

// fwld's p5 for a port: the `@` at its start replaced by the port.
bool substitute_port(const GangArgs& args, const char* port, char* p5, size_t size);

// What fwld is run with besides the user's words.
struct FwldLine {
    const char* program;  // fwld itself, argv[0]
    const char* loader;   // infile1 and infile2 as fwld gets them: the
    const char* image;    // station's own copies
    bool check;           // `fwld --check`: the verdict on the line, no run
};

// A station's silence limit when the user's options carry none: a board
// that falls silent ends its run rather than holding its port for ever.
inline constexpr char STATION_SILENCE_OPTION[] = "TO60";
// A station's fwld ends a run at once when its board is pulled.
inline constexpr char STATION_REMOVAL_OPTION[] = "RM";

// The user's fwld options drive the adapter's lines (RS): the board is
// reset by them, not switched on by a hand.
bool drives_lines(const GangArgs& args);

// fwld's command line for one port: the program, the user's arguments with
// the files and p5 replaced, p6 added when left out (fwld's own default, 0)
// so that the options stand after it, in a station TO60 (unless the user
// gave a TO) and RM, and last a place for the event stream's option.
// Returns the place's index (argv ends with nullptr after it); -1 when
// `size` is too small.
int fwld_command_line(const GangArgs& args, const FwldLine& line, char* p5, char** argv, int size);

// The file name of a port's log (without the directory): the port with
// everything but letters, digits, '-', '.' and '_' made '_', a leading
// "/dev/" or "\\.\" dropped, '_' after a name Windows keeps for a device
// (COM3_.log, never COM3.log: Windows would open the port), and -2, -3 ...
// added where it would collide with one of the `taken` names before it.
std::string log_file_name(const char* port, const std::vector<std::string>& taken);
// A name Windows gives a device whatever its extension: CON, PRN, AUX, NUL,
// COM1-9, LPT1-9, in any case.
bool is_device_file_name(const char* name);

// fwld-gang-YYYYMMDD-HHMMSS for the given local time.
void default_log_dir(const struct tm& start, char* out, size_t size);
// One id per fwld-gang start: its UTC start time and process id,
// "20261208T142233Z-4711".
void session_id(const struct tm& utc, long process, char* out, size_t size);
// The names of the two pinned input files in their folder: their own, or
// with "loader-" and "program-" in front when the two would be one file.
void pinned_names(const char* loader, const char* image, char* loader_out, char* image_out, size_t size);

// Windows command line rules: one argument appended to `line`, quoted so
// that the C runtime of the child reads it back unchanged. False when it
// does not fit.
bool append_quoted_argument(char* line, size_t size, const char* argument);

// `*` any run of characters, `?` one; letters in any case when asked. For
// names the system lists (COM3), not paths.
bool name_matches(const char* pattern, const char* name, bool any_case);
