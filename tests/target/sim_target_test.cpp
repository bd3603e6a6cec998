// The simulated target driven from a scripted tool side over a real pty.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <thread>

#include "sim_target.h"
#include "testbed.h"
#include "tool_side.h"

using namespace tool_side;
using sim::RecordAction;
using sim::SimTarget;
using sim::TargetConfig;
using testbed::SerialEnd;

namespace {

const ms kDone{10000};

struct TargetRun {
    std::unique_ptr<SimTarget> target;
    std::unique_ptr<SerialEnd> line;

    explicit TargetRun(TargetConfig cfg) : target(std::make_unique<SimTarget>(std::move(cfg))) {
        EXPECT_TRUE(target->start()) << target->last_error();
        line = std::make_unique<SerialEnd>(target->device_path());
    }
    // Wake-up and a loader of `loader` bytes.
    void up_to_program(const std::string& loader = "boot") {
        wake(*line);
        line->send(loader_stream(loader));
    }
    sim::TargetReport done() {
        EXPECT_TRUE(target->wait_done(kDone));
        return target->report();
    }
};

std::string text(const sim::Bytes& b) { return std::string(b.begin(), b.end()); }

}  // namespace

TEST(SimTarget, WholeRunArrivesIntactAndIsWrittenOut) {
    testbed::TempDir dir;
    TargetConfig cfg;
    cfg.loader_out = dir.file("loader.bin");
    cfg.image_out = dir.file("image.bin");
    TargetRun run(cfg);

    std::string loader(100, 'L');  // one full record and one padded
    run.up_to_program(loader);
    const std::string file = "junk\r\n" + S("\x10\x20\x30") + "\r\n" + S("") + S("SE") + "E";
    sim::RecordList expected = sim::records_from_file_bytes(testbed::to_bytes(file));
    ASSERT_EQ(expected.records.size(), 4u);
    for (const sim::Bytes& rec : expected.records) ASSERT_TRUE(answer_h(*run.line, text(rec)));

    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
    EXPECT_TRUE(r.matches(expected));
    EXPECT_EQ(r.digest, expected.digest());
    EXPECT_EQ(r.record_count, 4u);
    EXPECT_EQ(r.record_bytes, expected.byte_count());
    EXPECT_EQ(r.reset_sentence, reset_sentence(0));
    EXPECT_EQ(r.password_ms.size(), 1u);
    EXPECT_GE(r.loader_cmd_ms, r.g_ms);
    EXPECT_GE(r.g_ms, r.ack_ms);
    ASSERT_EQ(r.loader_records.size(), 2u);
    EXPECT_EQ(text(r.loader_records[1]), std::string(20, 'L') + std::string(60, '\0'));
    EXPECT_EQ(r.h_sent, 4);

    std::string padded = loader + std::string(60, '\0');
    EXPECT_EQ(testbed::read_file(cfg.loader_out), testbed::to_bytes(padded));
    sim::Bytes flat;
    for (const sim::Bytes& rec : expected.records) flat.insert(flat.end(), rec.begin(), rec.end());
    EXPECT_EQ(testbed::read_file(cfg.image_out), flat);

    // Every byte the tool sent is in the log, in order.
    std::string all = reset_sentence(0) + password(0) + loader_stream(loader) + text(flat);
    std::string logged;
    for (const sim::RxByte& b : r.received) logged += static_cast<char>(b.byte);
    EXPECT_EQ(logged, all);
    EXPECT_EQ(run.line->drain(ms(100)), "");  // no 'H' after the E record
}

