// The station's rules: which run was a board and how it went, the tally of
// each port, when a port starts fwld again, what the operator's keys do,
// and the records, which are written whole and in order or held.
#include "station.h"

#include <algorithm>

#include "args.h"
#include "keyboard.h"
#include "record_fields.h"
#include "render.h"

namespace {

bool finished(const RunResult& r) { return r.known && r.outcome == "finished"; }

// Until the target answers, there is no telling a board was there.
bool waking(Stage stage) { return stage == STAGE_STARTING || stage == STAGE_POWER_ON; }

bool is_navigation(int code) { return code == KEY_CODE_UP || code == KEY_CODE_DOWN || code == 'j' || code == 'k'; }

}  // namespace

Verdict judge_run(const PortRun& run, bool station, bool stopping) {
    if (!station) return finished(run.result) ? VERDICT_FINISHED : VERDICT_FAILED;
    // Every later run would meet the same file.
    if (run.result.known && run.result.outcome == "bad-file") return VERDICT_STOPS_STATION;
    // Not a word from fwld: it refused its command line or could not be run.
    if (!run.any_event && !stopping) return VERDICT_STOPS_STATION;
    if (waking(run.result.known ? run.result.stage : run.stage)) return VERDICT_NO_BOARD;
    return finished(run.result) ? VERDICT_FINISHED : VERDICT_FAILED;
}

bool run_was_stopped(const PortRun& run) {
    const RunResult& r = run.result;
    if (r.known) return r.outcome == "interrupted" || r.outcome == "signal";
    return run.ended && run.end.kind != END_EXIT;
}

int tally_run(PortTally* tally, const PortRun& run, Verdict verdict) {
    if (verdict != VERDICT_FINISHED && verdict != VERDICT_FAILED) return 0;
    ++tally->boards;
    if (verdict == VERDICT_FINISHED) {
        ++tally->finished;
    } else {
        ++tally->failed;
        if (run_was_stopped(run)) ++tally->stopped;
    }
    if (run.result.board_ms >= 0) {
        tally->board_ms += static_cast<uint64_t>(run.result.board_ms);
        ++tally->timed;
    }
    tally->last_result = run.result;
    return tally->boards;
}

void schedule_presence(PortSchedule* s, bool present, uint64_t device) {
    if (!present || (s->present && device != s->device)) s->gone = true;
    s->present = present;
    s->device = present ? device : 0;
}

void schedule_run_started(PortSchedule* s) {
    s->running = true;
    s->gone = false;
}

bool schedule_should_end_run(const PortSchedule& s, Stage stage) { return s.running && s.gone && waking(stage); }

void schedule_run_ended(PortSchedule* s, Verdict verdict, bool by_station_stop, bool watch, uint32_t now_ms) {
    s->running = false;
    s->gone = !s->present;
    const bool board = verdict == VERDICT_FINISHED || verdict == VERDICT_FAILED;
    // A board left plugged in after it ended is not woken again.
    s->needs_return = watch && board;
    // Nothing answered (no device, a silent target): no tight loop of fwld
    // starting and ending.
    s->paused = !board && !by_station_stop;
    s->paused_until = now_ms + RESTART_PAUSE_MS;
}

bool schedule_may_start(const PortSchedule& s, uint32_t now_ms) {
    if (s.running || !s.present) return false;
    if (s.needs_return && !s.gone) return false;
    if (s.paused && !s.gone && static_cast<int32_t>(now_ms - s.paused_until) < 0) return false;
    return true;
}

// ---- the station ----

Station::Station(StationSetup setup)
    : setup_(std::move(setup)),
      slot_port_(static_cast<size_t>(setup_.slots), -1),
      slot_lines_(static_cast<size_t>(setup_.slots)) {}

void Station::add_port(const std::string& name) { add(name, true); }

int Station::add(const std::string& name, bool listed) {
    StationPort port{};
    port.name = name;
    port.p5 = name + setup_.p5_tail;
    std::vector<std::string> taken;
    for (const StationPort& p : ports_) taken.push_back(p.log_name);
    port.log_name = log_file_name(name.c_str(), taken);
    port.slot = -1;
    port.listed = listed;
    run_start(&port.run, 0);
    port.run.ended = true;
    ports_.push_back(std::move(port));
    if (selected_ < 0 && listed) selected_ = static_cast<int>(ports_.size()) - 1;
    dirty_ = true;
    return static_cast<int>(ports_.size()) - 1;
}

