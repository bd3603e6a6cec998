// The measurements of fwld's benchmark. Each one starts its own targets
// and fwld processes, checks that every update really went through, and
// adds its figures to the report; a run that failed is kept in a log and
// left out of the figures.
#include <sched.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <future>
#include <latch>
#include <memory>
#include <sstream>
#include <thread>

#include "bench.h"
#include "record_list.h"
#include "sim_target.h"

namespace bench {

namespace {

using testbed::FwldProcess;
using Figures = std::map<std::string, std::string>;

constexpr int PROGRAM_1M_RECORDS = 8193;  // with the E record
constexpr int TINY_RECORDS = 2;
constexpr ms START_WAIT{60000};  // Wine may take a while to start a program
constexpr ms UPDATE_WAIT{300000};
// How long each idle window lasts, and how long fwld runs before one opens
// (a Wine program is still starting up during its first second).
constexpr ms IDLE_WINDOW{5000};
constexpr ms SETTLE_BEFORE_WINDOW{1000};
// Between two boards on a station's fixture, and after a board pulled in
// the middle of its update.
constexpr ms BOARD_SWAP{1000};
constexpr ms PULLED_SWAP{200};

// "name value" lines of the fast target's output.
Figures figures_of(const std::string& out) {
    Figures figures;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) {
        const size_t space = line.find(' ');
        if (space != std::string::npos) figures[line.substr(0, space)] = line.substr(space + 1);
    }
    return figures;
}

double number(const Figures& figures, const std::string& name) {
    const auto found = figures.find(name);
    return found == figures.end() ? NAN : std::atof(found->second.c_str());
}

// fwld's output is on its terminal (see fwld_argv): kept as its stderr.
testbed::ProcessResult finish_on_terminal(FwldProcess& fwld, ms timeout) {
    testbed::ProcessResult result = fwld.finish(timeout);
    result.err = fwld.tty_so_far();
    return result;
}

std::string run_log(const testbed::ProcessResult& fwld, const testbed::ProcessResult& target) {
    return "== fwld exit " + std::to_string(fwld.exit_code) + (fwld.timed_out ? " (timed out)" : "") +
           "\n-- terminal\n" + fwld.err + "\n== target exit " +
           std::to_string(target.exit_code) + (target.timed_out ? " (timed out)" : "") + "\n" + target.out +
           target.err;
}

double seconds_since(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Where the fast target and fwld run. The turnaround depends on it more
// than on anything fwld does: waking a process on an idle processor of this
// virtual machine takes tens of microseconds, on a busy one a few. Left to
// the scheduler, runs fall on either side at random.
struct Placement {
    std::string key;
    std::string label;
    int target_cpu;  // -1: wherever the scheduler puts it
    int fwld_cpu;
};
const Placement SEPARATE_CPUS{"separate_cpus", "separate CPUs", 0, 1};
const Placement ONE_CPU{"one_cpu", "one CPU", 1, 1};
const Placement ANY_CPU{"any_cpu", "", -1, -1};

std::vector<std::string> pinned(const Workbench& wb, int cpu, std::vector<std::string> argv) {
    if (cpu < 0 || wb.taskset.empty()) return argv;
    argv.insert(argv.begin(), {wb.taskset, "-c", std::to_string(cpu)});
    return argv;
}

// One update against the fast target; the target's figures, or an empty
// map when the run failed.
Figures fast_update(const Flavour& f, const Workbench& wb, const Placement& where, const std::string& program,
                    const std::string& p1, const std::string& p3, const std::vector<std::string>& wrapper,
                    const std::string& name, const std::vector<std::string>& options = {}) {
    FwldProcess target(pinned(wb, where.target_cpu, {wb.bench_target, "--timeout", "600"}));
    const std::string device = testbed::target_device_path(target, ms(5000));
    PortName port(f, device, "115200");
    std::vector<std::string> args = {wb.loader, program, p1, "0", p3, "0", port.p5()};
    if (!options.empty()) args.push_back("0");
    args.insert(args.end(), options.begin(), options.end());
    FwldProcess fwld(fwld_argv(f, args, pinned(wb, where.fwld_cpu, wrapper)));
    const testbed::ProcessResult fr = finish_on_terminal(fwld, UPDATE_WAIT);
    const testbed::ProcessResult tr = target.finish(ms(10000));
    Figures figures = figures_of(tr.out);
    if (!fr.exited || fr.exit_code != 0 || tr.exit_code != 0 || figures["verdict"] != "ok") {
        std::fprintf(stderr, "  %s failed\n", name.c_str());
        keep_log(wb, f.name + "-" + name, run_log(fr, tr));
        return {};
    }
    figures["fwld_cpu_s"] = std::to_string(fr.cpu_s);
    return figures;
}

// ---- system calls ----

std::string read_whole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::map<std::string, double> strace_file_counts(const std::string& path) { return strace_counts(read_whole(path)); }
std::map<std::string, double> perf_file_counts(const std::string& path) { return perf_counts(read_whole(path)); }

struct SyscallCounter {
    std::string name;  // "strace" or "perf"
    std::vector<std::string> wrapper;
    std::map<std::string, double> (*read_counts)(const std::string&);
};

// Calls per record of the transfer, by name: a 1 MiB run less a 2-record
// run, which costs the same start, wake-up, loader and end.
bool count_per_record(const Flavour& f, const Workbench& wb, const SyscallCounter& counter, const std::string& file,
                      std::map<std::string, double>* per_record) {
    std::map<std::string, double> counts[2];
    double records[2] = {0, 0};
    const std::string programs[2] = {wb.program_1m, wb.program_tiny};
    for (int i = 0; i < 2; ++i) {
        const std::string summary = wb.dir + "/" + counter.name + "-" + std::to_string(i) + ".txt";
        std::vector<std::string> wrapper = counter.wrapper;
        for (std::string& w : wrapper)
            if (w == file) w = summary;
        const Figures got = fast_update(f, wb, SEPARATE_CPUS, programs[i], "0", "10", wrapper,
                                        counter.name + (i == 0 ? "-1m" : "-tiny"));
        if (got.empty()) return false;
        counts[i] = counter.read_counts(summary);
        records[i] = number(got, "records");
    }
    for (const auto& [call, calls] : counts[0]) {
        const auto tiny = counts[1].find(call);
        (*per_record)[call] = (calls - (tiny == counts[1].end() ? 0 : tiny->second)) / (records[0] - records[1]);
    }
    return true;
}

void report_syscalls(const Flavour& f, const std::string& counter, const std::string& how,
                     const std::map<std::string, double>& per_record, Report* report) {
    double by_kind[CALL_KIND_COUNT] = {};
    std::string detail;
    for (const auto& [call, n] : per_record) {
        by_kind[kind_of(call)] += n;
        if (std::fabs(n) < 0.005) continue;
        char part[64];
        std::snprintf(part, sizeof part, "%s%s %.2f", detail.empty() ? "" : ", ", call.c_str(), n);
        detail += part;
    }
    double total = 0;
    for (int k = 0; k < CALL_KIND_COUNT; ++k) {
        report->add(f, "syscalls_" + counter + "." + CALL_KIND_NAMES[k],
                    "system calls per record (" + counter + "): " + CALL_KIND_NAMES[k], by_kind[k], "calls", 2);
        total += by_kind[k];
    }
    report->add(f, "syscalls_" + counter + ".total", "system calls per record (" + counter + "): total", total,
                "calls", 2);
    report->note("system calls per record by name (" + f.name + ", " + how + "): " + detail);
}

// ---- processor time ----

struct CpuSet {
    std::vector<std::string> names;  // fwld first, then the Wine processes
    std::vector<pid_t> pids;
};

CpuSet cpu_set(const Flavour& f, pid_t fwld_pid) {
    CpuSet set{{f.is_wine() ? "fwld.exe" : "fwld"}, {fwld_pid}};
    if (!f.is_wine()) return set;
    const WineProcesses wine = find_wine_processes(fwld_pid, f.wine_prefix);
    set.names.insert(set.names.end(), {"conhost.exe", "wineserver"});
    set.pids.insert(set.pids.end(), {wine.conhost, wine.server});
    // Wine starts a desktop process only for some consoles.
    if (wine.explorer > 0) {
        set.names.push_back("explorer.exe");
        set.pids.push_back(wine.explorer);
    }
    return set;
}

std::vector<CpuTime> sample(const CpuSet& set) {
    std::vector<CpuTime> cpu;
    for (pid_t pid : set.pids) cpu.push_back(pid > 0 ? process_cpu(pid) : CpuTime{});
    return cpu;
}

// Shares of the wall time, in per cent, by process and together: fwld, and
// under Wine its console host and the wine server too (the desktop process
// Wine starts beside it is shown apart).
void report_cpu_window(const Flavour& f, const CpuSet& set, const std::vector<CpuTime>& before,
                       const std::vector<CpuTime>& after, double wall_s, const std::string& key,
                       const std::string& what, Report* report) {
    std::vector<double> shares;
    double together = 0, together_sched = 0;
    for (size_t i = 0; i < set.pids.size(); ++i) {
        const bool known = set.pids[i] > 0 && before[i].stat_s >= 0 && after[i].stat_s >= 0;
        shares.push_back(known ? 100.0 * (after[i].stat_s - before[i].stat_s) / wall_s : NAN);
        if (set.names[i] == "explorer.exe") continue;
        together += shares.back();
        together_sched += known ? 100.0 * (after[i].sched_s - before[i].sched_s) / wall_s : NAN;
    }
    report->add(f, key + ".together", "CPU " + what + ", total", together, "%wall", 2);
    report->add(f, key + ".together_sched", "  total from schedstat (ns resolution)", together_sched, "%wall", 3);
    for (size_t i = 0; i < set.pids.size(); ++i) {
        const bool apart = set.names[i] == "explorer.exe";
        const std::string who = i == 0 ? "fwld / fwld.exe" : apart ? "explorer.exe (not in the total)" : set.names[i];
        report->add(f, key + "." + (i == 0 ? "fwld" : set.names[i]), "  " + who, shares[i], "%wall", 2);
    }
    // The Wine column's own processes get their rows here, not at the end.
    report->declare(key + ".conhost.exe", "  conhost.exe", "%wall", 2);
    report->declare(key + ".wineserver", "  wineserver", "%wall", 2);
}

// ---- updates side by side ----

struct UpdateResult {
    double wall_s = NAN;
    bool ok = false;
    double fwld_cpu_s = NAN;
    double target_cpu_s = NAN;
};

// n updates of the 64 KiB file at once, each against its own line-rate
// target; each one's wall time from fwld's start to its exit.
std::vector<UpdateResult> line_rate_updates(const Flavour& f, const Workbench& wb, int n, const std::string& name) {
    std::vector<std::unique_ptr<FwldProcess>> targets;
    std::vector<std::unique_ptr<PortName>> ports;
    for (int i = 0; i < n; ++i) {
        targets.push_back(std::make_unique<FwldProcess>(std::vector<std::string>{
            wb.fwld_target, "--line-rate", "--baud", "115200", "--quiet", "--expect", wb.program_64k, "--timeout",
            "600"}));
        ports.push_back(std::make_unique<PortName>(f, testbed::target_device_path(*targets.back(), ms(5000)), "115200"));
    }
    std::vector<UpdateResult> results(static_cast<size_t>(n));
    std::vector<testbed::ProcessResult> fwld_results(static_cast<size_t>(n));
    std::latch go(n);
    std::vector<std::thread> runs;
    for (int i = 0; i < n; ++i) {
        runs.emplace_back([&, i] {
            const std::vector<std::string> argv =
                fwld_argv(f, {wb.loader, wb.program_64k, "0", "0", "100", "0", ports[i]->p5()});
            go.arrive_and_wait();
            const Clock::time_point start = Clock::now();
            FwldProcess fwld(argv);
            fwld.wait_exit(UPDATE_WAIT);
            results[i].wall_s = seconds_since(start);
            fwld_results[i] = finish_on_terminal(fwld, ms(1000));
        });
    }
    for (std::thread& t : runs) t.join();
    for (int i = 0; i < n; ++i) {
        const testbed::ProcessResult tr = targets[i]->finish(ms(10000));
        const testbed::ProcessResult& fr = fwld_results[i];
        results[i].ok = fr.exited && fr.exit_code == 0 && tr.exited && tr.exit_code == 0;
        results[i].fwld_cpu_s = fr.cpu_s;
        results[i].target_cpu_s = tr.cpu_s;
        if (!results[i].ok) {
            std::fprintf(stderr, "  %s update %d failed\n", name.c_str(), i + 1);
            keep_log(wb, f.name + "-" + name + "-" + std::to_string(i + 1), run_log(fr, tr));
        }
    }
    return results;
}

}  // namespace

namespace {

void measure_throughput_at(const Flavour& f, const Workbench& wb, const Placement& where, Report* report) {
    // What fwld costs apart from the transfer, to take off its CPU time.
    const Figures tiny = fast_update(f, wb, where, wb.program_tiny, "0", "10", {}, "throughput-tiny");
    const double fixed_cpu_s = tiny.empty() ? NAN : number(tiny, "fwld_cpu_s");
    std::vector<double> rate, median_us, p99_us, cpu_us;
    for (int run = 1; run <= f.runs; ++run) {
        const std::string name = "throughput-" + where.key + "-" + std::to_string(run);
        const Figures got = fast_update(f, wb, where, wb.program_1m, "0", "10", {}, name);
        if (got.empty()) continue;
        if (got.at("digest") != wb.digest_1m || number(got, "records") != PROGRAM_1M_RECORDS) {
            std::fprintf(stderr, "  %s: the records that arrived differ from the file\n", name.c_str());
            continue;
        }
        rate.push_back(number(got, "records_per_s"));
        median_us.push_back(number(got, "turnaround_median_us"));
        p99_us.push_back(number(got, "turnaround_p99_us"));
        cpu_us.push_back(1e6 * (number(got, "fwld_cpu_s") - fixed_cpu_s) / (PROGRAM_1M_RECORDS - TINY_RECORDS));
        std::fprintf(stderr, "  %s: %.0f records/s, turnaround median %.1f us, p99 %.1f us, CPU %.1f us/record\n",
                     name.c_str(), rate.back(), median_us.back(), p99_us.back(), cpu_us.back());
    }
    const double mid = median(rate);
    double spread = NAN;
    if (!rate.empty())
        spread = 100.0 * (*std::max_element(rate.begin(), rate.end()) - *std::min_element(rate.begin(), rate.end())) /
                 mid;
    const std::string key = "throughput_" + where.key + ".";
    const std::string on = where.label.empty() ? "" : ", " + where.label;
    report->add(f, key + "runs", "1 MiB transfers counted" + on, static_cast<double>(rate.size()), "runs", 0);
    report->add(f, key + "records_per_s", "  records per second (median of runs)", mid, "rec/s", 0);
    report->add(f, key + "spread", "  spread of records/s, (max-min)/median", spread, "%", 1);
    report->add(f, key + "turnaround_median_us", "  H-to-record turnaround, median", median(median_us), "us", 1);
    report->add(f, key + "turnaround_p99_us", "  H-to-record turnaround, 99th percentile", median(p99_us), "us", 1);
    report->add(f, key + "fwld_cpu_per_record_us", "  CPU of fwld(.exe) per record", median(cpu_us), "us", 1);
}

}  // namespace

// Under Wine the wine server works for fwld.exe on every call it makes: it
// goes on fwld's side of the line for the run, and back where it was after.
class ServerPinned {
public:
    ServerPinned(const Flavour& f, int cpu) {
        if (!f.is_wine() || cpu < 0) return;
        server_ = find_wine_processes(0, f.wine_prefix).server;
        if (server_ <= 0 || sched_getaffinity(server_, sizeof before_, &before_) != 0) {
            server_ = 0;
            return;
        }
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(server_, sizeof one, &one) != 0) server_ = 0;
    }
    ~ServerPinned() {
        if (server_ > 0) sched_setaffinity(server_, sizeof before_, &before_);
    }
    ServerPinned(const ServerPinned&) = delete;
    ServerPinned& operator=(const ServerPinned&) = delete;

private:
    pid_t server_ = 0;
    cpu_set_t before_{};
};