TEST(SimTarget, AcknowledgesOnlyTheConfiguredIdAfterNPasswords) {
    TargetConfig cfg;
    cfg.id = 12;
    cfg.ack_after_passwords = 3;
    TargetRun run(cfg);
    run.line->send(reset_sentence(12) + password(12));
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(run.line->drain(ms(150)), "") << "acknowledged early, after password " << i + 1;
        run.line->send(password(12));
    }
    EXPECT_EQ(run.line->recv(10, kWait), "Ready ok.G");
    // A password still in flight when the tool saw the acknowledgement.
    run.line->send(password(12) + "Loader" + end_marker());
    ASSERT_TRUE(answer_h(*run.line, "E"));
    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
    ASSERT_EQ(r.password_ms.size(), 4u);
    EXPECT_EQ(r.passwords_after_ack, 1);
    // The tool paced its passwords about 150 ms apart; the log shows it.
    EXPECT_GE(r.password_ms[1] - r.password_ms[0], 140.0);
    EXPECT_LT(r.password_ms[1] - r.password_ms[0], 2000.0);
}

TEST(SimTarget, WrongIdOrPasswordIsNotAcknowledged) {
    TargetConfig cfg;
    cfg.id = 5;
    cfg.byte_gap_timeout = ms(300);
    TargetRun run(cfg);
    run.line->send(reset_sentence(0) + password(0) + password(0));
    EXPECT_EQ(run.line->drain(ms(500)), "");
    // A right password afterwards still wakes it.
    run.line->send(password(5));
    EXPECT_EQ(run.line->recv(10, kWait), "Ready ok.G");
    run.target->stop();
    sim::TargetReport r = run.target->report();
    EXPECT_FALSE(r.reset_ok);
    ASSERT_GE(r.framing_errors.size(), 2u);
    EXPECT_NE(r.framing_errors[0].find("names ID \"0\", expected 5"), std::string::npos) << r.framing_errors[0];
    EXPECT_NE(r.framing_errors[1].find("Wake up now.Wake up now."), std::string::npos) << r.framing_errors[1];
    EXPECT_EQ(r.password_ms.size(), 1u);
}

TEST(SimTarget, ResetSentenceFramingIsChecked) {
    struct Case {
        std::string sentence;
        std::string complaint;
    };
    std::string good = reset_sentence(0);  // "$PZKW,cprst,0*XX\r\n"
    std::string lower = good;
    lower[good.size() - 3] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[good.size() - 3])));
    std::string wrong_sum = good;
    wrong_sum[good.size() - 3] = wrong_sum[good.size() - 3] == '0' ? '1' : '0';
    const Case cases[] = {
        {wrong_sum, "checksum"},
        {"$PZKW,cprst,0*" + good.substr(good.size() - 4, 2) + "\n", "CR LF"},
        {"$PZKW,CPRST,0*00\r\n", "does not start"},
        {"x" + good, "bytes before the reset sentence"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sentence);
        TargetConfig cfg;
        cfg.byte_gap_timeout = ms(300);
        TargetRun run(cfg);
        run.line->send(c.sentence + password(0));
        EXPECT_EQ(run.line->recv(10, kWait), "Ready ok.G");
        run.target->stop();
        sim::TargetReport r = run.target->report();
        ASSERT_FALSE(r.framing_errors.empty());
        EXPECT_NE(r.framing_errors[0].find(c.complaint), std::string::npos) << r.framing_errors[0];
    }
    // Lower-case checksum digits do not pass either (when they hold a letter).
    if (lower != good) {
        TargetConfig cfg;
        TargetRun run(cfg);
        run.line->send(lower + password(0));
        run.line->recv(10, kWait);
        run.target->stop();
        EXPECT_FALSE(run.target->report().reset_ok);
    }
}

TEST(SimTarget, AcknowledgementCanBeDisguisedAndSplit) {
    TargetConfig cfg;
    cfg.junk_before_ack = "xyz";
    cfg.ack_text = "READY OK.";
    cfg.ack_interleave = "\r\n\xff";
    cfg.ack_byte_delay = ms(30);
    cfg.g_before_ack = true;
    cfg.g_delay = ms(100);
    TargetRun run(cfg);
    run.line->send(reset_sentence(0) + password(0));
    auto t0 = std::chrono::steady_clock::now();
    std::string expect = "Gxyz";
    for (size_t i = 0; i < cfg.ack_text.size(); ++i) expect += (i ? cfg.ack_interleave : "") + cfg.ack_text.substr(i, 1);
    EXPECT_EQ(run.line->recv(expect.size(), kWait), expect);
    EXPECT_EQ(run.line->recv(1, kWait), "G");
    auto took = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(took, ms(8 * 30 + 100 - 20));  // splits and the delay before 'G'
    sim::TargetReport r = run.target->report();
    EXPECT_GE(r.g_ms - r.ack_ms, 90.0);
}