void Station::start(uint32_t now) {
    started_ms_ = now;
    drawn_at_ = now - REDRAW_MS;
    if (setup_.station) {
        look_asked_ = true;
        push({ACTION_LOOK, -1, -1, 0, false, {}});
        return;
    }
    for (size_t i = 0; i < ports_.size(); ++i) start_run(static_cast<int>(i), static_cast<int>(i), now);
}

int Station::port_of_slot(int slot) const {
    return slot >= 0 && slot < setup_.slots ? slot_port_[static_cast<size_t>(slot)] : -1;
}

int Station::running() const {
    int n = 0;
    for (const StationPort& p : ports_) n += p.schedule.running ? 1 : 0;
    return n;
}

void Station::push(Action action) { actions_.push_back(std::move(action)); }

void Station::say(const std::string& line) { push({ACTION_SAY, -1, -1, 0, false, line}); }

void Station::tell(const std::string& message) { say("fwld-gang: " + message + "\n"); }

std::vector<Action> Station::take_actions() {
    std::vector<Action> taken;
    taken.swap(actions_);
    return taken;
}

// ---- looks and starts ----

void Station::look(const std::vector<DeviceSeen>& present, uint32_t now) {
    looked_at_ = now;
    look_asked_ = false;
    std::vector<bool> seen(ports_.size(), false);
    std::vector<uint64_t> identity(ports_.size(), 0);
    for (const DeviceSeen& device : present) {
        int i = 0;
        while (i < static_cast<int>(ports_.size()) && ports_[static_cast<size_t>(i)].name != device.name) ++i;
        if (i == static_cast<int>(ports_.size())) {
            if (!setup_.watch) continue;
            add(device.name, true);
            seen.push_back(false);
            identity.push_back(0);
        }
        seen[static_cast<size_t>(i)] = true;
        identity[static_cast<size_t>(i)] = device.identity;
    }
    for (size_t i = 0; i < ports_.size(); ++i) {
        StationPort& port = ports_[i];
        if (port.schedule.present != seen[i]) dirty_ = true;
        schedule_presence(&port.schedule, seen[i], identity[i]);
        if (port.ended_by == ENDED_BY_NONE && schedule_should_end_run(port.schedule, port.run.stage)) {
            end_run(static_cast<int>(i), ENDED_BY_STATION);
        }
        // A device that went takes its row along once its run is over.
        if (setup_.watch && port.listed != (seen[i] || port.schedule.running)) {
            port.listed = seen[i] || port.schedule.running;
            dirty_ = true;
        }
    }
    if (selected_ >= 0 && !ports_[static_cast<size_t>(selected_)].listed) select(0);
    start_runs(now);
}

void Station::notice(uint32_t now) {
    (void)now;
    if (!setup_.station || stop_ != STOP_NONE || look_asked_) return;
    look_asked_ = true;
    push({ACTION_LOOK, -1, -1, 0, false, {}});
}

void Station::devices_noticed(bool noticed) { look_every_ms_ = noticed ? LOOK_NOTICED_MS : LOOK_MS; }

void Station::start_runs(uint32_t now) {
    if (!setup_.station || stop_ != STOP_NONE || results_blocked_) return;
    bool crowded = false;
    for (size_t i = 0; i < ports_.size(); ++i) {
        StationPort& port = ports_[i];
        if (port.paused || !schedule_may_start(port.schedule, now)) continue;
        if (port.busy && static_cast<int32_t>(now - port.busy_until) < 0) continue;
        const auto free = std::find(slot_port_.begin(), slot_port_.end(), -1);
        if (free == slot_port_.end()) {
            crowded = true;
            continue;
        }
        start_run(static_cast<int>(i), static_cast<int>(free - slot_port_.begin()), now);
    }
    if (crowded != crowded_) {
        crowded_ = crowded;
        dirty_ = true;
        if (crowded) {
            tell("more devices than the " + std::to_string(setup_.slots) + " fwld-gang runs at once: the rest wait.");
        }
    }
}

