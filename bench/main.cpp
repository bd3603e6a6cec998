// fwld-bench: the benchmark behind `make bench` (see bench/README.md).
//
//   fwld-bench --out FILE [--only LIST] [--runs N] [--no-native] [--baseline FWLD]
//              [--wine WRAPPER --wine-prefix DIR [--wine-runs N] [--wine-side-by-side N]]
//
// --baseline adds a column for another native fwld (an earlier build, say),
// measured in the same run, so a comparison does not depend on what else
// the machine was doing at two different times.
//
// LIST: any of throughput,events,syscalls,cpu,paced,side-by-side,gang,station (default: all).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

#include "bench.h"

namespace {

using bench::Clock;

struct Options {
    std::string out;
    std::set<std::string> only;
    bool native = true;
    int runs = 9;
    std::string baseline;
    std::string wine;
    std::string wine_prefix;
    int wine_runs = 5;
    int wine_side_by_side = 22;  // COM10 to COM31
};

const char USAGE[] =
    "usage: fwld-bench --out FILE [--only LIST] [--runs N] [--no-native] [--baseline FWLD]\n"
    "                  [--wine WRAPPER --wine-prefix DIR [--wine-runs N] [--wine-side-by-side N]]\n"
    "LIST: any of throughput,events,syscalls,cpu,paced,side-by-side,gang,station, separated by commas\n";

bool parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool has_value = i + 1 < argc;
        if (a == "--no-native") {
            o->native = false;
        } else if (!has_value) {
            return false;
        } else if (a == "--out") {
            o->out = argv[++i];
        } else if (a == "--only") {
            std::istringstream list(argv[++i]);
            for (std::string item; std::getline(list, item, ',');) o->only.insert(item);
        } else if (a == "--baseline") {
            o->baseline = argv[++i];
        } else if (a == "--runs") {
            o->runs = std::atoi(argv[++i]);
        } else if (a == "--wine") {
            o->wine = argv[++i];
        } else if (a == "--wine-prefix") {
            o->wine_prefix = argv[++i];
        } else if (a == "--wine-runs") {
            o->wine_runs = std::atoi(argv[++i]);
        } else if (a == "--wine-side-by-side") {
            o->wine_side_by_side = std::atoi(argv[++i]);
        } else {
            return false;
        }
    }
    return !o->out.empty() && o->runs > 0 && o->wine_runs > 0 && o->wine.empty() == o->wine_prefix.empty() &&
           o->wine_side_by_side > 0 && o->wine_side_by_side <= 22;
}

std::string first_line(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string in_path(const std::string& name) {
    for (const char* dir : {"/usr/bin", "/bin", "/usr/local/bin"}) {
        const std::string candidate = std::string(dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    return "";
}

// perf is only of use when it may count the syscall tracepoints here.
std::string usable_perf() {
    const std::string perf = in_path("perf");
    if (perf.empty()) return "";
    const std::string probe = perf + " stat -e raw_syscalls:sys_enter -o /dev/null -- true >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0 ? perf : "";
}

std::string folder_of(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : file.substr(0, slash);
}

void run_flavour(const bench::Flavour& f, const bench::Workbench& wb, const Options& o, bench::Report* report) {
    auto wanted = [&](const char* name) { return o.only.empty() || o.only.count(name) != 0; };
    const Clock::time_point start = Clock::now();
    if (wanted("throughput")) {
        std::fprintf(stderr, "[%s] records per second and turnaround, %d runs of 1 MiB per placement\n",
                     f.name.c_str(), f.runs);
        bench::measure_throughput(f, wb, report);
    }
    if (wanted("events")) {
        std::fprintf(stderr, "[%s] 1 MiB with and without EV to a file, %d pairs\n", f.name.c_str(), f.runs);
        bench::measure_events(f, wb, report);
    }
    if (wanted("syscalls") && !f.is_wine()) {
        std::fprintf(stderr, "[%s] system calls per record (strace and perf)\n", f.name.c_str());
        bench::measure_syscalls(f, wb, report);
    }
    if (wanted("cpu")) {
        std::fprintf(stderr, "[%s] CPU while repeating the password and during an erase countdown (2 x 5 s)\n",
                     f.name.c_str());
        bench::measure_idle_cpu(f, wb, report);
    }
    if (wanted("paced")) {
        std::fprintf(stderr, "[%s] %d updates at line rate with a 2 ms write wait\n", f.name.c_str(), f.solo_runs);
        bench::measure_paced(f, wb, report);
    }
    if (wanted("side-by-side")) {
        std::fprintf(stderr, "[%s] %d line-rate updates at once against %d solo\n", f.name.c_str(), f.side_by_side,
                     f.solo_runs);
        bench::measure_side_by_side(f, wb, report);
    }
    // fwld-gang runs the fwld beside it: the native build's.
    if (wanted("gang") && f.name == "native") {
        std::fprintf(stderr, "[%s] 16 line-rate updates through fwld-gang against %d solo\n", f.name.c_str(),
                     f.solo_runs);
        bench::measure_gang(f, wb, report);
    }
    if (wanted("station") && f.name == "native") {
        std::fprintf(stderr, "[%s] 16 ports x 10 boards through fwld-gang --station\n", f.name.c_str());
        bench::measure_station(f, wb, report);
    }
    report->add(f, "elapsed_s", "time this column took", std::chrono::duration<double>(Clock::now() - start).count(),
                "s", 0);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fputs(USAGE, stderr);
        return 2;
    }
    bench::Workbench wb;
    wb.fwld_target = FWLD_TARGET_BINARY;
    wb.bench_target = FWLD_BENCH_TARGET_BINARY;
    wb.strace = in_path("strace");
    wb.taskset = in_path("taskset");
    wb.perf = usable_perf();
    wb.log_dir = folder_of(o.out);
    wb.dir = wb.log_dir + "/work";
    mkdir(wb.dir.c_str(), 0755);
    bench::make_input_files(&wb);

    const std::string load_before = first_line("/proc/loadavg");
    bench::Report report;
    try {
        if (!o.baseline.empty()) {
            bench::Flavour baseline{"baseline", {o.baseline}, "", o.runs, 3, 32};
            run_flavour(baseline, wb, o, &report);
        }
        if (o.native) {
            bench::Flavour native{"native", {FWLD_BINARY}, "", o.runs, 3, 32};
            run_flavour(native, wb, o, &report);
        }
        if (!o.wine.empty()) {
            bench::Flavour wine{"wine", {o.wine}, o.wine_prefix, o.wine_runs, 2, o.wine_side_by_side};
            run_flavour(wine, wb, o, &report);
            report.note("Wine: " + std::to_string(o.wine_runs) + " runs of 1 MiB, on separate CPUs only; " +
                        std::to_string(o.wine_side_by_side) +
                        " updates at once (fwld.exe takes COM10 to COM31) against 2 solo runs; no system call "
                        "count (Wine's calls, not fwld's)");
        }
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwld-bench: %s\n", e.what());
        return 1;
    }
    report.note("load average before: " + load_before + "; after: " + first_line("/proc/loadavg") + "; " +
                std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " processors");

    const std::time_t now = std::time(nullptr);
    char when[64];
    std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::printf("\nfwld benchmark, %s\n\n", when);
    report.print_table(stdout);
    if (!report.write_results(o.out)) {
        std::fprintf(stderr, "fwld-bench: cannot write %s\n", o.out.c_str());
        return 1;
    }
    std::printf("\nFigures written to %s\n", o.out.c_str());
    return 0;
}
