#include "sim_target.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "target_line.h"

namespace sim {

namespace {

constexpr size_t kLoaderRecord = 80;
constexpr char kEndMarker[] = "Finish Boot File";

// Ends the script early: an action ended the run or the tool broke it off.
struct ScriptOver {};
// The board is taken out of its fixture mid-update.
struct TakenOut {};

// How a board's run ended.
enum class BoardEnd { Over, TakenOut, Stopped, LineLost };

std::string show(const std::string& bytes, size_t limit = 64) {
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
        auto c = static_cast<unsigned char>(bytes[i]);
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    if (bytes.size() > limit) out += "...";
    return "\"" + out + "\"";
}

std::string show(const Bytes& bytes) { return show(std::string(bytes.begin(), bytes.end())); }

std::string password_for(int id) { return id == 0 ? "Wake up now." : "Wake up now" + std::to_string(id); }

// Empty when the sentence is right, else what is wrong with it.
std::string check_reset_sentence(const std::string& s, int id) {
    const std::string head = "$PZKW,cprst,";
    if (s.compare(0, head.size(), head) != 0) return "does not start with " + head;
    size_t star = s.find('*');
    if (star == std::string::npos) return "has no '*'";
    std::string field = s.substr(head.size(), star - head.size());
    if (field != std::to_string(id)) return "names ID " + show(field) + ", expected " + std::to_string(id);
    if (s.size() != star + 5 || s.compare(star + 3, 2, "\r\n") != 0)
        return "does not end in two checksum digits and CR LF";
    unsigned sum = 0;
    for (size_t i = 1; i < star; ++i) sum ^= static_cast<unsigned char>(s[i]);
    char want[3];
    std::snprintf(want, sizeof want, "%02X", sum);
    if (s.compare(star + 1, 2, want) != 0) return "has checksum " + s.substr(star + 1, 2) + ", expected " + want;
    return "";
}

}  // namespace

std::vector<Bytes> TargetReport::image_records() const {
    std::vector<Bytes> out;
    for (const ProgramRecord& r : records)
        if (!r.resend) out.push_back(r.bytes);
    return out;
}

bool TargetReport::intact() const {
    if (!completed || ended_by_action || !framing_errors.empty() || bytes_after_end != 0) return false;
    if (!reset_ok || !end_marker_ok) return false;
    for (const ProgramRecord& r : records)
        if (!r.complete) return false;
    return true;
}

bool TargetReport::matches(const RecordList& expected) const {
    return intact() && image_records() == expected.records;
}

bool TargetReport::swapped_out_clean(const RecordList* expected) const {
    if (swapped_after < 0 || !framing_errors.empty() || !reset_ok || !end_marker_ok) return false;
    for (const ProgramRecord& r : records)
        if (!r.complete) return false;
    const std::vector<Bytes> image = image_records();
    return expected == nullptr || (image.size() <= expected->records.size() &&
                                   std::equal(image.begin(), image.end(), expected->records.begin()));
}

namespace {

// The counts and digest of the records, from the records themselves.
TargetReport summed(TargetReport r) {
    std::vector<Bytes> image = r.image_records();
    r.record_count = image.size();
    r.record_bytes = 0;
    for (const Bytes& b : image) r.record_bytes += b.size();
    r.digest = records_digest(image);
    return r;
}

const char* line_name(ResetLine line) { return line == ResetLine::Dtr ? "DTR" : "RTS"; }

bool line_on(const LineState& state, ResetLine line) { return line == ResetLine::Dtr ? state.dtr : state.rts; }

}  // namespace

struct SimTarget::Impl {
    TargetConfig cfg;
    TargetLine line;
    std::thread thread;
    mutable std::mutex mu;
    std::condition_variable cv;
    TargetReport rep;
    std::string error;
    Clock::time_point t0 = Clock::now();
    bool started = false;
    std::mutex stop_mu;  // stop() may come from a signal thread and the owner
    bool stop_called = false;          // under mu
    std::vector<TargetReport> ended;   // the fixture's boards before this one; under mu