void Station::start_run(int i, int slot, uint32_t now) {
    StationPort& port = ports_[static_cast<size_t>(i)];
    run_start(&port.run, now);
    port.settled = false;
    port.ran = true;
    port.ended_by = ENDED_BY_NONE;
    port.slot = slot;
    port.holding_output = true;
    port.held.clear();
    slot_port_[static_cast<size_t>(slot)] = i;
    slot_lines_[static_cast<size_t>(slot)] = EventLines{};
    schedule_run_started(&port.schedule);
    dirty_ = true;
    push({ACTION_START_RUN, i, slot, 0, false, {}});
}

void Station::end_run(int i, EndedBy by) {
    StationPort& port = ports_[static_cast<size_t>(i)];
    if (!port.schedule.running || port.slot < 0) return;
    if (port.ended_by == ENDED_BY_NONE) port.ended_by = by;
    push({ACTION_END_RUN, i, port.slot, 0, false, {}});
}

// ---- a run's output and events ----

void Station::output(int slot, const unsigned char* bytes, size_t count) {
    const int i = port_of_slot(slot);
    if (i < 0) return;
    StationPort& port = ports_[static_cast<size_t>(i)];
    if (!port.holding_output) {
        push({ACTION_APPEND_LOG, i, slot, 0, false, std::string(reinterpret_cast<const char*>(bytes), count)});
        return;
    }
    port.held.append(reinterpret_cast<const char*>(bytes), count);
    if (port.held.size() > HELD_OUTPUT_MAX && !port.busy) release_output(i);
}

void Station::release_output(int i) {
    StationPort& port = ports_[static_cast<size_t>(i)];
    port.holding_output = false;
    if (!port.held.empty()) push({ACTION_APPEND_LOG, i, port.slot, 0, false, std::move(port.held)});
    port.held.clear();
}

void Station::stream(int slot, const unsigned char* bytes, size_t count, uint32_t now) {
    const int i = port_of_slot(slot);
    if (i < 0) return;
    EventLines& lines = slot_lines_[static_cast<size_t>(slot)];
    for (size_t taken = 0; taken < count;) {
        taken += event_lines_feed(&lines, bytes + taken, count - taken);
        if (lines.ready) event_line(i, lines.line, now);
    }
}

void Station::event_line(int i, const std::string& line, uint32_t now) {
    StationPort& port = ports_[static_cast<size_t>(i)];
    RunEvent event;
    if (!read_run_event(line.data(), line.size(), &event)) return;
    const bool new_stage = run_event(&port.run, event);
    // fwld has its port.
    if (event.kind == RUN_EVENT_STAGE && port.holding_output) {
        if (port.busy) {
            port.busy = false;
            push({ACTION_APPEND_LOG, i, port.slot, 0, false, "fwld-gang: the port is free again.\n"});
        }
        release_output(i);
    }
    if (new_stage && !setup_.station) say(render_stage_line(port.name, port.run, setup_.lines_reset));
    if (event.kind == RUN_EVENT_END) settle(i, now);
    dirty_ = true;
}

void Station::child_ended(int slot, ChildEnd end, uint32_t now) {
    const int i = port_of_slot(slot);
    if (i < 0) return;
    run_child_ended(&ports_[static_cast<size_t>(i)].run, end, now);
    run_over(i, now);
}

void Station::not_started(int slot, const std::string& reason, uint32_t now) {
    const int i = port_of_slot(slot);
    if (i < 0) return;
    run_not_started(&ports_[static_cast<size_t>(i)].run, reason, now);
    run_over(i, now);
}

// fwld has ended: its board settled, its slot free, its port free to start again.
void Station::run_over(int i, uint32_t now) {
    StationPort& port = ports_[static_cast<size_t>(i)];
    settle(i, now);
    schedule_run_ended(&port.schedule, port.verdict, port.ended_by != ENDED_BY_NONE, setup_.watch, now);
    if (port.holding_output && !port.busy) release_output(i);
    port.held.clear();
    push({ACTION_CLOSE_LOG, i, port.slot, 0, false, {}});
    slot_port_[static_cast<size_t>(port.slot)] = -1;
    port.slot = -1;
    if (setup_.watch && !port.schedule.present) {
        port.listed = false;
        if (selected_ == i) select(0);
    }
    dirty_ = true;
    start_runs(now);
}

