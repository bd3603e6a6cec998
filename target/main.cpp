// fwld-target: the simulated target device as a program (see usage_text()).
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>

#include <pthread.h>

#include "cli.h"
#include "sim_target.h"

int main(int argc, char** argv) {
    sim::CliOptions opt;
    std::string error;
    if (!sim::parse_command_line(std::vector<std::string>(argv + 1, argv + argc), &opt, &error)) {
        std::cerr << "fwld-target: " << error << "\n" << sim::usage_text();
        return 2;
    }
    if (opt.help) {
        std::cout << sim::usage_text();
        return 0;
    }
    if (!opt.digest_file.empty()) {
        auto list = sim::records_from_file(opt.digest_file);
        if (!list) {
            std::cerr << "fwld-target: cannot read " << opt.digest_file << "\n";
            return 2;
        }
        std::cout << "records: " << list->records.size() << "\nbytes: " << list->byte_count()
                  << "\ndigest: " << list->digest() << "\n";
        return 0;
    }
    std::optional<sim::RecordList> expected;
    if (!opt.expect_file.empty()) {
        expected = sim::records_from_file(opt.expect_file);
        if (!expected) {
            std::cerr << "fwld-target: cannot read " << opt.expect_file << "\n";
            return 2;
        }
    }

    // Signals are taken by one thread with sigwait, before any other thread
    // exists, so none of them can be hit by one.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    if (!opt.quiet) opt.config.on_event = [](const std::string& line) { std::cerr << "fwld-target: " << line << "\n"; };
    // Never destroyed: the signal thread may still reach it while the
    // process exits.
    sim::SimTarget& target = *new sim::SimTarget(opt.config);
    if (!target.start()) {
        std::cerr << "fwld-target: " << target.last_error() << "\n";
        return 2;
    }
    std::cout << "device: " << target.device_path() << std::endl;
    if (!opt.config.link_path.empty() && !opt.quiet)
        std::cerr << "fwld-target: link " << opt.config.link_path << " -> " << target.device_path() << "\n";

    std::thread([signals, &target] {
        int sig = 0;
        sigwait(&signals, &sig);
        target.stop();
    }).detach();

    bool finished = false;
    if (opt.timeout_s > 0)
        finished = target.wait_done(std::chrono::seconds(opt.timeout_s));
    else
        while (!(finished = target.wait_done(std::chrono::hours(1)))) {
        }
    // A target behind an adapter stays on the line after the last record:
    // fwld's last look at the port must not find it gone.
    const auto run_ok = [&](const sim::TargetReport& report) {
        return finished && report.intact() && (!expected || report.matches(*expected));
    };
    if (run_ok(target.report()) && opt.config.device_path.empty()) target.wait_tool_closed(std::chrono::seconds(2));
    target.stop();
    sim::TargetReport report = target.report();
    if (!finished) std::cout << "timed out\n";
    if (report.stopped) std::cout << "interrupted\n";
    std::cout << sim::summary_text(report, expected ? &*expected : nullptr) << std::flush;
    return run_ok(report) ? 0 : 1;
}
