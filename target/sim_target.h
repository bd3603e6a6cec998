// A simulated target device for fwld: answers the wake-up handshake, takes in
// the loader and drives the program transfer with its command bytes, on a
// pty it creates or on a real serial device. Scriptable misbehaviour for
// tests and demos; a thread-safe report of everything it received.
//
//   sim::TargetConfig cfg;
//   cfg.actions[2].push_back(sim::RecordAction::resend());
//   sim::SimTarget target(cfg);
//   if (!target.start()) ... target.last_error();
//   ... run the tool against target.device_path() ...
//   target.wait_done(std::chrono::seconds(30));
//   sim::TargetReport r = target.report();   // r.intact(), r.digest, ...
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "record_list.h"

namespace sim {

// Something the target does after it has received program record k
// (numbered from 1, resends not counted; k = 0 means before it asks for the
// first record). Actions for one k run in order, then the target sends 'H'
// unless an action ended the run.
struct RecordAction {
    enum Kind {
        Resend,      // 'R'; then takes the resend and checks it equals record k
        Speed,       // 'S' + line; then switches its own side to `baud`
        Message,     // 'M' + text + "\n"
        EraseList,   // 'Z'; then reads "Z" + text + "\n" into erase_list_replies
        Pause,       // 'h'
        FlashType,   // `code` '1' or '2' (reports) or '0' (type error, ends the run)
        Error,       // `code` 'N' (+ `detail` byte), 'E' or 'e'; ends the run
        Junk,        // `text` sent as is; the tool ignores such bytes
        Silent,      // sends nothing more; ends the run
        Hang,        // sends nothing more and reads and drops what comes, the
                     // line kept, until stop(): a board that hung on its
                     // adapter; ends the run
        Replug,      // hangs up the pty and publishes a new one at the link
        Burst,       // `text` goes out in one write with the 'H' that follows
        Stall,       // `text` (a run of 'H') in one write, then reads nothing
                     // more, as a hung target on a held line; ends the run
    };
    Kind kind = Junk;
    std::string text;  // Message, Junk; for Speed a full line that replaces the default
    long baud = 0;     // Speed
    char code = 0;     // FlashType, Error
    char detail = '1'; // Error 'N'

    static RecordAction make(Kind k, std::string t = {}, long b = 0, char c = 0, char d = '1') {
        RecordAction a;
        a.kind = k;
        a.text = std::move(t);
        a.baud = b;
        a.code = c;
        a.detail = d;
        return a;
    }
    static RecordAction resend() { return make(Resend); }
    static RecordAction speed(long b) { return make(Speed, {}, b); }
    // A raw speed line (must end in "\n" to be a whole line); the target
    // still switches to `b`.
    static RecordAction speed_line(long b, std::string line) { return make(Speed, std::move(line), b); }
    static RecordAction message(std::string t) { return make(Message, std::move(t)); }
    static RecordAction erase_list() { return make(EraseList); }
    static RecordAction pause() { return make(Pause); }
    static RecordAction flash_type(char c) { return make(FlashType, {}, 0, c); }
    static RecordAction error(char c, char d = '1') { return make(Error, {}, 0, c, d); }
    static RecordAction junk(std::string t) { return make(Junk, std::move(t)); }
    static RecordAction silent() { return make(Silent); }
    static RecordAction hang() { return make(Hang); }
    static RecordAction replug() { return make(Replug); }
    // Commands that arrive in one read with the next 'H', e.g. "Mtext\n1".
    static RecordAction burst(std::string t) { return make(Burst, std::move(t)); }
    // Asks for `records` more at once, then stops reading.
    static RecordAction stall(size_t records) { return make(Stall, std::string(records, 'H')); }
};

// The plug pulled at a chosen point of the run: the line goes, and whatever
// was still on its way in either direction is lost. It stays away for `gap`
// (0: TargetConfig::replug_unplugged), comes back as a fresh pty at the
// link, and the target waits for the tool to open it again. The tool
// survives a pull during the wake-up and the program stage; one after the
// acknowledgement or during the loader ends its run.
struct LinePull {
    enum Where {
        AfterPassword,  // `delay` after the n-th password, before the acknowledgement
        BeforeGo,       // `delay` after the acknowledgement; 'G' comes after the replug
        AfterGo,        // `delay` after 'G'
        InLoader,       // after n loader records
        AfterReady,     // `delay` after the 'H' that asks for record n
        InRecord,       // after `bytes` bytes of record n (the rest is lost)
        AfterRecord,    // after record n and its actions, before the next 'H'
    };
    Where where = AfterRecord;
    int n = 0;
    size_t bytes = 0;
    std::chrono::milliseconds delay{0};
    std::chrono::milliseconds gap{0};
    // AfterReady and InRecord: how the target asks again for a record that
    // did not arrive whole. 'R' as a real target does: the tool repeats the
    // record it sent last. When nothing of the record had arrived, that may
    // be the record before (the tool never saw the 'H'); the target knows it
    // by its content, as a real one by its address, and asks with 'H'. For
    // record 1 the tool has nothing to repeat: after 1 s of silence, 'H'.
    // 'H' instead of 'R' plays a target that lost count.
    char ask = 'R';