    // The board in the fixture; state of its run below.
    int board = 1;
    LineState lines_now;   // the tool's lines as last heard; the adapter's, not the board's
    bool awake_to_lines = false;  // in, and waiting for its reset line
    bool woken = false;
    Clock::time_point woken_at{};

    int pushed_back = -1;  // one byte a parser looked at too early
    Clock::time_point pushed_when{};
    std::string stray;     // unexpected bytes not reported yet
    std::string stray_where;
    std::string burst;     // to go out with the next H
    bool stalled = false;  // reads nothing more until stopped
    Bytes last_record;

    explicit Impl(TargetConfig c) : cfg(std::move(c)) {}

    double ms(Clock::time_point t) const { return std::chrono::duration<double, std::milli>(t - t0).count(); }

    void event(const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(mu);
            rep.events.push_back(text);
        }
        if (cfg.on_event) cfg.on_event(text);
    }

    void framing(const std::string& text) {
        {
            std::lock_guard<std::mutex> lock(mu);
            rep.framing_errors.push_back(text);
        }
        event("framing error: " + text);
    }

    template <typename F>
    void update(F f) {
        std::lock_guard<std::mutex> lock(mu);
        f(rep);
    }

    // Next byte from the tool, logged once; -1 at the deadline, -2 when the
    // tool closed the port (only with close_mark >= 0).
    int get(Clock::time_point deadline, Clock::time_point* when = nullptr, int close_mark = -1) {
        if (pushed_back >= 0) {
            int c = pushed_back;
            pushed_back = -1;
            if (when) *when = pushed_when;
            return c;
        }
        Clock::time_point t;
        int c = line.get(deadline, &t, close_mark);
        if (c >= 0) {
            std::lock_guard<std::mutex> lock(mu);
            rep.received.push_back({ms(t), static_cast<uint8_t>(c)});
            if (rep.done) ++rep.bytes_after_end;
        }
        if (when) *when = t;
        return c;
    }
    int get_forever(Clock::time_point* when = nullptr) { return get(Clock::time_point::max(), when); }
    int get_gap(Clock::time_point* when = nullptr) { return get(Clock::now() + cfg.byte_gap_timeout, when); }
    void push_back(int c, Clock::time_point when) {
        pushed_back = c;
        pushed_when = when;
    }

    void flush_stray() {
        if (stray.empty()) return;
        framing("unexpected bytes " + stray_where + ": " + show(stray));
        stray.clear();
    }
    void add_stray(const std::string& bytes, const char* where) {
        stray_where = where;
        stray += bytes;
        if (stray.size() >= 64) flush_stray();
    }

    // The report takes the bytes, and whatever `note` records with them,
    // before the line does: a test that has seen them at the tool's end
    // finds them in report().
    template <typename F>
    void put(const std::string& bytes, F note) {
        update([&](TargetReport& r) {
            r.sent.insert(r.sent.end(), bytes.begin(), bytes.end());
            note(r);
        });
        line.put(bytes);
    }
    void put(const std::string& bytes) {
        put(bytes, [](TargetReport&) {});
    }

    void send_h() {
        put(burst + "H", [](TargetReport& r) { ++r.h_sent; });
        burst.clear();
    }

    // ---- pulled plugs ----

    const LinePull* pull_at(LinePull::Where where, int n) const {
        for (const LinePull& p : cfg.pulls)
            if (p.where == where && p.n == n) return &p;
        return nullptr;
    }

    void pull_plug(const LinePull& p, const std::string& where) {
        if (p.delay.count() > 0) line.sleep_for(p.delay);
        event("unplugged " + where);
        line.replug(p.gap.count() > 0 ? p.gap : cfg.replug_unplugged, cfg.replug_reopen_timeout, cfg.replug_settle);
        update([](TargetReport& r) { ++r.replugs; });
        event("replugged " + where + ": now " + line.slave_path());
    }

    void pull_if_due(LinePull::Where where, int n, const std::string& text) {
        if (const LinePull* p = pull_at(where, n)) pull_plug(*p, text);
    }

