// fwld-target: the simulated target device as a program (see usage_text()).
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <thread>

#include "cli.h"
#include "signals.h"
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

    // Before the target's threads; one signal then stops it, summary and all.
    hold_ending_signals();

    sim::lines_folder_from_environment(&opt);
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

    stop_on_ending_signal([&target] { target.stop(); });

    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline =
        opt.timeout_s > 0 ? Clock::now() + std::chrono::seconds(opt.timeout_s) : Clock::time_point::max();
    const auto left = [&] {
        return deadline == Clock::time_point::max()
                   ? std::chrono::milliseconds(std::chrono::hours(1))
                   : std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    };
    bool finished = false;
    while (!(finished = target.wait_done(left())) && Clock::now() < deadline) {
    }
    // A hung board keeps its line until it is stopped.
    if (finished && target.report().hung)
        while (!target.wait_stopped(left()) && Clock::now() < deadline) {
        }
    const sim::RecordList* expect = expected ? &*expected : nullptr;
    const int boards = opt.config.boards;
    const auto run_ok = [&](const std::vector<sim::TargetReport>& reports) {
        if (!finished || static_cast<int>(reports.size()) != boards) return false;
        for (const sim::TargetReport& r : reports)
            if (!sim::board_ok(r, expect)) return false;
        return true;
    };
    // A target behind an adapter stays on the line after the last record:
    // fwld's last look at the port must not find it gone.
    if (run_ok(target.reports()) && opt.config.device_path.empty()) target.wait_tool_closed(std::chrono::seconds(2));
    target.stop();
    const std::vector<sim::TargetReport> reports = target.reports();
    if (!finished) std::cout << "timed out\n";
    if (reports.back().stopped) std::cout << "interrupted\n";
    std::cout << (boards > 1 ? sim::fixture_summary_text(reports, boards, expect)
                             : sim::summary_text(reports.back(), expect))
              << std::flush;
    return run_ok(reports) ? 0 : 1;
}
