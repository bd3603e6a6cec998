// Test bed for fwld's tests: ptys, a scripted serial end, a runner that
// starts a program with its controlling terminal on a pty of its own and
// captures stdout and stderr exactly, and small file helpers.
//
// Everything here waits with a deadline and cleans up after itself: a
// FwldProcess that is destroyed kills and reaps its process group.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testbed {

using Bytes = std::vector<uint8_t>;
using ms = std::chrono::milliseconds;

// ---- ptys and serial ends ----

// A pty pair owned by a test: the master fd and the slave's path. Raw mode
// unless asked otherwise. Throws std::runtime_error when none can be made.
class Pty {
public:
    explicit Pty(bool raw = true);
    ~Pty();
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    int master() const { return master_; }
    const std::string& slave_path() const { return slave_path_; }

private:
    int master_ = -1;
    std::string slave_path_;
};

// The tool's end of a serial line, for tests that script the tool: opens a
// path (a pty slave or a link to one) raw and non-blocking.
class SerialEnd {
public:
    // Throws std::runtime_error when the path does not open.
    explicit SerialEnd(const std::string& path);
    ~SerialEnd();
    SerialEnd(const SerialEnd&) = delete;
    SerialEnd& operator=(const SerialEnd&) = delete;

    int fd() const { return fd_; }
    void send(const std::string& bytes);
    void send(const Bytes& bytes);
    // Up to n bytes: returns early only at the timeout.
    std::string recv(size_t n, ms timeout);
    // Until the received text ends with `suffix` (or the timeout).
    std::string recv_until(const std::string& suffix, ms timeout);
    // Everything that arrives within `window`.
    std::string drain(ms window);
    // The line has hung up (the other side closed its master).
    bool hung_up(ms timeout);

private:
    int fd_ = -1;
};

// ---- ports as fwld names them ----

// True when fwld under test is the Windows build under Wine: it names
// ports by COM number, and FWLD_TEST_COM_LINKS names the Wine prefix's
// dosdevices folder, where each comN is a link to a device.
bool ports_are_com_numbers();
// The p5 text that makes fwld open `device_path`: the path itself, or under
// Wine a COM number N whose link comN points at the path. A number stays
// with its device for the life of the test process, and tests running side
// by side never share one.
std::string port_for(const std::string& device_path);
// As port_for, under Wine with a number from 3 to 9: the names Windows also
// gives its devices (COM3), which no file of a test may take.
std::string low_port_for(const std::string& device_path);

// A name under /dev of the test's own: a symlink /dev/<prefix><N> to
// `target` for the first N from `first` to `last` that is free, removed at
// the end. path() is empty when /dev is not writable or no name is free.
class DevLink {
public:
    DevLink(const std::string& prefix, const std::string& target, int first, int last);
    // A number unlikely to be taken, different for each test process.
    DevLink(const std::string& prefix, const std::string& target);
    ~DevLink();
    DevLink(const DevLink&) = delete;
    DevLink& operator=(const DevLink&) = delete;
    const std::string& path() const { return path_; }
    // The part after "/dev/".
    std::string name() const { return path_.empty() ? "" : path_.substr(5); }

private:
    std::string path_;
};

// ---- the program runner ----

// Splits on spaces (runs of spaces count as one); no quoting.
std::vector<std::string> split_command(const std::string& text);
// What starts fwld: $FWLD_TEST_COMMAND split on spaces when set (e.g.
// "wine /path/fwld.exe"), else the built binary.
std::vector<std::string> fwld_command();
// The built fwld-target.
std::vector<std::string> fwld_target_command();
// prefix followed by args.
std::vector<std::string> with_args(std::vector<std::string> prefix, const std::vector<std::string>& args);

struct ProcessResult {
    bool exited = false;   // ended by exit(); exit_code is valid
    int exit_code = -1;
    int signal = 0;        // the signal that ended it, else 0
    bool timed_out = false;  // finish() had to kill it
    std::string out;       // stdout, byte for byte
    std::string err;       // stderr, byte for byte
    double cpu_s = -1;     // user + system time of the process (and children it reaped), once reaped
};

