// The benchmark's own parts: the fast target must refuse what a broken fwld
// would send (or its figures would flatter one), and the summaries it reads
// from strace and perf must come out as counted.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench.h"
#include "testbed.h"

using testbed::FwldProcess;
using testbed::ms;

namespace {

const std::string kPassword = "Wake up now.";
const std::string kEndMarker = std::string("Finish Boot File") + std::string(64, '\0');
const ms kWait{5000};

std::string record(unsigned char count, char fill) { return std::string{'S', static_cast<char>(count)} + std::string(count, fill); }

// A fast target and the tool's end of its line, taken as far as the first H.
struct Session {
    FwldProcess target{{FWLD_BENCH_TARGET_BINARY, "--timeout", "20"}};
    std::unique_ptr<testbed::SerialEnd> line;

    explicit Session(const std::string& after_ack = "Loader", const std::string& end_marker = kEndMarker) {
        const std::string device = testbed::target_device_path(target, kWait);
        line = std::make_unique<testbed::SerialEnd>(device);
        line->send("$PZKW,cprst,0*40\r\n" + kPassword);
        EXPECT_EQ(line->recv_until("G", kWait), "Ready ok.G");
        line->send(after_ack + std::string(80, 'L') + std::string(80, 'M') + end_marker);
    }

    bool first_h() { return line->recv(1, kWait) == "H"; }

    // Sends each record after the H that asks for it.
    void send_records(const std::vector<std::string>& records) {
        for (size_t i = 0; i < records.size(); ++i) {
            if (i > 0) {
                ASSERT_EQ(line->recv(1, kWait), "H") << "before record " << i + 1;
            }
            line->send(records[i]);
        }
    }

    std::map<std::string, std::string> finish(int* exit_code) {
        const testbed::ProcessResult r = target.finish(ms(20000));
        *exit_code = r.exit_code;
        std::map<std::string, std::string> figures;
        std::istringstream lines(r.out);
        for (std::string text; std::getline(lines, text);) {
            const size_t space = text.find(' ');
            if (space != std::string::npos) figures[text.substr(0, space)] = text.substr(space + 1);
        }
        return figures;
    }
};

std::string fault_of(Session& s) {
    int exit_code = 0;
    auto figures = s.finish(&exit_code);
    EXPECT_EQ(exit_code, 1);
    EXPECT_EQ(figures["verdict"], "fault");
    return figures["fault"];
}

}  // namespace

TEST(BenchTarget, TimesAWholeUpdateAndReportsWhatArrived) {
    testbed::TempDir dir;
    const std::vector<std::string> records = {record(126, 'a'), record(0, 'x'), record(3, 'b'), "E"};
    std::string file = "\r\n";
    for (const std::string& r : records) file += r + "\r\n";
    const std::string program = testbed::write_file(dir.file("p.rec"), file);

    // Passwords still on their way after the acknowledgement are taken.
    Session s(kPassword + kPassword + "Loader");
    ASSERT_TRUE(s.first_h());
    s.send_records(records);
    int exit_code = -1;
    auto figures = s.finish(&exit_code);
    EXPECT_EQ(exit_code, 0) << figures["fault"];
    EXPECT_EQ(figures["verdict"], "ok");
    EXPECT_EQ(figures["passwords"], "3");
    EXPECT_EQ(figures["loader_records"], "2");
    EXPECT_EQ(figures["records"], "4");
    EXPECT_EQ(figures["record_bytes"], std::to_string(128 + 2 + 5 + 1));
    EXPECT_EQ(figures["digest"], bench::records_digest(program));
    const double median = std::atof(figures["turnaround_median_us"].c_str());
    EXPECT_GT(median, 0);
    EXPECT_LE(median, std::atof(figures["turnaround_p99_us"].c_str()));
    EXPECT_LE(std::atof(figures["turnaround_p99_us"].c_str()), std::atof(figures["turnaround_max_us"].c_str()));
    EXPECT_GT(std::atof(figures["records_per_s"].c_str()), 0);
}

TEST(BenchTarget, RefusesBadFraming) {
    {
        Session s;
        ASSERT_TRUE(s.first_h());
        s.line->send(record(2, 'a') + record(2, 'b'));  // the second was not asked for
        EXPECT_EQ(fault_of(s), "record bytes without an H");
    }
    {
        Session s;
        ASSERT_TRUE(s.first_h());
        s.line->send(std::string{'S', '\x7f'});
        EXPECT_EQ(fault_of(s), "record count above 126");
    }
    {
        Session s;
        ASSERT_TRUE(s.first_h());
        s.line->send("\r\n");
        EXPECT_EQ(fault_of(s), "byte 0x0D where a record should start");
    }
    {
        Session s;
        ASSERT_TRUE(s.first_h());
        s.send_records({record(1, 'a'), "EE"});
        EXPECT_EQ(fault_of(s), "bytes after the E record");
    }
}