    static LinePull at(Where w, int n, std::chrono::milliseconds delay = {}, std::chrono::milliseconds gap = {}) {
        LinePull p;
        p.where = w;
        p.n = n;
        p.delay = delay;
        p.gap = gap;
        return p;
    }
    static LinePull in_record(int n, size_t bytes, std::chrono::milliseconds gap = {}) {
        LinePull p = at(InRecord, n, {}, gap);
        p.bytes = bytes;
        return p;
    }
};

// The line that powers or resets a board, when it is one.
enum class ResetLine { None, Dtr, Rts };

struct TargetConfig {
    using ms = std::chrono::milliseconds;

    // Line. An empty device_path means: create a pty.
    std::string device_path;
    std::string link_path;    // pty only: publish the slave path as this symlink
    long baud = 9600;         // initial line speed
    bool line_rate = false;   // pace both directions at the line's baud, 10 bits a byte

    // Wake-up.
    int id = 0;                           // expected in the reset sentence and password
    int ack_after_passwords = 1;          // acknowledge after this many passwords
    bool never_ack = false;
    std::string ack_text = "Ready ok.";
    std::string junk_before_ack;          // sent just before the acknowledgement
    std::string ack_interleave;           // sent between every two acknowledgement characters
    ms ack_byte_delay{0};                 // pause between acknowledgement characters
    bool g_before_ack = false;            // an extra 'G' ahead of the acknowledgement
    ms g_delay{0};                        // between acknowledgement and 'G'
    bool never_g = false;

    // Loader.
    bool early_h = false;   // send the first 'H' as soon as "Loader" arrives
    std::string loader_out; // write the received loader records here (padding included)

    // Program.
    std::map<int, std::vector<RecordAction>> actions;  // by record index k
    bool stop_at_e = true;  // an E record ends the run; if false, keep asking
                            // with 'H' until the tool closes the port
    std::string image_out;  // write the received records here, concatenated as framed

    // Pulled plugs (need a pty published at link_path).
    std::vector<LinePull> pulls;

    // A fixture: `boards` boards one after the other on the same line, each
    // woken afresh. A board is taken out when its run has ended, or after
    // record K when swap_after[B] = K; the next comes in `swap_delay`
    // later. What arrives while no board is in is dropped. Every board plays
    // `actions`, unless board_actions holds its own.
    int boards = 1;
    std::map<int, int> swap_after;
    ms swap_delay{500};
    std::map<int, std::map<int, std::vector<RecordAction>>> board_actions;

    // The tool's DTR and RTS, heard from the modem-line stand-in through a
    // socket in this folder (see TargetLine::listen_lines); pty only.
    std::string lines_folder;
    // A board the line resets or powers: it ignores everything until that
    // line goes from off to on (needs lines_folder).
    ResetLine reset_line = ResetLine::None;

    // Patience.
    ms byte_gap_timeout{5000};   // inside a record, a reply, or the reset sentence
    ms replug_unplugged{300};    // how long the link is gone
    ms replug_reopen_timeout{30000};
    ms replug_settle{200};       // after the tool opened the new pty
    ms speed_settle{50};         // real device: after switching, before the next byte

    // Called on the target's thread with a line describing each step.
    std::function<void(const std::string&)> on_event;
};

struct RxByte {
    double ms;  // since start(), steady clock
    uint8_t byte;
};

struct LineChange {
    double ms;         // when the tool changed it, on the report's clock
    std::string line;  // "DTR" or "RTS"
    bool on;
};

struct ProgramRecord {
    Bytes bytes;
    bool resend = false;    // the answer to an 'R'
    bool complete = true;   // false: cut short (a framing error is logged)
    double ms = 0;          // arrival of its last byte
    long line_baud = 0;     // the line's speed as it stood then (a pty: as the tool set it)
};

struct TargetReport {
    // Starting: not powered yet (in a fixture: the slot still empty).
    enum class Phase { Starting, WakeUp, Loader, Program, Finished };
    Phase phase = Phase::Starting;
    bool done = false;        // the script came to its end (see wait_done)
    bool stopped = false;     // stop() was called before that
    int board = 1;            // its place in the fixture, from 1
    size_t bytes_while_empty = 0;  // dropped before it came in (the slot was empty)