    // Reads `text` from its second byte on (the first was just read). On a
    // mismatch the odd byte is pushed back and the bytes taken are returned.
    bool match_rest(const std::string& text, std::string* got, Clock::time_point* when) {
        *got = text.substr(0, 1);
        for (size_t i = 1; i < text.size(); ++i) {
            int c = get_gap(when);
            if (c < 0) return false;
            if (c != static_cast<unsigned char>(text[i])) {
                push_back(c, *when);
                return false;
            }
            *got += static_cast<char>(c);
        }
        return true;
    }

    // ---- the tool's modem lines ----

    void heard_lines(const LineState& now) {
        const LineState was = lines_now;
        lines_now = now;
        update([&](TargetReport& r) {
            if (now.dtr != was.dtr) r.lines.push_back({ms(now.at), "DTR", now.dtr});
            if (now.rts != was.rts) r.lines.push_back({ms(now.at), "RTS", now.rts});
        });
        if (!awake_to_lines || woken || line_on(was, cfg.reset_line) || !line_on(now, cfg.reset_line)) return;
        woken = true;
        woken_at = now.at;
        update([&](TargetReport& r) { r.woken_ms = ms(now.at); });
        event(std::string("woken: ") + line_name(cfg.reset_line) + " went on");
    }

    // Everything the tool wrote before the reset line went on is dropped;
    // the first byte written after it is left for the wake-up.
    void wait_until_woken() {
        awake_to_lines = true;
        for (;;) {
            Clock::time_point when;
            int c = get_forever(&when);
            if (woken && when >= woken_at) {
                push_back(c, when);
                return;
            }
            update([](TargetReport& r) { ++r.bytes_before_woken; });
        }
    }

    // ---- the fixture ----

    // The gap between two boards: what arrives is dropped.
    void wait_for_board() {
        const Clock::time_point in = Clock::now() + cfg.swap_delay;
        while (line.get(in) >= 0) update([](TargetReport& r) { ++r.bytes_while_empty; });
        event("board " + std::to_string(board) + " in");
    }

    void take_out_if_due(int k) {
        auto due = cfg.swap_after.find(board);
        if (due == cfg.swap_after.end() || due->second != k) return;
        update([&](TargetReport& r) { r.swapped_after = k; });
        event("board " + std::to_string(board) + " taken out after record " + std::to_string(k));
        throw TakenOut{};
    }

    const std::map<int, std::vector<RecordAction>>& script() const {
        auto own = cfg.board_actions.find(board);
        return own != cfg.board_actions.end() ? own->second : cfg.actions;
    }

    // The file a board writes: FILE, or in a fixture FILE.B.
    std::string board_file(const std::string& path) const {
        return cfg.boards > 1 ? path + "." + std::to_string(board) : path;
    }

    // ---- wake-up ----

    void wakeup() {
        update([](TargetReport& r) { r.phase = TargetReport::Phase::WakeUp; });
        if (cfg.reset_line != ResetLine::None) wait_until_woken();
        read_reset_sentence();
        take_passwords();
    }

    void read_reset_sentence() {
        Clock::time_point when;
        int c = get_forever(&when);
        std::string before;
        while (c != '$') {
            before += static_cast<char>(c);
            c = get_forever(&when);
        }
        update([&](TargetReport& r) { r.reset_ms = ms(when); });
        if (!before.empty() && board == 1) {
            framing("bytes before the reset sentence: " + show(before));
        } else if (!before.empty()) {
            // A board put in while the tool was already talking.
            update([&](TargetReport& r) { r.bytes_before_reset = before.size(); });
            event(std::to_string(before.size()) + " byte(s) before the reset sentence, ignored");
        }
        std::string sentence = "$";
        while (sentence.back() != '\n' && sentence.size() < 64) {
            c = get_gap();
            if (c < 0) break;
            sentence += static_cast<char>(c);
        }
        std::string problem = check_reset_sentence(sentence, cfg.id);
        update([&](TargetReport& r) {
            r.reset_sentence = sentence;
            r.reset_ok = problem.empty();
        });
        if (problem.empty())
            event("reset sentence " + show(sentence));
        else
            framing("reset sentence " + show(sentence) + " " + problem);
    }

