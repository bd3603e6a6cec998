// fwld's benchmark (make bench): what the measurements share. Each
// measurement starts fwld (the native build, or fwld.exe under Wine) the way
// an operator would, with a terminal of its own, against a target on a pty,
// and adds its figures to one report.
#pragma once
#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "testbed.h"

namespace bench {

using Clock = std::chrono::steady_clock;
using testbed::ms;

// How fwld is started, and how it names a port.
struct Flavour {
    std::string name;                  // "native" or "wine": the column and the prefix of result names
    std::vector<std::string> command;  // what starts fwld
    std::string wine_prefix;           // empty for the native build
    int runs = 9;                      // runs of the throughput measurement
    int solo_runs = 3;                 // solo runs of the side-by-side measurement
    int side_by_side = 32;             // updates at once

    bool is_wine() const { return !wine_prefix.empty(); }
};

// The figures of one `make bench`, in the order they were added, a column
// per flavour.
class Report {
public:
    void add(const Flavour& f, const std::string& key, const std::string& label, double value,
             const std::string& unit, int decimals);
    // A row that some columns never fill (shown as "-" there), put in its
    // place before a later column adds to it.
    void declare(const std::string& key, const std::string& label, const std::string& unit, int decimals);
    void note(const std::string& text);
    void print_table(FILE* out) const;
    bool write_results(const std::string& path) const;

private:
    struct Row {
        std::string label;
        std::string unit;
        int decimals = 0;
        std::map<std::string, double> values;  // by flavour name
    };
    std::vector<std::string> order_;
    std::map<std::string, Row> rows_;
    std::vector<std::string> flavours_;
    std::vector<std::string> notes_;
};

double median(std::vector<double> values);

// Paths and files every measurement uses.
struct Workbench {
    std::string fwld_target;   // the simulated target
    std::string bench_target;  // the fast target
    std::string strace;        // empty when not installed
    std::string taskset;       // empty when not installed: nothing is pinned
    std::string perf;          // empty when not installed or not allowed to count syscalls
    std::string dir;           // scratch folder for the input files
    std::string loader;        // 800 bytes: ten loader records
    std::string program_1m;    // 8,192 records of 126 data bytes and the E record
    std::string program_64k;   // 512 records of 126 data bytes and the E record
    std::string program_16k;   // 128 records of 126 data bytes and the E record
    std::string program_tiny;  // one record and the E record
    std::string digest_1m;     // what the fast target must report for program_1m
    std::string log_dir;       // where a failed run's output is kept
};

void make_input_files(Workbench* wb);
// The digest the fast target prints for the records of a program file.
std::string records_digest(const std::string& program_path);

// The p5 argument that makes fwld open a pty: its path, or under Wine a COM
// number whose link in the prefix's dosdevices folder points at it. A COM
// number is held (with a lock file, as the test bed does) until destroyed.
class PortName {
public:
    PortName(const Flavour& f, const std::string& device, const std::string& baud);
    ~PortName();
    PortName(const PortName&) = delete;
    PortName& operator=(const PortName&) = delete;
    const std::string& p5() const { return p5_; }

private:
    std::string p5_;
    std::string link_;
    int lock_fd_ = -1;
};

// Processor time from /proc: user + system time of the whole process
// (/proc/PID/stat, clock-tick resolution), and the run time of its live
// threads (/proc/PID/task/*/schedstat, nanoseconds). -1 when unreadable.
struct CpuTime {
    double stat_s = -1;
    double sched_s = -1;
};
CpuTime process_cpu(pid_t pid);

// The processes that make up fwld.exe under Wine: its console host and
// desktop process (in fwld.exe's session), and the prefix's wine server.
// 0 for any not found.
struct WineProcesses {
    pid_t conhost = 0;
    pid_t explorer = 0;
    pid_t server = 0;
};
WineProcesses find_wine_processes(pid_t fwld_pid, const std::string& prefix);

// fwld with its arguments (the loader and program files first), its output
// on its terminal, started through `wrapper` (strace, perf) when given.
std::vector<std::string> fwld_argv(const Flavour& f, const std::vector<std::string>& args,
                                   const std::vector<std::string>& wrapper = {});

// System calls: the groups they are shown in, and the counts by name that
// a `strace -c` summary and `perf stat -x,` output (of perf_events()) hold.
// perf's calls outside the named ones are counted as "(other)".
enum CallKind { CALL_WAIT, CALL_READ, CALL_WRITE, CALL_IOCTL, CALL_OTHER, CALL_KIND_COUNT };
extern const char* const CALL_KIND_NAMES[CALL_KIND_COUNT];
CallKind kind_of(const std::string& call);
std::map<std::string, double> strace_counts(const std::string& summary);
std::string perf_events();
std::map<std::string, double> perf_counts(const std::string& csv);

// The measurements.
void measure_throughput(const Flavour& f, const Workbench& wb, Report* report);
void measure_events(const Flavour& f, const Workbench& wb, Report* report);
void measure_syscalls(const Flavour& f, const Workbench& wb, Report* report);
void measure_idle_cpu(const Flavour& f, const Workbench& wb, Report* report);
void measure_side_by_side(const Flavour& f, const Workbench& wb, Report* report);
// Records per second with the write wait p2 = 2 against a line paced at
// 115200 baud, and the share of what the line allows.
void measure_paced(const Flavour& f, const Workbench& wb, Report* report);
// Sixteen line-rate updates through fwld-gang (the native build only).
void measure_gang(const Flavour& f, const Workbench& wb, Report* report);
// The times of the ports that finished, from fwld-gang's summary.
std::vector<double> gang_finished_seconds(const std::string& summary);
// Boards after boards through fwld-gang --station (the native build only).
void measure_station(const Flavour& f, const Workbench& wb, Report* report);
// results.jsonl against the targets: `outcomes` holds each port's boards
// in order (its key is the port as fwld-gang names it), each the outcome
// its target makes of the run: "finished" where it holds the whole image,
// "removed" where it was pulled, "target-error" where it reported one.
struct StationRecords {
    int lines = 0;
    int matching = 0;  // a line whose board number and outcome agree with its target
};
StationRecords station_records(const std::string& jsonl,
                               const std::map<std::string, std::vector<std::string>>& outcomes);

// Keeps a failed run's output for the reader and says where it is.
void keep_log(const Workbench& wb, const std::string& name, const std::string& text);

}  // namespace bench