void measure_throughput(const Flavour& f, const Workbench& wb, Report* report) {
    if (wb.taskset.empty() || sysconf(_SC_NPROCESSORS_ONLN) < 2) {
        report->note("throughput: target and fwld left to the scheduler (no taskset or only one processor)");
        measure_throughput_at(f, wb, ANY_CPU, report);
        return;
    }
    {
        ServerPinned server(f, SEPARATE_CPUS.fwld_cpu);
        measure_throughput_at(f, wb, SEPARATE_CPUS, report);
    }
    if (!f.is_wine()) measure_throughput_at(f, wb, ONE_CPU, report);
}

// What the event stream costs a transfer: 1 MiB with EV to a file against
// the same without, in pairs run one after the other so that both see the
// same machine.
void measure_events(const Flavour& f, const Workbench& wb, Report* report) {
    const std::string events = wb.dir + "/events.jsonl";
    std::vector<double> without, with, ratio;
    for (int run = 1; run <= f.runs; ++run) {
        const std::string name = "events-" + std::to_string(run);
        const Figures plain = fast_update(f, wb, ANY_CPU, wb.program_1m, "0", "10", {}, name + "-without");
        std::remove(events.c_str());
        const Figures streamed =
            fast_update(f, wb, ANY_CPU, wb.program_1m, "0", "10", {}, name + "-with", {"EV" + events});
        if (plain.empty() || streamed.empty() || streamed.at("digest") != wb.digest_1m) continue;
        without.push_back(number(plain, "records_per_s"));
        with.push_back(number(streamed, "records_per_s"));
        ratio.push_back(with.back() / without.back());
        std::fprintf(stderr, "  %s: %.0f records/s without EV, %.0f with\n", name.c_str(), without.back(),
                     with.back());
    }
    std::remove(events.c_str());
    report->add(f, "events.runs", "1 MiB transfers with and without EV to a file", static_cast<double>(ratio.size()),
                "pairs", 0);
    report->add(f, "events.records_per_s_without", "  records per second without EV (median)", median(without),
                "rec/s", 0);
    report->add(f, "events.records_per_s_with", "  records per second with EV (median)", median(with), "rec/s", 0);
    report->add(f, "events.cost", "  records/s lost to EV, median of the pairs", 100.0 * (1.0 - median(ratio)), "%", 1);
}