TEST(BenchTarget, RefusesABadWakeUpOrLoader) {
    {
        Session s("Wake up now!Loader");
        EXPECT_EQ(fault_of(s), "bytes other than passwords before \"Loader\"");
    }
    {
        std::string marker = kEndMarker;
        marker[79] = '\x01';
        Session s("Loader", marker);
        EXPECT_EQ(fault_of(s), "end marker not padded with zero bytes");
    }
}

TEST(BenchTarget, SilentTargetOnlyListens) {
    FwldProcess target({FWLD_BENCH_TARGET_BINARY, "--silent", "--timeout", "1"});
    testbed::SerialEnd line(testbed::target_device_path(target, kWait));
    line.send(kPassword);
    ASSERT_TRUE(target.wait_for_out("event first-byte", kWait));
    EXPECT_EQ(line.drain(ms(300)), "");
    EXPECT_EQ(target.finish(ms(5000)).exit_code, 1);  // it never saw an update through
}

TEST(BenchSummaries, StraceCountsByNameWithOrWithoutErrors) {
    const std::string summary =
        "% time     seconds  usecs/call     calls    errors syscall\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        " 40.00    0.000400           2       200           ioctl\n"
        " 30.00    0.000300           3       100        12 poll\n"
        "  0.50    0.000005           5         1         1 access\n"
        "------ ----------- ----------- --------- --------- ----------------\n"
        "100.00    0.001000           3       301        13 total\n";
    const auto counts = bench::strace_counts(summary);
    EXPECT_EQ(counts, (std::map<std::string, double>{{"ioctl", 200}, {"poll", 100}, {"access", 1}}));
}

TEST(BenchSummaries, PerfCountsByNameAndTheRestAsOther) {
    const std::string csv =
        "# started on Mon Dec  7 22:21:50 2026\n"
        "\n"
        "144,,raw_syscalls:sys_enter,1129429,100.00,,\n"
        "2,,syscalls:sys_enter_ioctl,1129429,100.00,,\n"
        "0,,syscalls:sys_enter_ppoll,1129429,100.00,,\n"
        "7,,syscalls:sys_enter_read,1129429,100.00,,\n";
    const auto counts = bench::perf_counts(csv);
    EXPECT_EQ(counts, (std::map<std::string, double>{{"ioctl", 2}, {"read", 7}, {"(other)", 135}}));
    EXPECT_NE(bench::perf_events().find("syscalls:sys_enter_poll"), std::string::npos);
}

TEST(BenchSummaries, CallsFallIntoTheirGroups) {
    EXPECT_EQ(bench::kind_of("poll"), bench::CALL_WAIT);
    EXPECT_EQ(bench::kind_of("clock_nanosleep"), bench::CALL_WAIT);
    EXPECT_EQ(bench::kind_of("read"), bench::CALL_READ);
    EXPECT_EQ(bench::kind_of("writev"), bench::CALL_WRITE);
    EXPECT_EQ(bench::kind_of("ioctl"), bench::CALL_IOCTL);
    EXPECT_EQ(bench::kind_of("(other)"), bench::CALL_OTHER);
    EXPECT_EQ(bench::kind_of("openat"), bench::CALL_OTHER);
}

TEST(BenchSummaries, FwldGangTimesOfTheFinishedPortsOnly) {
    const std::string table = "\x1b[4A\rPORT  STAGE  %\x1b[K\r\n\r/dev/pts/3  done  -\x1b[K\r\n";
    const std::string summary = "\r\nPORT        OUTCOME       TIME       BYTES  MESSAGE\r\n"
                                "/dev/pts/3  finished     7.3 s       66049  Finish version up.\r\n"
                                "/dev/pts/4  failed       2.5 s        1285  Write Error\r\n"
                                "/dev/pts/5  finished    12.0 s       66049  Finish version up.\r\n"
                                "3 ports: 2 finished, 1 failed, 0 stopped. Logs in x\r\n";
    EXPECT_EQ(bench::gang_finished_seconds(table + summary), (std::vector<double>{7.3, 12.0}));
}

TEST(BenchSummaries, StationRecordsAgreeWithTheirBoardsTargets) {
    const std::map<std::string, std::vector<std::string>> outcomes = {{"/l/A", {"finished", "target-error"}},
                                                                      {"/l/B", {"finished"}}};
    const std::string jsonl = R"({"port":"/l/A:115200","outcome":"finished","board":1})" "\n"
                              R"({"port":"/l/A:115200","outcome":"target-error","board":2})" "\n"
                              R"({"port":"/l/B:115200","outcome":"line-failed","board":1})" "\n"  // disagrees
                              R"({"port":"/l/B:115200","outcome":"finished","board":2})" "\n"     // no such board
                              R"({"port":"/l/C:115200","outcome":"finished","board":1})" "\n";    // no such port
    const bench::StationRecords counted = bench::station_records(jsonl, outcomes);
    EXPECT_EQ(counted.lines, 5);
    EXPECT_EQ(counted.matching, 2);
}