    // Passwords up to the acknowledgement, and those still on their way, up
    // to "Loader".
    void take_passwords() {
        const std::string password = password_for(cfg.id);
        int count = 0;
        bool acked = false;
        for (;;) {
            Clock::time_point when;
            int c = stray.empty() ? get_forever(&when) : get_gap(&when);
            if (c < 0) {
                flush_stray();
                continue;
            }
            std::string got;
            if (c == password[0]) {
                if (!match_rest(password, &got, &when)) {
                    add_stray(got, "during the wake-up");
                    continue;
                }
                flush_stray();
                ++count;
                update([&](TargetReport& r) {
                    r.password_ms.push_back(ms(when));
                    if (acked) ++r.passwords_after_ack;
                });
                if (count == 1) event("password " + show(password));
                if (!acked && !cfg.never_ack && count >= cfg.ack_after_passwords) {
                    send_ack(count);
                    acked = true;
                } else if (!acked) {
                    pull_if_due(LinePull::AfterPassword, count, "after password " + std::to_string(count));
                }
                continue;
            }
            if (acked && c == 'L') {
                if (!match_rest("Loader", &got, &when)) {
                    add_stray(got, "during the wake-up");
                    continue;
                }
                flush_stray();
                update([&](TargetReport& r) { r.loader_cmd_ms = ms(when); });
                event("\"Loader\" arrived");
                return;
            }
            add_stray(std::string(1, static_cast<char>(c)), "during the wake-up");
        }
    }

    void send_ack(int passwords) {
        if (cfg.g_before_ack) put("G");
        if (!cfg.junk_before_ack.empty()) put(cfg.junk_before_ack);
        const std::string& text = cfg.ack_text;
        for (size_t i = 0; i < text.size(); ++i) {
            if (i > 0) {
                if (cfg.ack_byte_delay.count() > 0) line.sleep_for(cfg.ack_byte_delay);
                if (!cfg.ack_interleave.empty()) put(cfg.ack_interleave);
            }
            put(text.substr(i, 1), [&](TargetReport& r) {
                if (i + 1 == text.size()) r.ack_ms = ms(Clock::now());
            });
        }
        if (text.empty()) update([&](TargetReport& r) { r.ack_ms = ms(Clock::now()); });
        event("acknowledged after " + std::to_string(passwords) + " password(s) with " + show(cfg.ack_text));
        pull_if_due(LinePull::BeforeGo, 0, "after the acknowledgement");
        if (cfg.g_delay.count() > 0) line.sleep_for(cfg.g_delay);
        if (!cfg.never_g) {
            put("G", [&](TargetReport& r) { r.g_ms = ms(Clock::now()); });
            pull_if_due(LinePull::AfterGo, 0, "after G");
        }
    }

    // ---- loader ----

    void loader() {
        update([](TargetReport& r) { r.phase = TargetReport::Phase::Loader; });
        if (cfg.early_h) {
            send_h();
            event("early H sent");
        }
        Bytes all;
        for (;;) {
            Bytes rec{static_cast<uint8_t>(get_forever())};
            while (rec.size() < kLoaderRecord) {
                int c = get_gap();
                if (c < 0) break;
                rec.push_back(static_cast<uint8_t>(c));
            }
            size_t index = rep_loader_count() + 1;
            if (rec.size() < kLoaderRecord) {
                framing("loader record " + std::to_string(index) + " cut short: " + std::to_string(rec.size()) +
                        " of 80 bytes");
                throw ScriptOver{};
            }
            if (std::memcmp(rec.data(), kEndMarker, 16) == 0) {
                bool zero = true;
                for (size_t i = 16; i < kLoaderRecord; ++i) zero = zero && rec[i] == 0;
                update([&](TargetReport& r) {
                    r.end_marker_seen = true;
                    r.end_marker_ok = zero;
                });
                if (!zero) framing("end marker not padded with zero bytes: " + show(rec));
                break;
            }
            all.insert(all.end(), rec.begin(), rec.end());
            update([&](TargetReport& r) { r.loader_records.push_back(rec); });
            pull_if_due(LinePull::InLoader, static_cast<int>(index), "after loader record " + std::to_string(index));
        }
        if (!cfg.loader_out.empty() && !write_whole_file(board_file(cfg.loader_out), all))
            framing("cannot write " + board_file(cfg.loader_out));
        event("loader: " + std::to_string(rep_loader_count()) + " record(s), end marker");
    }