void measure_syscalls(const Flavour& f, const Workbench& wb, Report* report) {
    const std::string file = "@SUMMARY@";
    std::map<std::string, double> per_record;
    if (wb.strace.empty()) {
        report->note("system calls per record (strace) skipped: strace is not installed (apt-get install strace)");
    } else if (count_per_record(f, wb, {"strace", {wb.strace, "-c", "-f", "-o", file, "--"}, strace_file_counts}, file,
                                &per_record)) {
        report_syscalls(f, "strace", "strace -c -f", per_record, report);
    }
    per_record.clear();
    if (wb.perf.empty()) {
        report->note("system calls per record (perf) skipped: perf is not installed or may not count tracepoints");
    } else if (count_per_record(f, wb, {"perf", {wb.perf, "stat", "-x,", "-o", file, "-e", perf_events(), "--"},
                                        perf_file_counts}, file, &per_record)) {
        report_syscalls(f, "perf", "perf stat on the syscall tracepoints", per_record, report);
    }
}

void measure_idle_cpu(const Flavour& f, const Workbench& wb, Report* report) {
    {
        // A target that never answers: fwld repeats the password every 100 ms.
        FwldProcess target({wb.bench_target, "--silent", "--timeout", "120"});
        PortName port(f, testbed::target_device_path(target, ms(5000)), "115200");
        FwldProcess fwld(fwld_argv(f, {wb.loader, wb.program_tiny, "5", "0", "100", "0", port.p5()}));
        if (!target.wait_for_out("event first-byte", START_WAIT)) {
            std::fprintf(stderr, "  fwld never started repeating the password\n");
            keep_log(wb, f.name + "-cpu-password", run_log(finish_on_terminal(fwld, ms(1000)), target.finish(ms(1000))));
        } else {
            std::this_thread::sleep_for(SETTLE_BEFORE_WINDOW);
            const CpuSet set = cpu_set(f, fwld.pid());
            const std::vector<CpuTime> before = sample(set);
            const Clock::time_point start = Clock::now();
            std::this_thread::sleep_for(IDLE_WINDOW);
            const std::vector<CpuTime> after = sample(set);
            const double wall = seconds_since(start);
            if (fwld.wait_exit(ms(0))) {
                std::fprintf(stderr, "  fwld ended while repeating the password\n");
            } else {
                report_cpu_window(f, set, before, after, wall, "cpu_password", "repeating the password", report);
            }
        }
    }
    {
        // The target's first 'H' starts fwld's erase countdown (p1 = 5 s);
        // the first record ends it.
        FwldProcess target({wb.bench_target, "--timeout", "120"});
        PortName port(f, testbed::target_device_path(target, ms(5000)), "115200");
        FwldProcess fwld(fwld_argv(f, {wb.loader, wb.program_tiny, "5", "0", "10", "0", port.p5()}));
        if (!target.wait_for_out("event first-h", START_WAIT)) {
            std::fprintf(stderr, "  fwld never reached the program stage\n");
            keep_log(wb, f.name + "-cpu-countdown", run_log(finish_on_terminal(fwld, ms(1000)), target.finish(ms(1000))));
            return;
        }
        const CpuSet set = cpu_set(f, fwld.pid());
        const std::vector<CpuTime> before = sample(set);
        const Clock::time_point start = Clock::now();
        const bool ended = target.wait_for_out("event first-record", ms(20000));
        const std::vector<CpuTime> after = sample(set);
        const double wall = seconds_since(start);
        const testbed::ProcessResult fr = finish_on_terminal(fwld, ms(20000));
        const testbed::ProcessResult tr = target.finish(ms(5000));
        if (!ended || fr.exit_code != 0 || tr.exit_code != 0) {
            std::fprintf(stderr, "  the erase countdown run failed\n");
            keep_log(wb, f.name + "-cpu-countdown", run_log(fr, tr));
            return;
        }
        report_cpu_window(f, set, before, after, wall, "cpu_countdown", "during a 5 s erase countdown", report);
    }
}