TEST(BenchReport, MedianOfOddAndEvenCounts) {
    EXPECT_DOUBLE_EQ(bench::median({5, 1, 3}), 3);
    EXPECT_DOUBLE_EQ(bench::median({4, 1, 3, 2}), 2.5);
    EXPECT_TRUE(std::isnan(bench::median({})));
}

TEST(BenchReport, ResultsLinesAndTableColumns) {
    testbed::TempDir dir;
    bench::Flavour native{"native", {}, "", 1, 1, 1};
    bench::Flavour wine{"wine", {}, "/prefix", 1, 1, 1};
    bench::Report report;
    report.add(native, "rate", "records per second", 17000.4, "rec/s", 0);
    report.declare("conhost", "  conhost.exe", "%wall", 2);
    report.add(wine, "rate", "records per second", 1200, "rec/s", 0);
    report.add(wine, "conhost", "  conhost.exe", 0.25, "%wall", 2);
    report.add(native, "lost", "failed figure", NAN, "us", 1);
    ASSERT_TRUE(report.write_results(dir.file("r.txt")));
    const testbed::Bytes text = testbed::read_file(dir.file("r.txt"));
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "native.rate 17000.40 rec/s\nwine.rate 1200.00 rec/s\nwine.conhost 0.2500 %wall\n"
              "native.lost n/a us\n");

    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    report.print_table(out);
    std::fclose(out);
    const std::string table(buffer, size);
    std::free(buffer);
    EXPECT_NE(table.find("records per second"), std::string::npos);
    EXPECT_NE(table.find("17000       1200  rec/s"), std::string::npos) << table;
    EXPECT_NE(table.find("-       0.25  %wall"), std::string::npos) << table;
    EXPECT_LT(table.find("conhost"), table.find("failed figure")) << "a declared row keeps its place";
}

TEST(BenchPorts, NativePathOrALockedComNumberUnderWine) {
    testbed::TempDir dir;
    ASSERT_EQ(mkdir(dir.file("dosdevices").c_str(), 0755), 0);
    bench::Flavour native{"native", {}, "", 1, 1, 1};
    bench::Flavour wine{"wine", {}, dir.path(), 1, 1, 1};
    EXPECT_EQ(bench::PortName(native, "/dev/pts/7", "115200").p5(), "/dev/pts/7:115200");
    std::string first_link;
    {
        bench::PortName a(wine, "/dev/pts/7", "115200");
        bench::PortName b(wine, "/dev/pts/8", "9600");
        EXPECT_EQ(a.p5(), "10:115200");
        EXPECT_EQ(b.p5(), "11:9600");
        char target[64] = {};
        first_link = dir.file("dosdevices/com10");
        ASSERT_GT(readlink(first_link.c_str(), target, sizeof target - 1), 0);
        EXPECT_STREQ(target, "/dev/pts/7");
    }
    struct stat link_stat{};
    EXPECT_NE(lstat(first_link.c_str(), &link_stat), 0) << "the link goes with its number";
    EXPECT_EQ(bench::PortName(wine, "/dev/pts/9", "115200").p5(), "10:115200") << "a released number is free again";
}

// The whole chain once, against the built fwld: if fwld's behaviour or the
// benchmark's plumbing changes, a measurement that quietly counts nothing
// shows up here rather than as a table of n/a.
TEST(BenchMeasure, ThroughputRunsCountAgainstTheBuiltFwld) {
    testbed::TempDir dir;
    bench::Workbench wb;
    wb.fwld_target = FWLD_TARGET_BINARY;
    wb.bench_target = FWLD_BENCH_TARGET_BINARY;
    if (access("/usr/bin/taskset", X_OK) == 0) wb.taskset = "/usr/bin/taskset";
    wb.dir = dir.path();
    wb.log_dir = dir.path();
    bench::make_input_files(&wb);
    bench::Flavour native{"native", {FWLD_BINARY}, "", 1, 1, 1};
    bench::Report report;
    bench::measure_throughput(native, wb, &report);
    ASSERT_TRUE(report.write_results(dir.file("r.txt")));
    std::ifstream in(dir.file("r.txt"));
    std::map<std::string, double> got;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string name, value;
        words >> name >> value;
        got[name] = std::atof(value.c_str());
    }
    const bool pinned = !wb.taskset.empty() && sysconf(_SC_NPROCESSORS_ONLN) >= 2;
    const std::string at = pinned ? "separate_cpus" : "any_cpu";
    EXPECT_EQ(got["native.throughput_" + at + ".runs"], 1);
    EXPECT_GT(got["native.throughput_" + at + ".records_per_s"], 100);
    EXPECT_GT(got["native.throughput_" + at + ".turnaround_p99_us"], 0);
    EXPECT_GT(got["native.throughput_" + at + ".fwld_cpu_per_record_us"], 0);
}