    size_t rep_loader_count() {
        std::lock_guard<std::mutex> lock(mu);
        return rep.loader_records.size();
    }

    // ---- program ----

    // One record from the tool. The first byte is waited for until
    // `first_deadline`; returns false at that deadline, or when the tool
    // closed the port (close_mark >= 0). Stops after `limit` bytes, leaving
    // a longer record incomplete.
    bool read_record(ProgramRecord* out, Clock::time_point first_deadline, int close_mark = -1,
                     size_t limit = SIZE_MAX) {
        Clock::time_point when;
        int c;
        for (;;) {
            c = get(stray.empty() ? first_deadline : std::min(first_deadline, Clock::now() + cfg.byte_gap_timeout),
                    &when, close_mark);
            if (c == 'S' || c == 'E') break;
            if (c == -1 && !stray.empty() && Clock::now() < first_deadline) {
                flush_stray();
                continue;
            }
            if (c < 0) {
                flush_stray();
                return false;
            }
            add_stray(std::string(1, static_cast<char>(c)), "where a record should start");
        }
        flush_stray();
        out->bytes = {static_cast<uint8_t>(c)};
        out->ms = ms(when);
        out->line_baud = line.line_baud();
        if (c == 'E') return true;
        int count = limit > 1 ? get_gap(&when) : -1;
        if (count >= 0) {
            out->bytes.push_back(static_cast<uint8_t>(count));
            for (int i = 0; i < count && out->bytes.size() < limit; ++i) {
                c = get_gap(&when);
                if (c < 0) break;
                out->bytes.push_back(static_cast<uint8_t>(c));
            }
        }
        out->ms = ms(when);
        size_t want = out->bytes.size() >= 2 ? static_cast<size_t>(out->bytes[1]) + 2 : 2;
        out->complete = out->bytes.size() == want;
        return true;
    }

    void check_record(const ProgramRecord& rec, const std::string& name) {
        if (!rec.complete)
            framing(name + " cut short: " + std::to_string(rec.bytes.size()) + " bytes of " +
                    (rec.bytes.size() >= 2 ? std::to_string(rec.bytes[1] + 2) : std::string("at least 2")));
        else if (rec.bytes[0] == 'S' && rec.bytes[1] > 126)
            framing(name + " has count " + std::to_string(rec.bytes[1]) + ", above 126");
    }

    void end_by_action(const std::string& what) {
        update([](TargetReport& r) { r.ended_by_action = true; });
        event(what);
        throw ScriptOver{};
    }