// Starts argv[0] (searched in PATH when it has no '/') in a new session whose
// controlling terminal is a fresh pty; stdin is that pty too. stdout and
// stderr go to pipes that a thread drains at once, so the program never
// blocks on them. Throws std::runtime_error when it cannot start.
class FwldProcess {
public:
    explicit FwldProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env = {},
                         const std::string& cwd = "");
    // fwld_command() followed by args.
    static std::unique_ptr<FwldProcess> fwld(const std::vector<std::string>& args,
                                             const std::vector<std::string>& extra_env = {});
    ~FwldProcess();  // kills the process group and reaps it
    FwldProcess(const FwldProcess&) = delete;
    FwldProcess& operator=(const FwldProcess&) = delete;

    pid_t pid() const;
    const std::string& tty_path() const;
    // A key press on the controlling terminal (written to its master).
    void press_key(char key);
    void type(const std::string& text);

    // True once the process has ended (reaped); false at the timeout.
    bool wait_exit(ms timeout);
    // True once stdout / stderr contains `text`, false at the timeout (or
    // when the stream ended without it).
    bool wait_for_out(const std::string& text, ms timeout);
    bool wait_for_err(const std::string& text, ms timeout);
    std::string out_so_far() const;
    std::string err_so_far() const;
    // What the program wrote to its terminal (echo included).
    std::string tty_so_far() const;
    // Closes the reading end of the stderr pipe, as when the `tee` reading
    // it is killed: the program's later writes to stderr fail (EPIPE, or
    // SIGPIPE if it does not ignore it). What it wrote so far is kept.
    void close_err_pipe();

    // Waits for the end (killing the group at the timeout), collects the
    // rest of both streams and returns everything.
    ProcessResult finish(ms timeout);
    void kill(int sig);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Processor time (user + system) a live process has used so far, from
// /proc; -1 when it cannot be read.
double cpu_seconds(pid_t pid);

// The "device: PATH" line that fwld-target prints first; "" at the timeout.
std::string target_device_path(FwldProcess& target, ms timeout);

// ---- the modem-line stand-in ----

// A folder where simulated targets hear the tool's DTR and RTS
// (sim::TargetConfig::lines_folder), and the environment that loads the
// stand-in into the tool and points it there: LD_PRELOAD (after any library
// already preloaded), FWLD_MODEM_LINES, and ASAN_OPTIONS that let a
// sanitizer build's runtime come second. Pass env() as FwldProcess's
// extra_env; under Wine it reaches the Wine process through the wrapper.
class ModemLines;

// The stand-in itself (a shared library) and the probe that drives a
// terminal's lines as a tool does (tests/modem_lines/probe_linux.cpp).
std::string modem_lines_library();
std::vector<std::string> lines_probe_command();

// ---- files ----

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

class ModemLines {
public:
    const std::string& folder() const { return dir_.path(); }
    std::vector<std::string> env() const;

private:
    TempDir dir_;
};

// Writes (replacing) and returns the path; throws on failure.
std::string write_file(const std::string& path, const std::string& data);
std::string write_file(const std::string& path, const Bytes& data);
Bytes read_file(const std::string& path);  // empty when missing
// The file's digest as sha256sum prints it; "" when sha256sum fails.
std::string sha256sum_of(const std::string& path);

// How often piece stands in text (overlaps counted), and whether text ends
// with tail: for what a console says.
inline size_t count_of(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (size_t at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) ++n;
    return n;
}
inline bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// One JSON object and its line feed, nothing else: strings UTF-8 and free of
// raw control bytes, escapes and numbers as JSON has them.
bool is_json_line(const std::string& line);
// The members of one JSON object (a line, its line feed allowed) by name,
// each value as it stands in the text; empty when it is no valid object.
std::map<std::string, std::string> json_members(const std::string& object);
// A JSON string value as text (escapes undone); any other value as it stands.
std::string json_text(const std::string& value);
Bytes to_bytes(const std::string& text);

}  // namespace testbed