    std::vector<RxByte> received;  // every byte from the tool, in order
    Bytes sent;                    // every byte to the tool, in order

    // Lines (only with TargetConfig::lines_folder): every change the tool
    // made to DTR or RTS, from the end of the board before to its own end.
    bool lines_heard = false;
    std::vector<LineChange> lines;
    double woken_ms = -1;             // the reset line's off-to-on change
    size_t bytes_before_woken = 0;    // ignored while it waited for that

    // Wake-up.
    std::string reset_sentence;    // as received, up to and including its line feed
    double reset_ms = -1;          // arrival of its first byte
    size_t bytes_before_reset = 0; // board 2 on: what it came in to, ignored
    bool reset_ok = false;
    std::vector<double> password_ms;  // arrival of each password's last byte
    int passwords_after_ack = 0;      // already in flight when the tool saw it
    double ack_ms = -1;               // last acknowledgement byte handed to the line
    double g_ms = -1;                 // likewise; both are in the report before the tool can see the byte
    double loader_cmd_ms = -1;        // "Loader" arrived

    // Loader.
    std::vector<Bytes> loader_records;  // 80 bytes each, end marker excluded
    bool end_marker_seen = false;
    bool end_marker_ok = false;

    // Program.
    std::vector<ProgramRecord> records;  // resends included, in arrival order
    std::vector<std::string> erase_list_replies;  // text between "Z" and "\n"
    int h_sent = 0;
    bool completed = false;        // the run's records all arrived
    bool ended_by_action = false;  // an error, type error, silence or hang ended it
    bool hung = false;             // and it hangs on the line
    size_t bytes_while_hung = 0;
    int swapped_after = -1;        // taken out of its fixture after this record
    int replugs = 0;
    int records_cut = 0;           // records a pulled plug cut short, then asked for again
    size_t bytes_after_end = 0;    // anything the tool sent after the end

    std::vector<std::string> framing_errors;
    std::vector<std::string> events;

    // Summary of the records (resends not counted).
    size_t record_count = 0;
    size_t record_bytes = 0;
    std::string digest;

    std::vector<Bytes> image_records() const;
    // Everything arrived intact: a clean wake-up, loader and end marker, every
    // record framed right (resends equal to the original), the run completed
    // and nothing came after the end.
    bool intact() const;
    // intact() and the records equal the expected ones.
    bool matches(const RecordList& expected) const;
    // Taken out mid-update as scripted, with what had arrived framed right
    // and the first records of `expected` (when given).
    bool swapped_out_clean(const RecordList* expected) const;
    double last_record_ms() const { return records.empty() ? -1 : records.back().ms; }
};

class SimTarget {
public:
    explicit SimTarget(TargetConfig config);
    ~SimTarget();  // stop()
    SimTarget(const SimTarget&) = delete;
    SimTarget& operator=(const SimTarget&) = delete;

    // Opens the pty or device and starts the protocol thread. False (and
    // last_error()) when the line cannot be opened.
    bool start();
    // Blocks until the script has come to its end: the run completed (in a
    // fixture: the last board's), an action ended it, the line was lost, or
    // stop(). After that the target still listens, counting bytes_after_end
    // (a hung board: bytes_while_hung), until stop(). A hang ends a fixture:
    // no board comes after it.
    bool wait_done(std::chrono::milliseconds timeout);
    // After the run, on a pty: blocks until the tool has closed the port as
    // often as it opened it, or the timeout. A real target behind an adapter
    // does not vanish with the last record; the tool's last look at the line
    // finds it there.
    bool wait_tool_closed(std::chrono::milliseconds timeout);
    // Ends the thread and closes the line (removing the link). Idempotent,
    // and safe to call from another thread than the owner's. Every change
    // of the modem lines the tool made before the call is in the report
    // after it: stop the target once the tool has ended, then read them.
    void stop();
    // Blocks until stop() has been called (by another thread), or the timeout.
    bool wait_stopped(std::chrono::milliseconds timeout);

    std::string device_path() const;  // current slave (or device) path
    const std::string& link_path() const;
    std::string last_error() const;
    // Whatever the target has sent is in the report, with its stamps, before
    // the tool can have read it. In a fixture: the board in (or coming).
    TargetReport report() const;
    // Every board of the fixture so far, in order, the current one last.
    std::vector<TargetReport> reports() const;
    // Milliseconds since start() on the report's clock.
    double now_ms() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sim
