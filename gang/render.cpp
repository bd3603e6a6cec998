// What fwld-gang shows: the figures of a run, the live table's lines, the
// plain lines for output that is not a terminal, and the summary.
#include <cstdio>
#include <cstring>

#include "gang.h"

namespace {

// The rate needs a little history before it means anything.
constexpr uint32_t RATE_SPAN_MIN_MS = 500;

void duration_text(int32_t seconds, char* out, size_t size) {
    if (seconds < 0) {
        std::snprintf(out, size, "-");
    } else if (seconds >= 3600) {
        std::snprintf(out, size, "%d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    } else {
        std::snprintf(out, size, "%d:%02d", seconds / 60, seconds % 60);
    }
}

// Names longer than the column keep their end, which tells ports apart.
void port_text(const char* port, int width, char* out, size_t size) {
    const size_t length = std::strlen(port);
    if (length <= static_cast<size_t>(width) || width < 4) {
        std::snprintf(out, size, "%s", port);
    } else {
        std::snprintf(out, size, "...%s", port + length - static_cast<size_t>(width - 3));
    }
}

const char* running_stage_name(Stage stage) {
    switch (stage) {
    case STAGE_STARTING: return "starting";
    case STAGE_POWER_ON: return "waiting for power on";
    case STAGE_LOADER: return "loader";
    case STAGE_ERASE: return "erase wait";
    case STAGE_PROGRAM: return "program";
    case STAGE_DONE: return "done";
    }
    return "?";
}

void stage_text(const PortView& v, const RunFigures& f, char* out, size_t size) {
    switch (v.phase) {
    case PHASE_ABSENT: std::snprintf(out, size, "no device"); return;
    case PHASE_WAITING: std::snprintf(out, size, "waiting for a board"); return;
    case PHASE_ENDED: std::snprintf(out, size, "%s", v.run->result.outcome); return;
    case PHASE_RUNNING: break;
    }
    if (v.run->stage == STAGE_ERASE) {
        char elapsed[16];
        duration_text(f.stage_seconds, elapsed, sizeof elapsed);
        std::snprintf(out, size, "erase wait %s", elapsed);
        return;
    }
    std::snprintf(out, size, "%s", running_stage_name(v.run->stage));
}

void count_text(int64_t value, char* out, size_t size) {
    if (value < 0) {
        std::snprintf(out, size, "-");
    } else {
        std::snprintf(out, size, "%lld", static_cast<long long>(value));
    }
}

// "finished 12.3 s": the last board of a station port.
void last_board_text(const PortTally& t, char* out, size_t size) {
    if (t.boards == 0) {
        std::snprintf(out, size, "-");
    } else {
        std::snprintf(out, size, "%s %.1f s", t.last_result.outcome, t.last_result.seconds_ms / 1000.0);
    }
}

}  // namespace

RunFigures run_figures(const PortRun& run, uint32_t now_ms) {
    RunFigures f{};
    const uint32_t now = run.ended ? run.ended_ms : now_ms;
    f.elapsed_ms = now - run.started_ms;
    f.stage_seconds = static_cast<int32_t>((now - run.stage_ms) / 1000u);
    f.percent = run.stage == STAGE_PROGRAM && run.percent >= 0 ? (run.percent > 100 ? 100 : run.percent) : -1;
    f.records_per_s = -1;
    f.seconds_left = -1;
    if (run.ended || run.stage != STAGE_PROGRAM || !run.progressed) return f;
    const uint32_t span = run.last_progress_ms - run.first_progress_ms;
    const int64_t records = run.records - run.first_records;
    const int64_t bytes = run.bytes - run.first_bytes;
    if (span < RATE_SPAN_MIN_MS || records <= 0 || bytes <= 0) return f;
    f.records_per_s = static_cast<double>(records) * 1000.0 / span;
    const double bytes_per_s = static_cast<double>(bytes) * 1000.0 / span;
    // The file's size counts bytes between records too: a little over.
    const double left = static_cast<double>(run.total - run.bytes) / bytes_per_s -
                        static_cast<int32_t>(now_ms - run.last_progress_ms) / 1000.0;
    f.seconds_left = left > 0 ? static_cast<int32_t>(left + 0.5) : 0;
    return f;
}

void render_header(bool station, int port_width, char* out, size_t size) {
    if (station) {
        std::snprintf(out, size, "%-*s  %-20s  %4s  %6s  %7s  %8s  %6s  %-22s  %s", port_width, "PORT", "STAGE", "%",
                      "REC/S", "LEFT", "FINISHED", "FAILED", "LAST BOARD", "MESSAGE");
    } else {
        std::snprintf(out, size, "%-*s  %-20s  %4s  %6s  %7s  %s", port_width, "PORT", "STAGE", "%", "REC/S", "LEFT",
                      "MESSAGE");
    }
}

void render_port_line(bool station, const PortView& v, int port_width, uint32_t now_ms, char* out, size_t size) {
    const RunFigures f = run_figures(*v.run, now_ms);
    const bool running = v.phase == PHASE_RUNNING;
    char name[GANG_TEXT_MAX], stage[48], percent[16] = "-", rate[16] = "-", left[16];
    port_text(v.port, port_width, name, sizeof name);
    stage_text(v, f, stage, sizeof stage);
    if (running && f.percent >= 0) std::snprintf(percent, sizeof percent, "%d%%", f.percent);
    if (running && f.records_per_s >= 0) std::snprintf(rate, sizeof rate, "%.0f", f.records_per_s);
    duration_text(running ? f.seconds_left : -1, left, sizeof left);
    if (!station) {
        std::snprintf(out, size, "%-*s  %-20s  %4s  %6s  %7s  %s", port_width, name, stage, percent, rate, left,
                      v.run->message);
        return;
    }
    char last[48];
    last_board_text(*v.tally, last, sizeof last);
    // Between boards the message is the last board's.
    const char* message = running || v.phase == PHASE_ENDED || v.tally->boards == 0 ? v.run->message
                                                                                      : v.tally->last_result.message;
    std::snprintf(out, size, "%-*s  %-20s  %4s  %6s  %7s  %8d  %6d  %-22s  %s", port_width, name, stage, percent, rate,
                  left, v.tally->finished, v.tally->failed, last, message);
}

void render_stage_line(const char* port, const PortRun& run, char* out, size_t size) {
    std::snprintf(out, size, "%s: %s\n", port, running_stage_name(run.stage));
}

void render_end_line(const char* port, const PortRun& run, int board, char* out, size_t size) {
    const RunResult& r = run.result;
    char who[GANG_TEXT_MAX + 32];
    if (board > 0) {
        std::snprintf(who, sizeof who, "%s: board %d", port, board);
    } else {
        std::snprintf(who, sizeof who, "%s:", port);
    }
    const double seconds = r.seconds_ms / 1000.0;
    if (std::strcmp(r.outcome, "finished") == 0) {
        std::snprintf(out, size, "%s finished in %.1f s, %lld bytes, %lld records\n", who, seconds,
                      static_cast<long long>(r.bytes_sent), static_cast<long long>(r.records_sent));
    } else if (stage_word(r.stage) != nullptr) {
        std::snprintf(out, size, "%s %s at %s after %.1f s: %s\n", who, r.outcome, stage_word(r.stage), seconds,
                      r.message);
    } else {
        std::snprintf(out, size, "%s %s after %.1f s: %s\n", who, r.outcome, seconds, r.message);
    }
}

void render_summary_header(bool station, int port_width, char* out, size_t size) {
    if (station) {
        std::snprintf(out, size, "%-*s  %6s  %8s  %6s  %8s  %s\n", port_width, "PORT", "BOARDS", "FINISHED", "FAILED",
                      "MEAN", "LAST BOARD");
    } else {
        std::snprintf(out, size, "%-*s  %-15s  %8s  %10s  %7s  %s\n", port_width, "PORT", "OUTCOME", "TIME", "BYTES",
                      "RECORDS", "MESSAGE");
    }
}

void render_summary_line(bool station, const PortView& v, int port_width, char* out, size_t size) {
    // The record of the run: the port's whole name.
    if (station) {
        const PortTally& t = *v.tally;
        char mean[16] = "-";
        if (t.boards > 0) std::snprintf(mean, sizeof mean, "%.1f s", static_cast<double>(t.seconds_ms) / 1000.0 / t.boards);
        char last[GANG_MESSAGE_MAX + 32] = "-";
        if (t.boards > 0) std::snprintf(last, sizeof last, "%s: %s", t.last_result.outcome, t.last_result.message);
        std::snprintf(out, size, "%-*s  %6d  %8d  %6d  %8s  %s\n", port_width, v.port, t.boards, t.finished, t.failed,
                      mean, last);
        return;
    }
    const RunResult& r = v.run->result;
    char time[16], bytes[24], records[24];
    std::snprintf(time, sizeof time, "%.1f s", r.seconds_ms / 1000.0);
    count_text(r.bytes_sent, bytes, sizeof bytes);
    count_text(r.records_sent, records, sizeof records);
    std::snprintf(out, size, "%-*s  %-15s  %8s  %10s  %7s  %s\n", port_width, v.port, r.outcome, time, bytes, records,
                  r.message);
}

void render_closing_line(const PortTally* tallies, int count, const char* log_dir, char* out, size_t size) {
    PortTally all{};
    for (int i = 0; i < count; ++i) {
        all.boards += tallies[i].boards;
        all.finished += tallies[i].finished;
        all.failed += tallies[i].failed;
        all.stopped += tallies[i].stopped;
    }
    std::snprintf(out, size, "%d board%s on %d port%s: %d finished, %d failed (%d stopped). Logs in %s\n", all.boards,
                  all.boards == 1 ? "" : "s", count, count == 1 ? "" : "s", all.finished, all.failed, all.stopped,
                  log_dir);
}