    void run_actions(int k) {
        auto it = script().find(k);
        if (it == script().end()) return;
        const std::string after = k == 0 ? "before the first record" : "after record " + std::to_string(k);
        for (const RecordAction& a : it->second) {
            switch (a.kind) {
            case RecordAction::Resend: {
                put("R");
                if (k == 0) {
                    event("R sent " + after + " (nothing to resend)");
                    break;
                }
                ProgramRecord rec;
                rec.resend = true;
                if (!read_record(&rec, Clock::now() + cfg.byte_gap_timeout)) {
                    framing("no resend of record " + std::to_string(k) + " after R");
                    break;
                }
                update([&](TargetReport& r) { r.records.push_back(rec); });
                check_record(rec, "resend of record " + std::to_string(k));
                if (rec.complete && rec.bytes != last_record)
                    framing("resend of record " + std::to_string(k) + " differs: " + show(rec.bytes) + " instead of " +
                            show(last_record));
                else if (rec.complete)
                    event("R sent " + after + ", resend matches");
                break;
            }
            case RecordAction::Speed: {
                std::string text = a.text.empty() ? std::to_string(a.baud) + ",8,N,1,x\n" : a.text;
                put("S" + text);
                line.change_speed(a.baud);
                if (!line.is_pty()) line.sleep_for(cfg.speed_settle);
                event("speed change " + after + ": " + show(text));
                break;
            }
            case RecordAction::Message:
                put("M" + a.text + "\n");
                event("message " + after + ": " + show(a.text));
                break;
            case RecordAction::EraseList:
                erase_list(after);
                break;
            case RecordAction::Pause:
                put("h");
                event("pause request " + after);
                break;
            case RecordAction::FlashType:
                put(std::string(1, a.code));
                if (a.code == '0') end_by_action("type error '0' sent " + after);
                event(std::string("flash type '") + a.code + "' sent " + after);
                break;
            case RecordAction::Error:
                put(a.code == 'N' ? std::string{'N', a.detail} : std::string(1, a.code));
                end_by_action(std::string("error '") + a.code + "' sent " + after);
                break;
            case RecordAction::Junk:
                put(a.text);
                event("junk " + show(a.text) + " sent " + after);
                break;
            case RecordAction::Silent:
                end_by_action("silent " + after);
                break;
            case RecordAction::Hang:
                update([](TargetReport& r) { r.hung = true; });
                end_by_action("hung " + after + "; the line stays");
                break;
            case RecordAction::Burst:
                burst = a.text;
                event("burst " + show(a.text) + " to go with the next H " + after);
                break;
            case RecordAction::Stall:
                put(a.text);
                stalled = true;
                end_by_action("stalled " + after + " after asking for " + std::to_string(a.text.size()) + " more");
                break;
            case RecordAction::Replug:
                line.replug(cfg.replug_unplugged, cfg.replug_reopen_timeout, cfg.replug_settle);
                update([](TargetReport& r) { ++r.replugs; });
                event("replugged " + after + ": now " + line.slave_path());
                break;
            }
        }
    }

    void erase_list(const std::string& after) {
        put("Z");
        int c = get_gap();
        if (c != 'Z') {
            framing("reply to Z " + after + (c < 0 ? " missing" : " starts with " + show(std::string(1, char(c)))));
            if (c >= 0) push_back(c, Clock::now());
            return;
        }
        std::string text;
        for (;;) {
            c = get_gap();
            if (c < 0) {
                framing("reply to Z " + after + " has no line feed: " + show("Z" + text));
                break;
            }
            if (c == '\n') break;
            text += static_cast<char>(c);
            if (text.size() > 4096) {
                framing("reply to Z " + after + " too long");
                break;
            }
        }
        update([&](TargetReport& r) { r.erase_list_replies.push_back(text); });
        event("erase list " + after + ": " + show(text));
    }

    // Record k with the plug pulled on its way (see LinePull::ask).
    void receive_across_pull(int k, const LinePull& p, ProgramRecord* rec) {
        const std::string name = "record " + std::to_string(k);
        ProgramRecord got;
        got.bytes.clear();
        if (p.where == LinePull::InRecord) read_record(&got, Clock::time_point::max(), -1, std::max<size_t>(p.bytes, 1));
        pull_plug(p, p.where == LinePull::InRecord
                         ? "after " + std::to_string(got.bytes.size()) + " byte(s) of " + name
                         : "while waiting for " + name);
        if (!got.bytes.empty() && got.complete) {
            *rec = got;  // it was through before the plug went
            return;
        }
        if (!got.bytes.empty()) {
            update([](TargetReport& r) { ++r.records_cut; });
            event(name + " cut after " + std::to_string(got.bytes.size()) + " byte(s); asking again with " + p.ask);
        }
        if (p.ask != 'R') {
            send_h();
            read_record(rec, Clock::time_point::max());
            return;
        }
        put("R");
        const bool nothing_to_repeat = k == 1 && got.bytes.empty();
        const auto patience = nothing_to_repeat ? std::chrono::milliseconds(1000) : cfg.byte_gap_timeout;
        if (!read_record(rec, Clock::now() + patience)) {
            if (!nothing_to_repeat) {
                framing("no answer to R after the replug, waiting for " + name);
                throw ScriptOver{};
            }
            event("no answer to R: the tool had not seen the H for record 1");
            send_h();
            read_record(rec, Clock::time_point::max());
            return;
        }
        if (got.bytes.empty() && k >= 2 && rec->complete && rec->bytes == last_record) {
            rec->resend = true;
            update([&](TargetReport& r) { r.records.push_back(*rec); });
            event("the tool had not seen the H for " + name + ": it repeated record " + std::to_string(k - 1));
            send_h();
            *rec = ProgramRecord{};
            read_record(rec, Clock::time_point::max());
            return;
        }
        if (!got.bytes.empty() && rec->bytes.size() >= got.bytes.size() &&
            !std::equal(got.bytes.begin(), got.bytes.end(), rec->bytes.begin()))
            framing(name + " sent again after the cut does not begin with the bytes that had arrived");
    }