void measure_side_by_side(const Flavour& f, const Workbench& wb, Report* report) {
    std::vector<double> solo, solo_fwld_cpu, solo_target_cpu;
    for (int run = 1; run <= f.solo_runs; ++run) {
        const UpdateResult r = line_rate_updates(f, wb, 1, "solo-" + std::to_string(run)).front();
        if (r.ok) {
            solo.push_back(r.wall_s);
            solo_fwld_cpu.push_back(r.fwld_cpu_s);
            solo_target_cpu.push_back(r.target_cpu_s);
        }
        std::fprintf(stderr, "  solo run %d: %.2f s%s\n", run, r.wall_s, r.ok ? "" : " (failed)");
    }
    const double solo_s = median(solo);
    const std::vector<UpdateResult> together = line_rate_updates(f, wb, f.side_by_side, "side-by-side");
    std::vector<double> ratios, fwld_cpu, target_cpu;
    int failed = f.solo_runs - static_cast<int>(solo.size());
    for (const UpdateResult& r : together) {
        if (!r.ok) {
            ++failed;
            continue;
        }
        ratios.push_back(r.wall_s / solo_s);
        fwld_cpu.push_back(r.fwld_cpu_s);
        target_cpu.push_back(r.target_cpu_s);
    }
    const double worst = ratios.empty() ? NAN : *std::max_element(ratios.begin(), ratios.end());
    std::fprintf(stderr, "  %d at once: worst %.3f, median %.3f of solo\n", f.side_by_side, worst, median(ratios));
    report->add(f, "side_by_side.count", "64 KiB line-rate updates at 115200 run at once", f.side_by_side, "updates",
                0);
    report->add(f, "side_by_side.solo_s", "  one such update alone (median of solo runs)", solo_s, "s", 2);
    report->add(f, "side_by_side.worst_ratio", "  slowest of them, wall time / solo", worst, "x", 3);
    report->add(f, "side_by_side.median_ratio", "  median of them, wall time / solo", median(ratios), "x", 3);
    report->add(f, "side_by_side.failed", "  updates that failed", failed, "updates", 0);
    // Who used the processor: 2 cores are shared by every fwld and every target.
    report->add(f, "side_by_side.fwld_cpu_solo_s", "  CPU of fwld(.exe) per update, alone", median(solo_fwld_cpu), "s",
                3);
    report->add(f, "side_by_side.fwld_cpu_s", "  CPU of fwld(.exe) per update, at once", median(fwld_cpu), "s", 3);
    report->add(f, "side_by_side.target_cpu_solo_s", "  CPU of fwld-target per update, alone", median(solo_target_cpu),
                "s", 3);
    report->add(f, "side_by_side.target_cpu_s", "  CPU of fwld-target per update, at once", median(target_cpu), "s", 3);
}