TEST(SimTarget, NeverAcknowledgingKeepsCountingPasswords) {
    TargetConfig cfg;
    cfg.never_ack = true;
    TargetRun run(cfg);
    run.line->send(reset_sentence(0));
    for (int i = 0; i < 5; ++i) run.line->send(password(0));
    EXPECT_EQ(run.line->drain(ms(300)), "");
    EXPECT_FALSE(run.target->wait_done(ms(10)));
    run.target->stop();
    sim::TargetReport r = run.target->report();
    EXPECT_EQ(r.password_ms.size(), 5u);
    EXPECT_TRUE(r.framing_errors.empty());
    EXPECT_LT(r.ack_ms, 0);
}

TEST(SimTarget, EarlyHComesRightAfterLoaderAndReplacesTheFirst) {
    TargetConfig cfg;
    cfg.early_h = true;
    TargetRun run(cfg);
    wake(*run.line);
    run.line->send("Loader");
    EXPECT_EQ(run.line->recv(1, kWait), "H");
    run.line->send(loader_stream("abc").substr(6));
    EXPECT_EQ(run.line->drain(ms(200)), "");  // no second 'H' before a record
    run.line->send("E");
    EXPECT_TRUE(run.done().intact());
}

TEST(SimTarget, BadEndMarkerAndCutLoaderRecordAreFramingErrors) {
    {
        TargetRun run(TargetConfig{});
        wake(*run.line);
        std::string marker = end_marker();
        marker[79] = 1;
        run.line->send("Loader" + marker);
        ASSERT_TRUE(answer_h(*run.line, "E"));
        sim::TargetReport r = run.done();
        EXPECT_TRUE(r.end_marker_seen);
        EXPECT_FALSE(r.end_marker_ok);
        EXPECT_FALSE(r.intact());
    }
    {
        TargetConfig cfg;
        cfg.byte_gap_timeout = ms(200);
        TargetRun run(cfg);
        wake(*run.line);
        run.line->send("Loader" + std::string(50, 'x'));
        sim::TargetReport r = run.done();
        ASSERT_EQ(r.framing_errors.size(), 1u);
        EXPECT_NE(r.framing_errors[0].find("cut short: 50 of 80"), std::string::npos);
        EXPECT_FALSE(r.intact());
    }
}

TEST(SimTarget, CommandsBetweenRecordsComeInScriptOrder) {
    TargetConfig cfg;
    cfg.actions[0] = {RecordAction::flash_type('1')};
    cfg.actions[1] = {RecordAction::message("FLASH OK"), RecordAction::pause(), RecordAction::speed(115200),
                      RecordAction::junk("\r\n"), RecordAction::flash_type('2')};
    TargetRun run(cfg);
    run.up_to_program();
    EXPECT_EQ(run.line->recv(2, kWait), "1H");
    run.line->send(S("ab"));
    std::string expect = "MFLASH OK\nhS115200,8,N,1,x\n\r\n2H";
    EXPECT_EQ(run.line->recv(expect.size(), kWait), expect);
    EXPECT_EQ(run.target->report().h_sent, 2);  // counted before the tool could see it
    run.line->send("E");
    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
}