    void program() {
        update([](TargetReport& r) { r.phase = TargetReport::Phase::Program; });
        run_actions(0);
        take_out_if_due(0);
        if (!cfg.early_h) send_h();
        for (int k = 1;; ++k) {
            ProgramRecord rec;
            int close_mark = cfg.stop_at_e ? -1 : line.tool_closes();
            const LinePull* pull = pull_at(LinePull::AfterReady, k);
            if (pull == nullptr) pull = pull_at(LinePull::InRecord, k);
            if (pull != nullptr) {
                receive_across_pull(k, *pull, &rec);
            } else if (!read_record(&rec, Clock::time_point::max(), close_mark)) {
                // The port closed. Bytes written just before the close may
                // still be on their way through the pty.
                if (!read_record(&rec, Clock::now() + std::chrono::milliseconds(200))) {
                    update([&](TargetReport& r) { r.completed = k > 1; });
                    event("the tool closed the port after " + std::to_string(k - 1) + " record(s)");
                    return;
                }
            }
            const std::string name = "record " + std::to_string(k);
            last_record = rec.bytes;
            update([&](TargetReport& r) { r.records.push_back(rec); });
            check_record(rec, name);
            event(name + ": " + std::string(1, static_cast<char>(rec.bytes[0])) + ", " +
                  std::to_string(rec.bytes.size()) + " bytes");
            if (rec.bytes == Bytes{'E'} && cfg.stop_at_e) {
                update([](TargetReport& r) { r.completed = true; });
                return;
            }
            run_actions(k);
            pull_if_due(LinePull::AfterRecord, k, "after record " + std::to_string(k));
            take_out_if_due(k);
            send_h();
        }
    }

    BoardEnd run_board() {
        try {
            try {
                if (board > 1) wait_for_board();
                wakeup();
                loader();
                program();
            } catch (const ScriptOver&) {
            } catch (const TakenOut&) {
                flush_stray();
                return BoardEnd::TakenOut;
            }
            flush_stray();
            return BoardEnd::Over;
        } catch (const LineStopped&) {
            return BoardEnd::Stopped;
        } catch (const LineLost& e) {
            framing("line lost: " + e.why);
            return BoardEnd::LineLost;
        }
    }

    void run() {
        BoardEnd end = BoardEnd::Over;
        for (;;) {
            end = run_board();
            const bool holds_the_line = stalled || hung();
            const bool next = board < cfg.boards && !holds_the_line &&
                              (end == BoardEnd::Over || end == BoardEnd::TakenOut);
            finish(end == BoardEnd::Stopped, !next);
            if (!next) break;
            next_board();
        }
        if (end == BoardEnd::Stopped) return;
        try {
            if (stalled) {
                line.hold_until_stopped();
            } else if (hung()) {
                for (;;)
                    if (line.get(Clock::time_point::max()) >= 0) update([](TargetReport& r) { ++r.bytes_while_hung; });
            } else {
                // Still listening: whatever comes now is more than the run asked for.
                for (;;) get_forever();
            }
        } catch (...) {
        }
    }

    bool hung() {
        std::lock_guard<std::mutex> lock(mu);
        return rep.hung;
    }

