// Shared pieces of the end-to-end tests: input files, quick settings, and a
// run of the built fwld against the simulated target.
#pragma once
#include <gtest/gtest.h>

#include <termios.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "record_list.h"
#include "sim_target.h"
#include "testbed.h"

namespace e2e {

using std::chrono::milliseconds;
using namespace std::chrono_literals;

inline const char usage_text[] =
    "fwld infile1 infile2 p1 p2 p3 p4 p5 p6 p7\n"
    "p1: Deletion waiting time.\n"
    "p2: Waiting time to write.\n"
    "p3: Password output interval.\n"
    "p4: ID number.\n"
    "p5: Port number.(1,2...)[:Baudrate.]\n"
    "p6: New wait time to write.\n"
    "p7: Other options.\n"
    "    LD[t]/[r]: t/r:Loader sending wait Time[ms]/Records.\n"
    "    ES[s]    : s  :ROM erase sectors.\n";

inline const char banner_line[] = "Program upload utility Version 8.00\n";
inline const char finished[] = "Finish version up.     \a\n";
inline const char interrupted[] = "Interruption.          \a\n";
// The stops of a run whose line or program file failed it.
inline const char loader_lost[] =
    "\nThe loader did not reach the target: the line failed while it was sent.\n"
    "Switch the target off and on again, then run fwld again.\a\n";
inline const char line_lost[] =
    "\nThe line failed while the program was sent: the target may hold an incomplete image.\n"
    "Switch the target off and on again, then run fwld again.\a\n";
inline const char file_changed[] =
    "\nHex file changed while it was sent: the target may hold a mixed image.\n"
    "Run fwld again once the file is complete.\a\n";

// Loader bytes that differ from record to record.
inline std::string loader_bytes(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>('A' + (i % 23));
    return bytes;
}

// A program file with junk, line ends, data bytes equal to 'S' and 'E', a
// count-0 record and the closing E record.
inline std::string mixed_program() {
    using namespace std::string_literals;
    return "; image\r\n"
           "S\x04\x01\x02\x03\x04\r\n"
           "S\x03SEs\r\n"
           "xyz S\x00\r\n"
           "S\x05" "ESESE\r\n"
           "E\r\n"s;
}

// n S records of the given size and the E record, CR/LF between them.
inline std::string program_of(int records, int size) {
    std::string file;
    for (int r = 0; r < records; ++r) {
        file += 'S';
        file += static_cast<char>(size);
        for (int i = 0; i < size; ++i) file += static_cast<char>((r * 7 + i) & 0xFF);
        file += "\r\n";
    }
    return file + "E\r\n";
}

struct Inputs {
    testbed::TempDir dir;
    std::string loader;
    std::string program;
    Inputs(const std::string& loader_data, const std::string& program_data)
        : loader(testbed::write_file(dir.file("loader.bin"), loader_data)),
          program(testbed::write_file(dir.file("program.hex"), program_data)) {}
};

struct Outcome {
    testbed::ProcessResult tool;
    sim::TargetReport target;
};

// p1..p6 for fast runs: no erase wait, no write wait, 20 ms passwords.
inline std::vector<std::string> quick_args(const Inputs& in, const std::string& device,
                                           std::vector<std::string> overrides = {},
                                           const std::vector<std::string>& options = {}) {
    std::vector<std::string> p = {"0", "0", "20", "0", testbed::port_for(device) + ":115200", "0"};
    for (size_t i = 0; i < overrides.size() && i < p.size(); ++i) {
        if (!overrides[i].empty()) p[i] = overrides[i];
    }
    std::vector<std::string> args = {in.loader, in.program};
    args.insert(args.end(), p.begin(), p.end());
    args.insert(args.end(), options.begin(), options.end());
    return args;
}

// Starts the target, runs fwld to its end, and returns both sides' view.
inline Outcome run_update(sim::TargetConfig config, const Inputs& in, std::vector<std::string> overrides = {},
                          const std::vector<std::string>& options = {}, milliseconds limit = 20s) {
    sim::SimTarget target(std::move(config));
    EXPECT_TRUE(target.start()) << target.last_error();
    auto tool = testbed::FwldProcess::fwld(quick_args(in, target.device_path(), std::move(overrides), options));
    Outcome outcome;
    outcome.tool = tool->finish(limit);
    target.wait_done(2s);
    outcome.target = target.report();
    return outcome;
}

inline sim::RecordList expected_records(const std::string& program) {
    return sim::records_from_file_bytes(testbed::to_bytes(program));
}

inline std::string as_text(const sim::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

using testbed::count_of;
using testbed::ends_with;

// The lines of a result log (LG), each with its line feed.
inline std::vector<std::string> log_lines(const std::string& path) {
    const testbed::Bytes bytes = testbed::read_file(path);
    const std::string text(bytes.begin(), bytes.end());
    std::vector<std::string> lines;
    for (size_t start = 0; start < text.size();) {
        const size_t end = text.find('\n', start);
        const size_t next = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, next - start));
        start = next;
    }
    return lines;
}

// The target's step lines as they happen, for tests that act at a step.
// Install with `config.on_event = log.recorder()`; the log must outlive the
// target.
class EventLog {
public:
    std::function<void(const std::string&)> recorder() {
        return [this](const std::string& line) {
            std::lock_guard<std::mutex> lock(mu_);
            lines_.push_back(line);
            cv_.notify_all();
        };
    }
    // True once a line starting with `head` has come (counting from the
    // first line), false at the timeout.
    bool wait_for(const std::string& head, milliseconds timeout) {
        std::unique_lock<std::mutex> lock(mu_);
        return cv_.wait_for(lock, timeout, [&] {
            for (const std::string& line : lines_)
                if (line.rfind(head, 0) == 0) return true;
            return false;
        });
    }
    std::string text() const {
        std::lock_guard<std::mutex> lock(mu_);
        std::string all;
        for (const std::string& line : lines_) all += line + "\n";
        return all;
    }

private:
    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::vector<std::string> lines_;
};

}  // namespace e2e