TEST(SimTarget, ResendMustRepeatThePreviousRecord) {
    for (bool faithful : {true, false}) {
        SCOPED_TRACE(faithful ? "faithful resend" : "wrong resend");
        TargetConfig cfg;
        cfg.actions[2] = {RecordAction::resend()};
        TargetRun run(cfg);
        run.up_to_program();
        ASSERT_TRUE(answer_h(*run.line, S("one")));
        ASSERT_TRUE(answer_h(*run.line, S("two")));
        EXPECT_EQ(run.line->recv(1, kWait), "R");
        run.line->send(faithful ? S("two") : S("one"));
        ASSERT_TRUE(answer_h(*run.line, "E"));
        sim::TargetReport r = run.done();
        ASSERT_EQ(r.records.size(), 4u);
        EXPECT_TRUE(r.records[2].resend);
        EXPECT_EQ(r.record_count, 3u);  // the resend is not part of the image
        EXPECT_EQ(r.intact(), faithful) << ::testing::PrintToString(r.framing_errors);
        EXPECT_EQ(r.digest, sim::records_digest({testbed::to_bytes(S("one")), testbed::to_bytes(S("two")), {'E'}}));
    }
}

TEST(SimTarget, EraseListReplyIsRecordedAndChecked) {
    TargetConfig cfg;
    cfg.actions[1] = {RecordAction::erase_list(), RecordAction::erase_list()};
    cfg.actions[2] = {RecordAction::erase_list()};
    cfg.byte_gap_timeout = ms(300);
    TargetRun run(cfg);
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("a")));
    EXPECT_EQ(run.line->recv(1, kWait), "Z");
    run.line->send("Z0,1,2\n");
    EXPECT_EQ(run.line->recv(1, kWait), "Z");
    run.line->send("Z\n");  // an empty list
    ASSERT_TRUE(answer_h(*run.line, S("b")));
    EXPECT_EQ(run.line->recv(1, kWait), "Z");
    run.line->send("Z0,1");  // no line feed: the target gives up after the gap
    ASSERT_TRUE(answer_h(*run.line, "E"));
    sim::TargetReport r = run.done();
    EXPECT_EQ(r.erase_list_replies, (std::vector<std::string>{"0,1,2", "", "0,1"}));
    ASSERT_EQ(r.framing_errors.size(), 1u);
    EXPECT_NE(r.framing_errors[0].find("no line feed"), std::string::npos);
}

TEST(SimTarget, ErrorsAndSilenceEndTheRun) {
    struct Case {
        RecordAction action;
        std::string bytes;  // what the tool gets after record 1
    };
    const Case cases[] = {
        {RecordAction::error('N', '3'), "N3"},
        {RecordAction::error('E'), "E"},
        {RecordAction::error('e'), "e"},
        {RecordAction::flash_type('0'), "0"},
        {RecordAction::silent(), ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        TargetConfig cfg;
        cfg.actions[1] = {c.action, RecordAction::message("never sent")};
        TargetRun run(cfg);
        run.up_to_program();
        ASSERT_TRUE(answer_h(*run.line, S("x")));
        sim::TargetReport r = run.done();
        EXPECT_EQ(run.line->drain(ms(200)), c.bytes);
        EXPECT_TRUE(r.ended_by_action);
        EXPECT_FALSE(r.intact());
        EXPECT_EQ(r.record_count, 1u);
    }
}

TEST(SimTarget, AHungBoardKeepsItsLineAndAnswersNothing) {
    testbed::TempDir dir;
    TargetConfig cfg;
    cfg.link_path = dir.file("ttyTARGET");
    cfg.actions[1] = {RecordAction::hang(), RecordAction::message("never sent")};
    TargetRun run(cfg);
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("x")));
    ASSERT_TRUE(run.target->wait_done(kDone));
    run.line->send(S("more") + "E");
    EXPECT_EQ(run.line->drain(ms(300)), "");
    EXPECT_FALSE(run.line->hung_up(ms(50)));
    EXPECT_EQ(access(cfg.link_path.c_str(), F_OK), 0) << "a hung board took its link with it";
    run.target->stop();
    sim::TargetReport r = run.target->report();
    EXPECT_TRUE(r.hung);
    EXPECT_FALSE(r.intact());
    EXPECT_EQ(r.record_count, 1u);
    EXPECT_EQ(r.bytes_while_hung, S("more").size() + 1);
}