// The run has its result (the end event, or fwld's exit without one): its
// board is counted, recorded and told.
void Station::settle(int i, uint32_t now) {
    StationPort& port = ports_[static_cast<size_t>(i)];
    if (port.settled) return;
    port.settled = true;
    const RunResult& r = port.run.result;
    port.verdict = judge_run(port.run, setup_.station, stop_ != STOP_NONE || port.ended_by != ENDED_BY_NONE);
    // Another program holds the port: not a board, and not a banner in the
    // log for every try.
    if (setup_.station && r.outcome == "port-not-opened" && port.schedule.present) {
        port.held.clear();
        port.busy_until = now + BUSY_RETRY_MS;
        if (!port.busy) {
            port.busy = true;
            const std::string line =
                "the port is busy (another program may hold it): " + r.message + "; tried again every 5 s.";
            push({ACTION_APPEND_LOG, i, port.slot, 0, false, "\nfwld-gang: " + line + "\n"});
            tell(port.name + ": " + line);
        }
    }
    if (port.ended_by == ENDED_BY_OPERATOR && port.verdict == VERDICT_FAILED) {
        port.run.result.message = OPERATOR_ENDED;
        port.run.message = OPERATOR_ENDED;
    }
    const int board = tally_run(&port.tally, port.run, port.verdict);
    if (board > 0) {
        queue_result(results_line(port, setup_.station ? board : 1));
        say(render_end_line(port.name, port.run, setup_.station ? board : 0));
    }
    if (port.verdict == VERDICT_STOPS_STATION) stop_station(r.message);
    // On Windows every fwld reads the one console, and the first to see the
    // operator's key takes it away as it ends: a port interrupted by a key
    // that fwld-gang did not send was the operator's, and ends the others too.
    if (!setup_.station && stop_ == STOP_NONE && port.ended_by == ENDED_BY_NONE && r.outcome == "interrupted") {
        stop_now();
    }
    dirty_ = true;
}

// ---- results.jsonl ----

std::string Station::results_line(const StationPort& port, int board) const {
    const RunResult& r = port.run.result;
    Json line = r.known ? r.record : Json::object();
    if (!r.known) {
        // What fwld-gang knows of a run that ended without its record, in
        // the record's words.
        line[record_field::port] = port.p5;
        line[record_field::stage] = stage_word(r.stage) != nullptr ? Json(stage_word(r.stage)) : Json(nullptr);
        line[record_field::outcome] = r.outcome;
        line[record_field::exit] = r.exit_status;
        line[record_field::message] = r.message;
        line[record_field::seconds] = json_seconds(r.seconds_ms);
        line[record_field::board_seconds] = r.board_ms >= 0 ? json_seconds(static_cast<uint64_t>(r.board_ms))
                                                            : Json(nullptr);
    }
    if (port.ended_by == ENDED_BY_OPERATOR && port.verdict == VERDICT_FAILED) line[record_field::message] = r.message;
    line[record_field::session] = setup_.session;
    line[record_field::board] = board;
    return json_line(line);
}

void Station::queue_result(std::string line) {
    results_.push_back(std::move(line));
    if (!writing_ && !results_blocked_) write_next(false);
}

void Station::write_next(bool reopen) {
    if (results_.empty()) return;
    writing_ = true;
    push({ACTION_WRITE_RESULT, -1, -1, 0, reopen, results_.front()});
}

void Station::results_written(bool written, const std::string& reason, uint32_t now) {
    writing_ = false;
    if (!written) {
        results_retry_at_ = now + RESULTS_RETRY_MS;
        if (!results_blocked_ || reason != results_reason_) {
            tell("results.jsonl can not be written: " + reason + "; no new board until it can.");
        }
        results_blocked_ = true;
        results_reason_ = reason;
        dirty_ = true;
        return;
    }
    results_.pop_front();
    if (results_blocked_) {
        results_blocked_ = false;
        tell("results.jsonl is written again; the station goes on.");
        dirty_ = true;
    }
    if (!results_.empty()) {
        write_next(false);
        return;
    }
    start_runs(now);
}

// ---- keys ----

void Station::key(int code, uint32_t now) {
    if (!setup_.station) {
        // Any key stops them all, as a key stops fwld.
        if (stop_ == STOP_NONE) stop_now();
        return;
    }
    burst_.push_back(code);
    burst_at_ = now;
}