void measure_paced(const Flavour& f, const Workbench& wb, Report* report) {
    std::vector<double> rate;
    for (int run = 1; run <= f.solo_runs; ++run) {
        FwldProcess target({wb.fwld_target, "--line-rate", "--baud", "115200", "--quiet", "--expect", wb.program_64k,
                            "--timeout", "600"});
        PortName port(f, testbed::target_device_path(target, ms(5000)), "115200");
        FwldProcess fwld(fwld_argv(f, {wb.loader, wb.program_64k, "0", "2", "100", "0", port.p5()}));
        const testbed::ProcessResult fr = finish_on_terminal(fwld, UPDATE_WAIT);
        const testbed::ProcessResult tr = target.finish(ms(10000));
        const std::string name = "paced-" + std::to_string(run);
        const size_t at = tr.out.find("records per second: ");
        if (fr.exit_code != 0 || tr.exit_code != 0 || at == std::string::npos) {
            std::fprintf(stderr, "  %s failed\n", name.c_str());
            keep_log(wb, f.name + "-" + name, run_log(fr, tr));
            continue;
        }
        rate.push_back(std::atof(tr.out.c_str() + at + 20));
        std::fprintf(stderr, "  %s: %.1f records/s\n", name.c_str(), rate.back());
    }
    // A record of 128 bytes one way, then the target's H the other, at 10 bits a byte.
    const double line_limit = 115200.0 / 10.0 / (128.0 + 1.0);
    report->add(f, "paced.runs", "512 records at 115200 baud with p2 = 2 ms, runs counted", static_cast<double>(rate.size()),
                "runs", 0);
    report->add(f, "paced.records_per_s", "  records per second (median of runs)", median(rate), "rec/s", 1);
    report->add(f, "paced.line_share", "  share of what the line allows", 100.0 * median(rate) / line_limit, "%", 1);
}