TEST(SimTarget, AFixtureWakesEachBoardAfreshOnOneLineAndReportsThemApart) {
    TargetConfig cfg;
    cfg.boards = 3;
    cfg.swap_after[2] = 1;
    cfg.swap_delay = ms(600);  // the test's bytes in the gap fall well inside it
    cfg.byte_gap_timeout = ms(300);
    TargetRun run(cfg);
    const std::string device = run.target->device_path();
    // The board out of the way (in: the next one in and listening).
    auto wait_for_board = [&](int board, bool in = true) {
        for (int i = 0; i < 250; ++i) {
            sim::TargetReport r = run.target->report();
            if (r.board == board && (!in || r.phase != sim::TargetReport::Phase::Starting)) return true;
            std::this_thread::sleep_for(ms(20));
        }
        return false;
    };

    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("a1")));
    ASSERT_TRUE(answer_h(*run.line, "E"));
    ASSERT_TRUE(wait_for_board(2, false));
    run.line->send("xyz");  // no board in: nobody hears it
    ASSERT_TRUE(wait_for_board(2));
    // A fresh board: a password alone does not wake it.
    run.line->send(password(0));
    EXPECT_EQ(run.line->drain(ms(200)), "");
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("b1")));
    ASSERT_TRUE(wait_for_board(3, false));
    run.line->send(S("b2"));
    EXPECT_EQ(run.line->drain(ms(100)), "");  // taken out: no H
    ASSERT_TRUE(wait_for_board(3));
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("c1")));
    ASSERT_TRUE(answer_h(*run.line, "E"));
    ASSERT_TRUE(run.target->wait_done(kDone));
    EXPECT_EQ(run.target->device_path(), device);

    const std::vector<sim::TargetReport> boards = run.target->reports();
    ASSERT_EQ(boards.size(), 3u);
    const auto digest_of = [](const std::vector<std::string>& records) {
        std::vector<sim::Bytes> bytes;
        for (const std::string& rec : records) bytes.push_back(testbed::to_bytes(rec));
        return sim::records_digest(bytes);
    };
    EXPECT_TRUE(boards[0].intact()) << ::testing::PrintToString(boards[0].framing_errors);
    EXPECT_EQ(boards[0].digest, digest_of({S("a1"), "E"}));
    EXPECT_EQ(boards[1].swapped_after, 1);
    EXPECT_TRUE(boards[1].swapped_out_clean(nullptr)) << ::testing::PrintToString(boards[1].framing_errors);
    const sim::RecordList other = sim::records_from_file_bytes(testbed::to_bytes(S("b0") + "E"));
    EXPECT_FALSE(boards[1].swapped_out_clean(&other));
    EXPECT_EQ(boards[1].digest, digest_of({S("b1")}));
    EXPECT_EQ(boards[1].bytes_while_empty, 3u);
    EXPECT_EQ(boards[1].bytes_before_reset, password(0).size());
    EXPECT_TRUE(boards[2].intact()) << ::testing::PrintToString(boards[2].framing_errors);
    EXPECT_EQ(boards[2].digest, digest_of({S("c1"), "E"}));
    EXPECT_EQ(boards[2].bytes_while_empty, S("b2").size());
    for (int b = 0; b < 3; ++b) {
        EXPECT_EQ(boards[b].board, b + 1);
        EXPECT_EQ(boards[b].reset_sentence, reset_sentence(0));
        EXPECT_EQ(boards[b].password_ms.size(), 1u);
    }
}