// A key alone is the operator's; keys close together are a scanner's
// typing, unless they are one arrow held down.
void Station::decide_keys() {
    const std::vector<int> keys = std::move(burst_);
    burst_.clear();
    const bool one_key_repeated =
        std::all_of(keys.begin(), keys.end(), [&](int code) { return code == keys.front() && is_navigation(code); });
    if (keys.size() != 1 && !one_key_repeated) return;
    for (int code : keys) act_on_key(code, burst_at_);
}

void Station::act_on_key(int code, uint32_t now) {
    switch (code) {
    case 'q':
        if (stop_ == STOP_NONE) {
            stop_gently();
        } else if (stop_ == STOP_GENTLE) {
            stop_now();
        }
        break;
    case 'k':
    case KEY_CODE_UP: select(-1); break;
    case 'j':
    case KEY_CODE_DOWN: select(1); break;
    case 'x':
        if (selected_ >= 0 && stop_ < STOP_NOW) end_run(selected_, ENDED_BY_OPERATOR);
        break;
    case 'p': toggle_pause(now); break;
    default: break;
    }
    dirty_ = true;
}

// The next listed row up (-1) or down (1); 0: the one that took the place
// of a row that left the table.
void Station::select(int step) {
    std::vector<int> rows;
    for (size_t i = 0; i < ports_.size(); ++i) {
        if (ports_[i].listed) rows.push_back(static_cast<int>(i));
    }
    if (rows.empty()) {
        selected_ = -1;
        return;
    }
    const auto at = std::find(rows.begin(), rows.end(), selected_);
    if (at == rows.end()) {
        const auto next = std::lower_bound(rows.begin(), rows.end(), selected_);
        selected_ = next != rows.end() ? *next : rows.back();
        return;
    }
    const int row = std::clamp(static_cast<int>(at - rows.begin()) + step, 0, static_cast<int>(rows.size()) - 1);
    selected_ = rows[static_cast<size_t>(row)];
}

void Station::toggle_pause(uint32_t now) {
    if (selected_ < 0 || stop_ != STOP_NONE) return;
    StationPort& port = ports_[static_cast<size_t>(selected_)];
    port.paused = !port.paused;
    // A run still waking would take the next board plugged in.
    if (port.paused && waking(port.run.stage)) end_run(selected_, ENDED_BY_STATION);
    if (!port.paused) start_runs(now);
}

// ---- stopping ----

void Station::stop_gently() {
    stop_ = STOP_GENTLE;
    tell("stopping: no new board, the boards begun finish; q again or Ctrl-C stops them now.");
    for (size_t i = 0; i < ports_.size(); ++i) {
        if (waking(ports_[i].run.stage)) end_run(static_cast<int>(i), ENDED_BY_STATION);
    }
    dirty_ = true;
}

void Station::stop_now() {
    stop_ = STOP_NOW;
    tell(setup_.station ? "stopping the station; Ctrl-C again ends every port at once."
                       : "stopping every port; Ctrl-C again ends them at once.");
    for (size_t i = 0; i < ports_.size(); ++i) {
        StationPort& port = ports_[i];
        if (!port.schedule.running || port.slot < 0) continue;
        if (port.ended_by == ENDED_BY_NONE) port.ended_by = ENDED_BY_STATION;
        push({ACTION_PRESS_KEY, static_cast<int>(i), port.slot, 0, false, {}});
    }
    dirty_ = true;
}

void Station::end_at_once(int signal) {
    stop_ = STOP_AT_ONCE;
    tell("ending every port at once.");
    for (size_t i = 0; i < ports_.size(); ++i) {
        StationPort& port = ports_[i];
        if (!port.schedule.running || port.slot < 0) continue;
        if (port.ended_by == ENDED_BY_NONE) port.ended_by = ENDED_BY_STATION;
        push({ACTION_INTERRUPT, static_cast<int>(i), port.slot, signal, false, {}});
    }
    dirty_ = true;
}

void Station::stop_station(const std::string& why) {
    if (station_stop_.empty()) station_stop_ = why;
    tell("the station stops: " + why);
    if (stop_ < STOP_NOW) stop_now();
}

void Station::interrupt(uint32_t now) {
    (void)now;
    if (stop_ >= STOP_NOW) {
        end_at_once(0);
    } else {
        stop_now();
    }
}