std::vector<double> gang_finished_seconds(const std::string& summary) {
    std::vector<double> times;
    std::istringstream lines(summary.substr(std::min(summary.find("OUTCOME"), summary.size())));
    for (std::string line; std::getline(lines, line);) {
        char outcome[16] = "";
        double seconds = NAN;
        if (std::sscanf(line.c_str(), "%*s %15s %lf s", outcome, &seconds) == 2 && std::string(outcome) == "finished") {
            times.push_back(seconds);
        }
    }
    return times;
}

void measure_gang(const Flavour& f, const Workbench& wb, Report* report) {
    const int n = f.side_by_side < 16 ? f.side_by_side : 16;
    std::vector<double> solo;
    for (int run = 1; run <= f.solo_runs; ++run) {
        const UpdateResult r = line_rate_updates(f, wb, 1, "gang-solo-" + std::to_string(run)).front();
        if (r.ok) solo.push_back(r.wall_s);
    }
    std::vector<std::unique_ptr<FwldProcess>> targets;
    std::string ports;
    for (int i = 0; i < n; ++i) {
        targets.push_back(std::make_unique<FwldProcess>(std::vector<std::string>{
            wb.fwld_target, "--line-rate", "--baud", "115200", "--quiet", "--expect", wb.program_64k, "--timeout",
            "600"}));
        ports += (i == 0 ? "" : ",") + testbed::target_device_path(*targets.back(), ms(5000));
    }
    // On its terminal, as an operator runs it: the table is redrawn.
    const Clock::time_point start = Clock::now();
    FwldProcess gang({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/tty", FWLD_GANG_BINARY, "--logs",
                      wb.dir + "/gang-logs", ports, "--", wb.loader, wb.program_64k, "0", "0", "100", "0",
                      "@:115200"});
    CpuTime cpu;
    // The last reading before it ends, a tenth of a second at most before.
    while (!gang.wait_exit(ms(100))) {
        const CpuTime now = process_cpu(gang.pid());
        if (now.sched_s >= 0 || now.stat_s >= 0) cpu = now;
    }
    const double wall = seconds_since(start);
    const testbed::ProcessResult gr = gang.finish(ms(1000));
    const std::string summary = gang.tty_so_far();
    int failed = gr.exit_code == 0 ? 0 : 1;
    for (auto& target : targets) failed += target->finish(ms(10000)).exit_code == 0 ? 0 : 1;
    const std::vector<double> times = gang_finished_seconds(summary);
    if (failed != 0 || static_cast<int>(times.size()) != n) {
        std::fprintf(stderr, "  fwld-gang over %d ports failed\n", n);
        keep_log(wb, f.name + "-gang", summary);
    }
    const double slowest = times.empty() ? NAN : *std::max_element(times.begin(), times.end());
    const double cpu_s = cpu.sched_s >= 0 ? cpu.sched_s : cpu.stat_s;
    std::fprintf(stderr, "  %d ports: slowest %.2f s, solo %.2f s, fwld-gang CPU %.3f s in %.2f s\n", n, slowest,
                 median(solo), cpu_s, wall);
    report->add(f, "gang.count", "64 KiB line-rate updates at 115200 through fwld-gang", n, "ports", 0);
    report->add(f, "gang.solo_s", "  one fwld alone (median of solo runs)", median(solo), "s", 2);
    report->add(f, "gang.slowest_ratio", "  slowest port, fwld-gang's time / solo", slowest / median(solo), "x", 3);
    report->add(f, "gang.wall_ratio", "  fwld-gang from start to end / solo", wall / median(solo), "x", 3);
    report->add(f, "gang.cpu", "  CPU of fwld-gang itself, of one core", 100.0 * cpu_s / wall, "%", 2);
    report->add(f, "gang.failed", "  ports that failed", failed, "ports", 0);
}