TEST(SimTarget, AResetLineBoardWakesOnlyOnceItsLineGoesOffAndOn) {
    testbed::ModemLines lines;
    TargetConfig cfg;
    cfg.lines_folder = lines.folder();
    cfg.reset_line = sim::ResetLine::Dtr;
    TargetRun run(cfg);
    const std::string device = run.target->device_path();
    auto set_lines = [&](const std::vector<std::string>& steps) {
        testbed::FwldProcess probe(testbed::with_args(testbed::lines_probe_command(), testbed::with_args({device}, steps)),
                                   lines.env());
        testbed::ProcessResult r = probe.finish(kWait);
        EXPECT_EQ(r.exit_code, 0) << r.err;
    };

    const std::string ignored = reset_sentence(0) + password(0);
    run.line->send(ignored);
    EXPECT_EQ(run.line->drain(ms(200)), "");
    set_lines({"-rts", "rts"});  // the other line
    run.line->send(password(0));
    EXPECT_EQ(run.line->drain(ms(200)), "");
    const double before_pulse = run.target->now_ms();
    set_lines({"-dtr", "100", "dtr"});
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, "E"));
    ASSERT_TRUE(run.target->wait_done(kDone));
    set_lines({"-dtr"});
    run.target->stop();

    sim::TargetReport r = run.target->report();
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
    EXPECT_EQ(r.bytes_before_woken, ignored.size() + password(0).size());
    EXPECT_EQ(r.password_ms.size(), 1u);
    ASSERT_EQ(r.lines.size(), 5u);
    const std::pair<std::string, bool> want[] = {{"RTS", false}, {"RTS", true}, {"DTR", false}, {"DTR", true},
                                                 {"DTR", false}};
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r.lines[i].line, want[i].first) << i;
        EXPECT_EQ(r.lines[i].on, want[i].second) << i;
        if (i > 0) {
            EXPECT_LE(r.lines[i - 1].ms, r.lines[i].ms) << i;
        }
    }
    EXPECT_GE(r.lines[2].ms, before_pulse);
    EXPECT_GE(r.lines[3].ms - r.lines[2].ms, 99.0);
    EXPECT_EQ(r.woken_ms, r.lines[3].ms);
    EXPECT_LT(r.woken_ms, r.reset_ms);
    EXPECT_GT(r.lines[4].ms, r.last_record_ms());
}

TEST(SimTarget, ProgramRecordFramingIsChecked) {
    TargetConfig cfg;
    cfg.byte_gap_timeout = ms(300);
    TargetRun run(cfg);
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, "\r\n" + S("ok")));  // stray bytes before a record
    std::string big(127, 'd');
    ASSERT_TRUE(answer_h(*run.line, S(big)));               // count above 126
    ASSERT_TRUE(answer_h(*run.line, std::string("S\x05") + "abc"));  // cut short
    ASSERT_TRUE(answer_h(*run.line, "E"));
    sim::TargetReport r = run.done();
    ASSERT_EQ(r.framing_errors.size(), 3u) << ::testing::PrintToString(r.framing_errors);
    EXPECT_NE(r.framing_errors[0].find("where a record should start: \"\\x0D\\x0A\""), std::string::npos);
    EXPECT_NE(r.framing_errors[1].find("count 127"), std::string::npos);
    EXPECT_NE(r.framing_errors[2].find("cut short: 5 bytes of 7"), std::string::npos);
    EXPECT_FALSE(r.records[2].complete);
    EXPECT_FALSE(r.intact());
}

TEST(SimTarget, BytesAfterTheEndSpoilTheVerdict) {
    TargetRun run(TargetConfig{});
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, "E"));
    ASSERT_TRUE(run.target->wait_done(kDone));
    EXPECT_TRUE(run.target->report().intact());
    run.line->send("S");
    // Counted by the thread that still listens.
    for (int i = 0; i < 100 && run.target->report().bytes_after_end == 0; ++i)
        std::this_thread::sleep_for(ms(20));
    EXPECT_EQ(run.target->report().bytes_after_end, 1u);
    EXPECT_FALSE(run.target->report().intact());
}

TEST(SimTarget, KeepsGoingPastEUntilTheToolCloses) {
    TargetConfig cfg;
    cfg.stop_at_e = false;
    TargetRun run(cfg);
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, "E"));
    ASSERT_TRUE(answer_h(*run.line, S("after")));
    EXPECT_EQ(run.line->recv(1, kWait), "H");
    run.line.reset();  // the tool ends
    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.completed);
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
    EXPECT_EQ(r.record_count, 2u);
}

