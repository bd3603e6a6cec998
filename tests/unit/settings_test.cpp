// Command line parsing into the run settings.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "settings.h"

namespace {

struct Parsed {
    RunSettings settings;
    const char* refusal;
    CommandNotes notes;
};

// Keeps the argument strings alive: the settings point into them.
std::vector<std::string> arguments;

Parsed parse(std::vector<std::string> args) {
    arguments = std::move(args);
    arguments.insert(arguments.begin(), "fwld");
    std::vector<char*> argv;
    for (std::string& a : arguments) argv.push_back(a.data());
    Parsed p{};
    p.refusal = parse_command_line(static_cast<int>(argv.size()), argv.data(), &p.settings, &p.notes);
    return p;
}

TEST(Settings, TooFewFilesIsRefused) {
    EXPECT_STREQ(parse({}).refusal, ".The number of input file is not sufficient.");
    EXPECT_STREQ(parse({"loader.bin"}).refusal, ".The number of input file is not sufficient.");
}

TEST(Settings, TwoFilesGiveTheDefaults) {
    const Parsed p = parse({"l.bin", "p.hex"});
    ASSERT_EQ(p.refusal, nullptr);
    const RunSettings& s = p.settings;
    EXPECT_STREQ(s.loader_path, "l.bin");
    EXPECT_STREQ(s.program_path, "p.hex");
    EXPECT_EQ(s.erase_wait, 125);
    EXPECT_EQ(s.write_wait, 2);
    EXPECT_EQ(s.password_interval, 100);
    EXPECT_EQ(s.target_id, 0);
    EXPECT_EQ(s.port_number, 1);
    EXPECT_EQ(s.baud_rate, 9600);
    EXPECT_EQ(s.new_wait, 0);
    EXPECT_EQ(s.loader_pacing_wait, 0);
    EXPECT_EQ(s.loader_pacing_group, 0);
    EXPECT_STREQ(s.erase_list, "");
    EXPECT_STREQ(s.password, "Wake up now.");
    EXPECT_STREQ(s.port_path, "");
}

TEST(Settings, PositionalParameters) {
    const RunSettings s = parse({"l", "p", "30", "5", "200", "0", "3:38400", "40"}).settings;
    EXPECT_EQ(s.erase_wait, 30);
    EXPECT_EQ(s.write_wait, 5);
    EXPECT_EQ(s.password_interval, 200);
    EXPECT_EQ(s.port_number, 3);
    EXPECT_EQ(s.baud_rate, 38400);
    EXPECT_EQ(s.new_wait, 40);
    EXPECT_EQ(parse({"l", "p", "7"}).settings.erase_wait, 7);
    EXPECT_EQ(parse({"l", "p", "7"}).settings.write_wait, 2);
    EXPECT_EQ(parse({"l", "p", "-3"}).settings.erase_wait, -3);  // countdown copes
}

TEST(Settings, UnscannableNumbersKeepDefaults) {
    const RunSettings s = parse({"l", "p", "x", "y", "z", "id", "-", "w"}).settings;
    EXPECT_EQ(s.erase_wait, 125);
    EXPECT_EQ(s.write_wait, 2);
    EXPECT_EQ(s.password_interval, 100);
    EXPECT_EQ(s.target_id, 0);
    EXPECT_EQ(s.port_number, 1);
    EXPECT_EQ(s.new_wait, 0);
    EXPECT_EQ(parse({"l", "p", "12abc"}).settings.erase_wait, 12);  // stops at the first non-digit
}

TEST(Settings, PasswordFollowsTheTargetId) {
    EXPECT_STREQ(parse({"l", "p", "1", "2", "3", "0"}).settings.password, "Wake up now.");
    EXPECT_STREQ(parse({"l", "p", "1", "2", "3", "7"}).settings.password, "Wake up now7");
    EXPECT_STREQ(parse({"l", "p", "1", "2", "3", "12"}).settings.password, "Wake up now12");
}

TEST(Settings, PortForms) {
    struct Case {
        const char* p5;
        int port;
        int baud;
        const char* path;
    };
    const Case cases[] = {
        {"3", 3, 9600, ""},
        {"3:38400", 3, 38400, ""},
        {"3:", 3, 9600, ""},
        {"", 1, 9600, ""},
        {"-", 1, 9600, ""},
        {"-1", -1, 9600, ""},
        {"COM3", 3, 9600, ""},
        {"com12:115200", 12, 115200, ""},
        {"cOm7:", 7, 9600, ""},
        {"null", 1, 9600, "/dev/null"},
        {"null:19200", 1, 19200, "/dev/null"},
        {"32:19200", 32, 19200, ""},
        // COM numbers above the table name their device directly.
        {"COM31", 31, 9600, ""},
        {"COM32", 1, 9600, "/dev/ttyS31"},
        {"com256:115200", 1, 115200, "/dev/ttyS255"},
        {"COM257", 257, 9600, ""},
        {"/dev/ttyUSB0", 1, 9600, "/dev/ttyUSB0"},
        {"/dev/ttyUSB0:115200", 1, 115200, "/dev/ttyUSB0"},
        {"/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0", 1, 9600,
         "/dev/serial/by-path/pci-0000:00:14.0-usb-0:2:1.0-port0"},
        {"/dev/serial/by-path/pci-0:2:1.0-port0:57600", 1, 57600, "/dev/serial/by-path/pci-0:2:1.0-port0"},
    };
    for (const Case& c : cases) {
        const Parsed p = parse({"l", "p", "1", "2", "3", "4", c.p5});
        SCOPED_TRACE(c.p5);
        ASSERT_EQ(p.refusal, nullptr);
        EXPECT_EQ(p.settings.port_number, c.port);
        EXPECT_EQ(p.settings.baud_rate, c.baud);
        EXPECT_STREQ(p.settings.port_path, c.path);
    }
}

// Every refusal names p5 and quotes what it could not use.
TEST(Settings, PortTextsThatNameNoPortAreRefused) {
    struct Case {
        const char* p5;
        const char* says;
    };
    const Case cases[] = {
        {"fwld-no-such-device-9", "names no serial port"},
        {"fwld-no-such-device-9:115200", "names no serial port"},
        {"COMx", "names no serial port"},
        {"COM", "names no serial port"},
        {"COM-3", "names no serial port"},
        {"usb", "names no serial port"},
        {":38400", "names no serial port"},
        {"3x", "names no serial port"},
        {"-:9600", "names no serial port"},
        {"..", "names no serial port"},
        {"99999999999999", "port number \"99999999999999\" does not fit in 32 bits"},
        {"2147483648", "does not fit in 32 bits"},
        {"-2147483649", "does not fit in 32 bits"},
        {"COM99999999999", "does not fit in 32 bits"},
        {"1:99999999999", "baud rate \"99999999999\" does not fit in 32 bits"},
        {"1:2147483648", "does not fit in 32 bits"},
        {"/dev/ttyUSB0:99999999999", "does not fit in 32 bits"},
        {"null:99999999999", "does not fit in 32 bits"},
        {"3:fast", "baud rate \"fast\" is not a number"},
        {"COM3:38400x", "is not a number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.p5);
        const Parsed p = parse({"l", "p", "1", "2", "3", "4", c.p5});
        ASSERT_NE(p.refusal, nullptr);
        const std::string refusal = p.refusal;
        EXPECT_EQ(refusal.rfind("p5 ", 0), 0u) << refusal;
        EXPECT_NE(refusal.find(c.says), std::string::npos) << refusal;
    }
    // The largest numbers that fit are taken.
    const RunSettings s = parse({"l", "p", "1", "2", "3", "4", "2147483647:2147483647"}).settings;
    EXPECT_EQ(s.port_number, 2147483647);
    EXPECT_EQ(s.baud_rate, 2147483647);
}

TEST(Settings, LoaderPacingAndEraseListOptions) {
    const std::vector<std::string> six = {"l", "p", "1", "2", "3", "4", "5", "6"};
    auto with = [&](std::vector<std::string> options) {
        std::vector<std::string> args = six;
        args.insert(args.end(), options.begin(), options.end());
        return parse(args).settings;
    };
    RunSettings s = with({"LD20/8", "ES0,1,2"});
    EXPECT_EQ(s.loader_pacing_wait, 20);
    EXPECT_EQ(s.loader_pacing_group, 8);
    EXPECT_STREQ(s.erase_list, "0,1,2");
    EXPECT_STREQ(with({"ES0,1", "ES"}).erase_list, "");
    s = with({"ld20/8", "es1"});
    EXPECT_EQ(s.loader_pacing_wait, 0);
    EXPECT_STREQ(s.erase_list, "");
    s = with({"LD20/8", "LD30"});
    EXPECT_EQ(s.loader_pacing_wait, 30);
    EXPECT_EQ(s.loader_pacing_group, 8);
    s = with({"LD20"});
    EXPECT_EQ(s.loader_pacing_wait, 20);
    EXPECT_EQ(s.loader_pacing_group, 0);
    s = with({"LD20/8", "LDx/3"});
    EXPECT_EQ(s.loader_pacing_wait, 20);
    EXPECT_EQ(s.loader_pacing_group, 8);
    EXPECT_EQ(with({}).trace_path, nullptr);
    EXPECT_STREQ(with({"TR/tmp/a.log", "XY", "TR/tmp/b.log"}).trace_path, "/tmp/b.log");
    EXPECT_STREQ(with({"TR"}).trace_path, "");
    EXPECT_EQ(with({"tr/tmp/a.log"}).trace_path, nullptr);
    EXPECT_EQ(with({}).log_path, nullptr);
    EXPECT_STREQ(with({"LGruns.jsonl", "TR/tmp/t"}).log_path, "runs.jsonl");
    EXPECT_EQ(with({}).silence_limit, 0);
    EXPECT_EQ(with({"TO30"}).silence_limit, 30);
    EXPECT_EQ(with({"TO1", "TO2147483"}).silence_limit, 2147483);
    EXPECT_STREQ(with({"EV/dev/fd/3"}).event_path, "/dev/fd/3");
    EXPECT_FALSE(with({}).removal_ends_run);
    EXPECT_TRUE(with({"RM"}).removal_ends_run);
    EXPECT_FALSE(with({"rm"}).removal_ends_run);
    // RS: the entry steps, then after the colon the exit steps.
    s = with({"RS-rts,-DTR,50,dtr,200,rts:-dtr,60000,dtr"});
    EXPECT_STREQ(s.lines_text, "-rts,-DTR,50,dtr,200,rts:-dtr,60000,dtr");
    const LineStepKind entry[] = {STEP_RTS_OFF, STEP_DTR_OFF, STEP_WAIT, STEP_DTR_ON, STEP_WAIT, STEP_RTS_ON};
    ASSERT_EQ(s.lines_entry.count, 6);
    for (int i = 0; i < 6; ++i) EXPECT_EQ(s.lines_entry.steps[i].kind, entry[i]) << i;
    EXPECT_EQ(s.lines_entry.steps[2].wait_ms, 50);
    EXPECT_STREQ(s.lines_entry.text, "-rts,-DTR,50,dtr,200,rts");
    ASSERT_EQ(s.lines_exit.count, 3);
    EXPECT_EQ(s.lines_exit.steps[1].wait_ms, 60000);
    EXPECT_STREQ(s.lines_exit.text, "-dtr,60000,dtr");
    s = with({"RS:dtr"});
    EXPECT_EQ(s.lines_entry.count, 0);
    EXPECT_EQ(s.lines_exit.count, 1);
    EXPECT_EQ(with({}).lines_text, nullptr);
}

// Words that are not what their place holds: an option or a port where a
// number belongs stops the run, as does a number beyond 32 bits; a word
// that is not a number keeps the value there is, with a note.
TEST(Settings, MisplacedWordsAreRefusedAndOddOnesNoted) {
    struct Case {
        std::vector<std::string> args;  // after the two files
        const char* refusal;            // nullptr: taken
        const char* note;               // the one note expected; nullptr: none
    };
    const Case cases[] = {
        {{"2", "2", "100", "0", "./ttyT:115200", "LGruns.jsonl"}, "LGruns.jsonl stands as p6: options come after p6.",
         nullptr},
        {{"TO5"}, "TO5 stands as p1: options come after p6.", nullptr},
        {{"1", "2", "3", "ES0,1"}, "ES0,1 stands as p4: options come after p6.", nullptr},
        {{"1", "2", "3", "4", "LD2/3"}, "LD2/3 stands as p5: options come after p6.", nullptr},
        {{"3", "2", "100", "./ttyNA:115200"}, "p4 looks like a port: is a parameter missing?", nullptr},
        {{"3", "2", "COM3"}, "p3 looks like a port", nullptr},
        {{"3:9600"}, "p1 looks like a port", nullptr},
        {{"1", "2", "3", "4", "5", "/dev/ttyUSB0"}, "p6 looks like a port", nullptr},
        {{"1", "ttyUSB0:115200"}, "p2 looks like a port", nullptr},
        {{"99999999999"}, "p1 \"99999999999\" does not fit in 32 bits.", nullptr},
        {{"1", "2147483648"}, "p2 \"2147483648\" does not fit in 32 bits.", nullptr},
        {{"1", "2", "3", "-2147483649"}, "p4 \"-2147483649\" does not fit", nullptr},
        {{"1", "2", "3", "4", "5", "99999999999"}, "p6 \"99999999999\" does not fit", nullptr},
        {{"1", "2", "3", "4", "5", "6", "LD99999999999/2"}, "a number does not fit in 32 bits", nullptr},
        {{"1", "2", "3", "4", "5", "6", "TO0"}, "TO takes the seconds", nullptr},
        {{"1", "2", "3", "4", "5", "6", "TO2147484"}, "from 1 to 2147483", nullptr},
        {{"1", "2", "3", "4", "5", "6", "TOx"}, "TO takes the seconds", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RM1"}, "RM1: RM takes nothing after it.", nullptr},
        {{"1", "2", "3", "RM"}, "RM stands as p4: options come after p6.", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RSdtr,soon"},
         "RS: 'soon' is not dtr, -dtr, rts, -rts or a number of milliseconds.", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RSdtr,,rts"}, "RS: '' is not dtr", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RS-dtr,"}, "RS: '' is not dtr", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RS60001"}, "RS: '60001' is more than 60000 milliseconds.", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RS+5"}, "RS: '+5' is not dtr", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RS1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17"},
         "RS: a sequence takes at most 16 steps.", nullptr},
        {{"1", "2", "3", "4", "5", "6", "RS:"}, "RS takes the steps for DTR and RTS", nullptr},
        // Taken, with a note.
        {{"2147483647", "0", "0", "-2147483648"}, nullptr, nullptr},
        {{"1", "2", "3", "abc"}, nullptr, "p4 'abc' is not a number; the target ID stays 0."},
        {{"0x10"}, nullptr, "p1 '0x10' was read as 0."},
        {{"x"}, nullptr, "p1 'x' is not a number; the erase wait stays 125 s."},
        {{"1", "2", "3", "4", "5", "6", "XY"}, nullptr,
         "'XY' after p6 is no option fwld knows and is ignored; the options are LDt/r, ESs, TRpath, LGpath, TOs, EVpath, RM and RSsteps."},
        {{"1", "2", "3", "4", "5", "6", "ld20/8"}, nullptr, "'ld20/8' after p6 is no option"},
        {{"1", "2", "3", "\x1b[2J"}, nullptr, "p4 '\\x1b[2J' is not a number"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args = {"l", "p"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Parsed p = parse(args);
        SCOPED_TRACE(args.back());
        if (c.refusal != nullptr) {
            ASSERT_NE(p.refusal, nullptr);
            EXPECT_NE(std::string(p.refusal).find(c.refusal), std::string::npos) << p.refusal;
            continue;
        }
        ASSERT_EQ(p.refusal, nullptr) << p.refusal;
        ASSERT_EQ(p.notes.count, c.note != nullptr ? 1 : 0);
        if (c.note != nullptr) {
            EXPECT_EQ(std::string(p.notes.lines[0]).rfind(c.note, 0), 0u) << p.notes.lines[0];
        }
    }
    // A word keeps the value before it; the notes come one per word.
    const Parsed p = parse({"l", "p", "x", "y", "z", "id", "-", "w", "XY"});
    EXPECT_EQ(p.notes.count, 6);
    EXPECT_STREQ(p.notes.lines[1], "p2 'y' is not a number; the write wait stays 2 ms.");
}

TEST(Settings, NegativeWaitsAndBadBaudRatesAreRefusedByName) {
    EXPECT_NE(std::string(parse({"l", "p", "1", "-2"}).refusal).find("p2"), std::string::npos);
    EXPECT_NE(std::string(parse({"l", "p", "1", "2", "-3"}).refusal).find("p3"), std::string::npos);
    EXPECT_NE(std::string(parse({"l", "p", "1", "2", "3", "4", "5", "-6"}).refusal).find("p6"), std::string::npos);
    EXPECT_NE(std::string(parse({"l", "p", "1", "2", "3", "4", "5", "6", "LD-1/2"}).refusal).find("LD"),
              std::string::npos);
    EXPECT_NE(std::string(parse({"l", "p", "1", "2", "3", "4", "5", "6", "LD1/-2"}).refusal).find("LD"),
              std::string::npos);
    EXPECT_NE(std::string(parse({"l", "p", "1", "2", "3", "4", "5:0"}).refusal).find("p5"), std::string::npos);
    EXPECT_EQ(parse({"l", "p", "-1", "0", "0"}).refusal, nullptr);
}

TEST(Settings, ALoneHelpOrVersionAsksForInformation) {
    auto request = [](std::vector<std::string> args) {
        arguments = std::move(args);
        arguments.insert(arguments.begin(), "fwld");
        std::vector<char*> argv;
        for (std::string& a : arguments) argv.push_back(a.data());
        return info_request(static_cast<int>(argv.size()), argv.data());
    };
    EXPECT_EQ(request({"--help"}), HELP_REQUEST);
    EXPECT_EQ(request({"-h"}), HELP_REQUEST);
    EXPECT_EQ(request({"--version"}), VERSION_REQUEST);
    EXPECT_EQ(request({}), NO_INFO_REQUEST);
    EXPECT_EQ(request({"-H"}), NO_INFO_REQUEST);
    EXPECT_EQ(request({"--versions"}), NO_INFO_REQUEST);
    // With more arguments they are file names as always.
    EXPECT_EQ(request({"--help", "p.hex"}), NO_INFO_REQUEST);
    EXPECT_EQ(request({"l.bin", "--version"}), NO_INFO_REQUEST);
}

}  // namespace