    // The board is out; the next one's report starts with the empty slot.
    void next_board() {
        line.drop_input();
        event("board " + std::to_string(board) + " out; the next one in " + std::to_string(cfg.swap_delay.count()) +
              " ms");
        ++board;
        {
            std::lock_guard<std::mutex> lock(mu);
            rep.done = true;
            ended.push_back(std::move(rep));
            rep = TargetReport{};
            rep.board = board;
            rep.lines_heard = !cfg.lines_folder.empty();
        }
        pushed_back = -1;
        stray.clear();
        burst.clear();
        last_record.clear();
        awake_to_lines = false;
        woken = false;
    }

    void finish(bool stopped, bool last) {
        std::vector<Bytes> image;
        {
            std::lock_guard<std::mutex> lock(mu);
            image = rep.image_records();
        }
        if (!cfg.image_out.empty()) {
            Bytes flat;
            for (const Bytes& r : image) flat.insert(flat.end(), r.begin(), r.end());
            if (!write_whole_file(board_file(cfg.image_out), flat)) framing("cannot write " + board_file(cfg.image_out));
        }
        awake_to_lines = false;
        {
            std::lock_guard<std::mutex> lock(mu);
            rep.phase = TargetReport::Phase::Finished;
            rep.stopped = stopped;
            rep.done = last;
        }
        if (last) cv.notify_all();
    }
};

SimTarget::SimTarget(TargetConfig config) : impl_(std::make_unique<Impl>(std::move(config))) {}

SimTarget::~SimTarget() { stop(); }

bool SimTarget::start() {
    Impl& d = *impl_;
    if (d.started) {
        std::lock_guard<std::mutex> lock(d.mu);
        d.error = "already started";
        return false;
    }
    std::string error;
    bool ok = d.cfg.device_path.empty() ? d.line.open_pty(d.cfg.link_path, d.cfg.baud, &error)
                                        : d.line.open_device(d.cfg.device_path, d.cfg.baud, &error);
    if (!ok) {
        std::lock_guard<std::mutex> lock(d.mu);
        d.error = error;
        return false;
    }
    if (d.cfg.reset_line != ResetLine::None && d.cfg.lines_folder.empty()) {
        ok = false;
        error = "a board the line resets needs the folder the modem lines are heard in";
    }
    if (ok && !d.cfg.lines_folder.empty()) {
        d.line.on_lines([&d](const LineState& state) { d.heard_lines(state); });
        ok = d.line.listen_lines(d.cfg.lines_folder, &error);
    }
    if (!ok) {
        d.line.close();
        std::lock_guard<std::mutex> lock(d.mu);
        d.error = error;
        return false;
    }
    d.rep.lines_heard = !d.cfg.lines_folder.empty();
    d.line.set_rate_model(d.cfg.line_rate);
    d.t0 = Clock::now();
    d.started = true;
    d.thread = std::thread([&d] { d.run(); });
    return true;
}

bool SimTarget::wait_done(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [this] { return impl_->rep.done; });
}

bool SimTarget::wait_tool_closed(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    const TargetLine& line = impl_->line;
    while (line.tool_closes() < line.tool_opens()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

void SimTarget::stop() {
    Impl& d = *impl_;
    {
        std::lock_guard<std::mutex> lock(d.mu);
        d.stop_called = true;
    }
    d.cv.notify_all();
    std::lock_guard<std::mutex> lock(d.stop_mu);
    if (d.thread.joinable()) {
        d.line.request_stop();
        d.thread.join();
        // A change the tool made before it went is in the report.
        d.line.take_pending_lines();
    }
    d.line.close();
}

bool SimTarget::wait_stopped(std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, timeout, [this] { return impl_->stop_called; });
}

std::string SimTarget::device_path() const { return impl_->line.slave_path(); }

const std::string& SimTarget::link_path() const { return impl_->cfg.link_path; }

std::string SimTarget::last_error() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->error;
}

TargetReport SimTarget::report() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return summed(impl_->rep);
}

std::vector<TargetReport> SimTarget::reports() const {
    std::vector<TargetReport> all;
    std::lock_guard<std::mutex> lock(impl_->mu);
    for (const TargetReport& r : impl_->ended) all.push_back(summed(r));
    all.push_back(summed(impl_->rep));
    return all;
}

double SimTarget::now_ms() const { return impl_->ms(Clock::now()); }

}  // namespace sim