TEST(SimTarget, ReplugHangsUpAndPublishesAFreshPty) {
    testbed::TempDir dir;
    TargetConfig cfg;
    cfg.link_path = dir.file("ttyTARGET");
    cfg.actions[1] = {RecordAction::replug()};
    cfg.replug_unplugged = ms(100);
    cfg.replug_settle = ms(50);
    TargetRun run(cfg);
    std::string first = run.target->device_path();
    char buf[128] = {};
    ASSERT_GT(readlink(cfg.link_path.c_str(), buf, sizeof buf - 1), 0);
    EXPECT_EQ(first, buf);

    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("1")));
    EXPECT_TRUE(run.line->hung_up(kWait));
    // The tool re-opens the port by its name until it is back.
    std::unique_ptr<SerialEnd> again;
    for (int i = 0; i < 250 && !again; ++i) {
        try {
            again = std::make_unique<SerialEnd>(cfg.link_path);
        } catch (const std::exception&) {
            std::this_thread::sleep_for(ms(20));
        }
    }
    ASSERT_TRUE(again);
    ASSERT_TRUE(answer_h(*again, "E"));
    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
    EXPECT_EQ(r.replugs, 1);
    EXPECT_NE(run.target->device_path(), first);
    run.target->stop();
    EXPECT_NE(access(cfg.link_path.c_str(), F_OK), 0) << "the link outlived the target";
}

namespace {

// The tool's side after a pulled plug: waits for the hang-up and opens the
// line again by its name once it is back.
std::unique_ptr<SerialEnd> reopen_after_pull(SerialEnd& old_line, const std::string& link) {
    EXPECT_TRUE(old_line.hung_up(kWait));
    for (int i = 0; i < 250; ++i) {
        try {
            return std::make_unique<SerialEnd>(link);
        } catch (const std::exception&) {
            std::this_thread::sleep_for(ms(20));
        }
    }
    ADD_FAILURE() << "the line did not come back";
    return nullptr;
}

TargetConfig pulled(const testbed::TempDir& dir, sim::LinePull pull) {
    TargetConfig cfg;
    cfg.link_path = dir.file("ttyTARGET");
    cfg.replug_unplugged = ms(50);
    cfg.replug_settle = ms(20);
    cfg.pulls = {pull};
    return cfg;
}

}  // namespace

TEST(SimTarget, ARecordCutByAPulledPlugIsAskedForAgainWithR) {
    testbed::TempDir dir;
    TargetRun run(pulled(dir, sim::LinePull::in_record(2, 4)));
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("one")));
    ASSERT_TRUE(answer_h(*run.line, S("0123456789")));
    auto again = reopen_after_pull(*run.line, dir.file("ttyTARGET"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->recv(1, kWait), "R");
    again->send(S("0123456789"));
    ASSERT_TRUE(answer_h(*again, "E"));
    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
    EXPECT_EQ(r.replugs, 1);
    EXPECT_EQ(r.records_cut, 1);
    const std::vector<sim::Bytes> image = r.image_records();
    ASSERT_EQ(image.size(), 3u);
    EXPECT_EQ(text(image[1]), S("0123456789"));
}

TEST(SimTarget, AfterALostReadyTheRepeatedPreviousRecordIsToldApart) {
    testbed::TempDir dir;
    TargetRun run(pulled(dir, sim::LinePull::at(sim::LinePull::AfterReady, 2)));
    run.up_to_program();
    ASSERT_TRUE(answer_h(*run.line, S("one")));
    // The 'H' for record 2 went down with the line: the tool repeats record 1.
    auto again = reopen_after_pull(*run.line, dir.file("ttyTARGET"));
    ASSERT_TRUE(again);
    EXPECT_EQ(again->recv(1, kWait), "R");
    again->send(S("one"));
    ASSERT_TRUE(answer_h(*again, S("two")));
    ASSERT_TRUE(answer_h(*again, "E"));
    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.intact()) << ::testing::PrintToString(r.framing_errors);
    const std::vector<sim::Bytes> image = r.image_records();
    ASSERT_EQ(image.size(), 3u);
    EXPECT_EQ(text(image[0]), S("one"));
    EXPECT_EQ(text(image[1]), S("two"));
    EXPECT_EQ(r.records.size(), 4u);  // the repeat, marked as a resend
}