void Station::terminate(int signal, uint32_t now) {
    (void)now;
    ending_signal_ = signal;
    end_at_once(signal);
}

// ---- time ----

void Station::tick(uint32_t now) {
    if (!burst_.empty() && now - burst_at_ >= KEY_BURST_MS) decide_keys();
    if (results_blocked_ && !writing_ && static_cast<int32_t>(now - results_retry_at_) >= 0) write_next(true);
    if (setup_.station && stop_ == STOP_NONE && !look_asked_ && now - looked_at_ >= look_every_ms_) {
        look_asked_ = true;
        push({ACTION_LOOK, -1, -1, 0, false, {}});
    }
    if (setup_.table && now - drawn_at_ >= (dirty_ ? REDRAW_MS : CLOCK_REDRAW_MS)) {
        drawn_at_ = now;
        dirty_ = false;
        push({ACTION_REDRAW, -1, -1, 0, false, {}});
    }
}

int32_t Station::wait_ms(uint32_t now) const {
    int32_t wait = -1;
    const auto due = [&](uint32_t since, uint32_t span) {
        const uint32_t passed = now - since;
        const int32_t left = passed >= span ? 0 : static_cast<int32_t>(span - passed);
        if (wait < 0 || left < wait) wait = left;
    };
    if (setup_.table) due(drawn_at_, dirty_ ? REDRAW_MS : CLOCK_REDRAW_MS);
    if (setup_.station && stop_ == STOP_NONE) due(looked_at_, look_every_ms_);
    if (!burst_.empty()) due(burst_at_, KEY_BURST_MS);
    if (results_blocked_ && !writing_) due(results_retry_at_ - RESULTS_RETRY_MS, RESULTS_RETRY_MS);
    return wait;
}

bool Station::done() const { return running() == 0 && (!setup_.station || stop_ != STOP_NONE); }

// ---- what it knows ----

PortPhase Station::phase(int i) const {
    const StationPort& port = ports_[static_cast<size_t>(i)];
    if (port.schedule.running) return PHASE_RUNNING;
    if (!setup_.station || stop_ != STOP_NONE) return port.ran ? PHASE_ENDED : PHASE_ABSENT;
    if (port.paused) return PHASE_PAUSED;
    if (!port.schedule.present) return PHASE_ABSENT;
    return port.busy ? PHASE_BUSY : PHASE_WAITING;
}

StationStatus Station::status(uint32_t now) const {
    StationStatus s{};
    s.elapsed_ms = now - started_ms_;
    for (const StationPort& port : ports_) {
        s.ports += port.listed ? 1 : 0;
        s.running += port.schedule.running ? 1 : 0;
        s.all.boards += port.tally.boards;
        s.all.finished += port.tally.finished;
        s.all.failed += port.tally.failed;
        s.all.stopped += port.tally.stopped;
    }
    s.stop = stop_;
    s.results_blocked = results_blocked_;
    s.results_reason = results_reason_;
    s.crowded = crowded_;
    s.slots = setup_.slots;
    return s;
}

Json Station::summary(uint32_t now) const {
    Json summary = Json::object();
    summary[record_field::session] = setup_.session;
    Json ports = Json::array();
    PortTally all{};
    for (const StationPort& port : ports_) {
        const PortTally& t = port.tally;
        Json one = Json::object();
        one[record_field::port] = port.name;
        one["boards"] = t.boards;
        one["finished"] = t.finished;
        one["failed"] = t.failed;
        // Each board from its target's answer to its end: the wait for the
        // operator between boards is not the board's.
        one["mean_seconds"] = t.timed > 0 ? json_seconds(t.board_ms / static_cast<uint64_t>(t.timed)) : Json(nullptr);
        ports.push_back(std::move(one));
        all.boards += t.boards;
        all.finished += t.finished;
        all.failed += t.failed;
    }
    summary["ports"] = std::move(ports);
    summary["boards"] = all.boards;
    summary["finished"] = all.finished;
    summary["failed"] = all.failed;
    summary[record_field::seconds] = json_seconds(now - started_ms_);
    return summary;
}

int Station::exit_status() const {
    const StationStatus s = status(started_ms_);
    return s.all.failed == 0 && station_stop_.empty() && results_.empty() ? 0 : 1;
}