StationRecords station_records(const std::string& jsonl,
                               const std::map<std::string, std::vector<std::string>>& outcomes) {
    StationRecords counted;
    std::istringstream lines(jsonl);
    for (std::string line; std::getline(lines, line);) {
        ++counted.lines;
        const std::map<std::string, std::string> m = testbed::json_members(line);
        const auto port = m.find("port"), board = m.find("board"), outcome = m.find("outcome");
        if (port == m.end() || board == m.end() || outcome == m.end()) continue;
        // fwld's port: the station's with ":115200".
        const std::string name = testbed::json_text(port->second);
        const auto boards = outcomes.find(name.substr(0, name.rfind(':')));
        const long number = std::atol(board->second.c_str());
        if (boards == outcomes.end() || number < 1 || number > static_cast<long>(boards->second.size())) continue;
        counted.matching += testbed::json_text(outcome->second) == boards->second[static_cast<size_t>(number - 1)];
    }
    return counted;
}

void measure_station(const Flavour& f, const Workbench& wb, Report* report) {
    constexpr int PORTS = 16;
    constexpr int BOARDS = 10;
    const std::string links = wb.dir + "/station-links";
    const std::string logs = wb.dir + "/station-logs";
    mkdir(links.c_str(), 0755);
    mkdir(logs.c_str(), 0755);
    std::remove((logs + "/results.jsonl").c_str());
    std::string ports;
    std::vector<std::string> paths;
    for (int i = 0; i < PORTS; ++i) {
        paths.push_back(links + "/ttyF" + std::to_string(i + 1));
        std::remove(paths.back().c_str());
        ports += (i == 0 ? "" : ",") + paths.back();
    }
    const sim::RecordList expected = *sim::records_from_file(wb.program_16k);
    // On its terminal, as an operator runs it: the table is redrawn.
    const Clock::time_point start = Clock::now();
    FwldProcess gang({"/bin/sh", "-c", "exec \"$0\" \"$@\" >/dev/tty", FWLD_GANG_BINARY, "--logs", logs,
                      "--station", ports, "--", wb.loader, wb.program_16k, "0", "0", "100", "0", "@:115200"});
    // Each fixture: a board plugged in, its run, its outcome as its target
    // sees it, out once fwld has closed the port; a second later the next.
    // Every fifth board is pulled in the middle of its update (the next one
    // follows 0.2 s later), every fifth another reports a write error.
    std::map<std::string, std::vector<std::string>> outcomes;
    for (const std::string& path : paths) outcomes[path] = std::vector<std::string>(BOARDS, "none");
    std::vector<std::thread> fixtures;
    for (size_t p = 0; p < paths.size(); ++p) {
        std::vector<std::string>& boards = outcomes[paths[p]];
        fixtures.emplace_back([&boards, &expected, path = paths[p], p] {
            for (int b = 0; b < BOARDS; ++b) {
                const size_t fate = (p + static_cast<size_t>(b)) % 5;
                sim::TargetConfig config;
                config.link_path = path;
                config.baud = 115200;
                config.line_rate = true;
                if (fate == 4) config.actions[3] = {sim::RecordAction::error('N')};
                std::promise<void> fifth;
                std::atomic<bool> told{false};
                if (fate == 2) {
                    config.on_event = [&](const std::string& line) {
                        if (line.rfind("record 5:", 0) == 0 && !told.exchange(true)) fifth.set_value();
                    };
                }
                sim::SimTarget target(std::move(config));
                if (!target.start()) return;
                if (fate == 2) {
                    if (fifth.get_future().wait_for(ms(120000)) != std::future_status::ready) return;
                    target.stop();  // pulled: its link goes at once
                    boards[static_cast<size_t>(b)] = "removed";
                    std::this_thread::sleep_for(PULLED_SWAP);
                    continue;
                }
                if (!target.wait_done(ms(120000))) return;
                const sim::TargetReport seen = target.report();
                boards[static_cast<size_t>(b)] = seen.matches(expected) ? "finished"
                                                 : fate == 4               ? "target-error"
                                                                           : "broken";
                target.wait_tool_closed(ms(5000));
                target.stop();
                // The operator takes the board out and puts the next one in.
                std::this_thread::sleep_for(BOARD_SWAP);
            }
        });
    }
    CpuTime cpu;
    std::atomic<bool> over{false};
    std::thread sampler([&] {
        while (!over) {
            const CpuTime now = process_cpu(gang.pid());
            if (now.sched_s >= 0 || now.stat_s >= 0) cpu = now;
            std::this_thread::sleep_for(ms(100));
        }
    });
    for (std::thread& fixture : fixtures) fixture.join();
    // The last boards' records follow their fwld's end.
    const std::string results = logs + "/results.jsonl";
    const auto records = [&] {
        const sim::Bytes bytes = testbed::read_file(results);
        return std::count(bytes.begin(), bytes.end(), '\n');
    };
    for (int waited = 0; waited < 300 && records() < PORTS * BOARDS; ++waited) std::this_thread::sleep_for(ms(100));
    const double wall = seconds_since(start);
    over = true;
    sampler.join();
    gang.press_key('q');
    const testbed::ProcessResult gr = gang.finish(ms(30000));
    const sim::Bytes bytes = testbed::read_file(results);
    const StationRecords counted = station_records(std::string(bytes.begin(), bytes.end()), outcomes);
    const auto count = [&](const char* outcome) {
        int n = 0;
        for (const auto& [port, boards] : outcomes) n += static_cast<int>(std::count(boards.begin(), boards.end(), outcome));
        return n;
    };
    const int whole = count("finished"), pulled = count("removed"), errors = count("target-error");
    const double cpu_s = cpu.sched_s >= 0 ? cpu.sched_s : cpu.stat_s;
    std::fprintf(stderr,
                 "  %d boards intact, %d pulled, %d target errors; %d records, %d matching; fwld-gang CPU %.3f s in "
                 "%.1f s\n",
                 whole, pulled, errors, counted.lines, counted.matching, cpu_s, wall);
    // A failed board makes fwld-gang's status 1: only the counts tell.
    if (whole + pulled + errors != PORTS * BOARDS || counted.matching != PORTS * BOARDS || gr.exit_code > 1) {
        keep_log(wb, f.name + "-station", gang.tty_so_far());
    }
    report->add(f, "station.boards", "16 x 10 boards of 16 KiB at line rate, --station",
                PORTS * BOARDS, "boards", 0);
    report->add(f, "station.intact", "  boards intact, by their targets", whole, "boards", 0);
    report->add(f, "station.pulled", "  boards pulled in the middle, the next 0.2 s later", pulled, "boards", 0);
    report->add(f, "station.errors", "  boards that reported a write error", errors, "boards", 0);
    report->add(f, "station.records", "  lines in results.jsonl", counted.lines, "lines", 0);
    report->add(f, "station.matching", "  lines whose outcome agrees with the target", counted.matching, "lines", 0);
    report->add(f, "station.wall_s", "  from start to the last record", wall, "s", 1);
    report->add(f, "station.cpu", "  CPU of fwld-gang itself, of one core", 100.0 * cpu_s / wall, "%", 2);
}

}  // namespace bench