TEST(SimTarget, LineRateModelPacesBothDirections) {
    TargetConfig cfg;
    cfg.baud = 19200;  // 1920 bytes a second
    cfg.line_rate = true;
    TargetRun run(cfg);
    auto t0 = std::chrono::steady_clock::now();
    run.line->send(reset_sentence(0) + password(0));
    EXPECT_EQ(run.line->recv(10, kWait), "Ready ok.G");
    // 35 bytes in, 10 bytes out: at least 45 byte times (~23 ms).
    EXPECT_GE(std::chrono::steady_clock::now() - t0, ms(20));

    std::string loader(960, 'x');  // 12 records + marker + "Loader" = 1046 bytes, ~545 ms
    run.line->send(loader_stream(loader));
    ASSERT_TRUE(answer_h(*run.line, "E"));
    sim::TargetReport r = run.done();
    EXPECT_TRUE(r.intact());
    double span = r.received.back().ms - r.loader_cmd_ms;
    EXPECT_GE(span, 0.8 * 1040 * 1000.0 / 1920);
}

TEST(SimTarget, StopEndsAWaitingTargetAndCleansUp) {
    testbed::TempDir dir;
    TargetConfig cfg;
    cfg.link_path = dir.file("link");
    auto target = std::make_unique<SimTarget>(cfg);
    ASSERT_TRUE(target->start());
    EXPECT_FALSE(target->start());
    auto t0 = std::chrono::steady_clock::now();
    target->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, ms(2000));
    EXPECT_TRUE(target->wait_done(ms(0)));
    EXPECT_TRUE(target->report().stopped);
    EXPECT_NE(access(cfg.link_path.c_str(), F_OK), 0);
    target.reset();  // a second stop in the destructor is harmless
}

TEST(SimTarget, MissingDeviceFailsToStart) {
    TargetConfig cfg;
    cfg.device_path = "/nonexistent/ttyUSB9";
    SimTarget target(cfg);
    EXPECT_FALSE(target.start());
    EXPECT_NE(target.last_error().find("/nonexistent/ttyUSB9"), std::string::npos);
}

TEST(SimTarget, RealDeviceModeTalksOverAnyTty) {
    // A pty slave stands in for a serial device here.
    testbed::Pty pty;
    TargetConfig cfg;
    cfg.device_path = pty.slave_path();
    cfg.actions[1] = {RecordAction::speed(38400)};
    SimTarget target(cfg);
    ASSERT_TRUE(target.start()) << target.last_error();
    auto send = [&](const std::string& s) { ASSERT_EQ(write(pty.master(), s.data(), s.size()), (ssize_t)s.size()); };
    auto recv = [&](size_t n) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + kWait;
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{pty.master(), POLLIN, 0};
            if (poll(&p, 1, 100) > 0) {
                char c;
                if (read(pty.master(), &c, 1) == 1) got += c;
            }
        }
        return got;
    };
    send(reset_sentence(0) + password(0));
    EXPECT_EQ(recv(10), "Ready ok.G");
    send(loader_stream(""));
    EXPECT_EQ(recv(1), "H");
    send(S("q"));
    EXPECT_EQ(recv(std::string("S38400,8,N,1,x\nH").size()), "S38400,8,N,1,x\nH");
    send("E");
    ASSERT_TRUE(target.wait_done(kDone));
    EXPECT_TRUE(target.report().intact());
    termios tio{};
    int fd = open(pty.slave_path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    tcgetattr(fd, &tio);
    close(fd);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B38400));
}
