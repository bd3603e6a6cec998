// What fwld-gang shows: the live table, cut to its terminal's width and
// height; the plain lines for output that is not a terminal; the summary.
#include "render.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "station.h"

namespace {

constexpr int STAGE_WIDTH = 20;
constexpr int PORT_WIDTH_MAX = 24;
constexpr int PORT_WIDTH_MIN = 8;
// The message is the reason a row is looked at: the columns that may go
// go before it gets narrower than this.
constexpr int MESSAGE_MIN = 20;
constexpr char GAP[] = "  ";

std::string format(const char* fmt, ...) {
    char text[4096];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string duration_text(int32_t seconds) {
    if (seconds < 0) return "-";
    if (seconds >= 3600) return format("%d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
    return format("%d:%02d", seconds / 60, seconds % 60);
}

// Cut to `width` with "..." at the end: the start says what it is.
std::string fit(const std::string& text, size_t width) {
    if (text.size() <= width) return text;
    if (width <= 3) return text.substr(0, width);
    return text.substr(0, width - 3) + "...";
}

// Names longer than the column keep their end, which tells ports apart.
std::string port_text(const std::string& port, size_t width) {
    if (port.size() <= width || width < 4) return port.substr(0, std::max<size_t>(width, 1));
    return "..." + port.substr(port.size() - (width - 3));
}

std::string pad(const std::string& text, int width, bool right) {
    const size_t w = static_cast<size_t>(width);
    if (text.size() >= w) return text.substr(0, w);
    return right ? std::string(w - text.size(), ' ') + text : text + std::string(w - text.size(), ' ');
}

// With the lines (RS) fwld resets the board where a hand switched it on.
const char* running_stage_name(const PortRun& run, bool lines_reset) {
    switch (run.stage) {
    case STAGE_STARTING: return "starting";
    case STAGE_POWER_ON: return !lines_reset ? "waiting for power on" : run.lines_reset ? "waking the board" : "resetting";
    case STAGE_LOADER: return "loader";
    case STAGE_ERASE: return "erase wait";
    case STAGE_PROGRAM: return "program";
    case STAGE_DONE: return "done";
    }
    return "?";
}

std::string stage_text(const Station& station, int i, const RunFigures& f) {
    const StationPort& port = station.ports()[static_cast<size_t>(i)];
    switch (station.phase(i)) {
    case PHASE_ABSENT: return "no device";
    case PHASE_WAITING: return "waiting for a board";
    case PHASE_BUSY: return "busy";
    case PHASE_PAUSED: return "paused";
    case PHASE_ENDED: return port.run.result.outcome;
    case PHASE_RUNNING: break;
    }
    if (port.run.stage == STAGE_ERASE) return "erase wait " + duration_text(f.stage_seconds);
    if (port.run.stage == STAGE_PROGRAM && f.percent >= 0) return format("program %d%%", f.percent);
    return running_stage_name(port.run, station.resets_boards());
}

// "finished 12.3 s": the last board of a station port.
std::string last_board_text(const PortTally& t) {
    if (t.boards == 0) return "-";
    const RunResult& r = t.last_result;
    const uint64_t ms = r.board_ms >= 0 ? static_cast<uint64_t>(r.board_ms) : r.seconds_ms;
    return format("%s %.1f s", r.outcome.c_str(), static_cast<double>(ms) / 1000.0);
}

enum ColumnId { COL_PORT, COL_STAGE, COL_RATE, COL_LEFT, COL_FINISHED, COL_FAILED, COL_LAST, COL_MESSAGE };

struct Column {
    ColumnId id;
    const char* header;
    int width;  // the message's: what is left
    bool right;
};

// The columns that fit `width`, in their order. The port's column narrows
// to its minimum first, then the optional ones go: the last board, the
// time left, the rate.
std::vector<Column> columns_for(const Station& station, int width) {
    size_t widest = 4;  // "PORT"
    for (const StationPort& port : station.ports()) {
        if (port.listed) widest = std::max(widest, port.name.size());
    }
    int port_width = static_cast<int>(std::min<size_t>(widest, PORT_WIDTH_MAX));
    const bool counts = station.is_station();
    const int usable = width - 1;
    int used = port_width + 2 + STAGE_WIDTH + 2 + (counts ? 8 + 2 + 6 + 2 : 0);
    if (usable - used < MESSAGE_MIN) {
        const int short_by = MESSAGE_MIN - (usable - used);
        const int narrower = std::max(std::min(port_width, PORT_WIDTH_MIN), port_width - short_by);
        used -= port_width - narrower;
        port_width = narrower;
    }
    const auto room_for = [&](int column_width) {
        if (usable - used - (column_width + 2) < MESSAGE_MIN) return false;
        used += column_width + 2;
        return true;
    };
    const bool rate = room_for(6);
    const bool left = rate && room_for(7);
    const bool last = counts && left && room_for(22);
    std::vector<Column> columns = {{COL_PORT, "PORT", port_width, false}, {COL_STAGE, "STAGE", STAGE_WIDTH, false}};
    if (rate) columns.push_back({COL_RATE, "REC/S", 6, true});
    if (left) columns.push_back({COL_LEFT, "LEFT", 7, true});
    if (counts) {
        columns.push_back({COL_FINISHED, "FINISHED", 8, true});
        columns.push_back({COL_FAILED, "FAILED", 6, true});
    }
    if (last) columns.push_back({COL_LAST, "LAST BOARD", 22, false});
    columns.push_back({COL_MESSAGE, "MESSAGE", std::max(usable - used, 0), false});
    return columns;
}

std::string cell(const Station& station, int i, ColumnId id, int width, uint32_t now) {
    const StationPort& port = station.ports()[static_cast<size_t>(i)];
    const RunFigures f = run_figures(port.run, now);
    const bool running = station.phase(i) == PHASE_RUNNING;
    switch (id) {
    case COL_PORT: return port_text(port.name, static_cast<size_t>(width));
    case COL_STAGE: return stage_text(station, i, f);
    case COL_RATE: return running && f.records_per_s >= 0 ? format("%.0f", f.records_per_s) : "-";
    case COL_LEFT: return duration_text(running ? f.seconds_left : -1);
    case COL_FINISHED: return std::to_string(port.tally.finished);
    case COL_FAILED: return std::to_string(port.tally.failed);
    case COL_LAST: return last_board_text(port.tally);
    case COL_MESSAGE: {
        // Between boards the message is the last board's.
        const bool between =
            station.is_station() && !running && station.phase(i) != PHASE_ENDED && port.tally.boards > 0;
        return fit(between ? port.tally.last_result.message : port.run.message, static_cast<size_t>(width));
    }
    }
    return "";
}

std::string row_of(const std::vector<Column>& columns, const std::vector<std::string>& cells) {
    std::string line;
    for (size_t c = 0; c < columns.size(); ++c) {
        if (c > 0) line += GAP;
        line += columns[c].id == COL_MESSAGE ? cells[c] : pad(cells[c], columns[c].width, columns[c].right);
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    return line;
}

std::string clock_text(uint32_t ms) {
    const unsigned elapsed = ms / 1000u;
    return format("%u:%02u", elapsed / 60, elapsed % 60);
}

// The status under the rows: the counts, then what the keys do or why the
// station holds.
std::vector<std::string> status_lines(const Station& station, uint32_t now) {
    const StationStatus s = station.status(now);
    const PortTally& all = s.all;
    if (!station.is_station()) {
        const char* stopping = s.running > 0 ? "stopping every port; Ctrl-C again ends them at once." : "all ended.";
        const char* what = s.stop == STOP_AT_ONCE ? "ending every port at once."
                           : s.stop != STOP_NONE  ? stopping
                                                  : "any key stops them all.";
        return {format("%s  %d running, %d finished, %d failed (%d stopped); %s", clock_text(s.elapsed_ms).c_str(),
                       s.running, all.finished, all.failed, all.stopped, what)};
    }
    std::vector<std::string> lines = {format("%s  %d ports, %d running; %d boards: %d finished, %d failed",
                                             clock_text(s.elapsed_ms).c_str(), s.ports, s.running, all.boards,
                                             all.finished, all.failed)};
    if (s.stop != STOP_NONE && s.running == 0) {
        lines.push_back("the station has stopped.");
    } else if (s.results_blocked) {
        lines.push_back("results.jsonl can not be written: " + s.results_reason + "; no new board until it can.");
    } else if (s.stop == STOP_GENTLE) {
        lines.push_back(format("stopping: %d board%s still running; q again or Ctrl-C stops them now.", s.running,
                               s.running == 1 ? "" : "s"));
    } else if (s.stop == STOP_NOW) {
        lines.push_back("stopping every port; Ctrl-C again ends them at once.");
    } else if (s.stop == STOP_AT_ONCE) {
        lines.push_back("ending every port at once.");
    } else if (s.crowded) {
        lines.push_back(format("as many devices as fwld-gang runs at once (%d): the rest wait.", s.slots));
    } else {
        lines.push_back("q stops the station; arrows or j/k select a port, x ends its run, p pauses it.");
    }
    return lines;
}

}  // namespace

std::string render_stage_line(const std::string& port, const PortRun& run, bool lines_reset) {
    return port + ": " + running_stage_name(run, lines_reset) + "\n";
}

std::string render_end_line(const std::string& port, const PortRun& run, int board) {
    const RunResult& r = run.result;
    const std::string who = board > 0 ? port + ": board " + std::to_string(board) : port + ":";
    const double seconds = r.seconds_ms / 1000.0;
    if (r.outcome == "finished") {
        return format("%s finished in %.1f s, %lld bytes, %lld records\n", who.c_str(), seconds,
                      static_cast<long long>(r.bytes_sent), static_cast<long long>(r.records_sent));
    }
    if (stage_word(r.stage) != nullptr) {
        return format("%s %s at %s after %.1f s: %s\n", who.c_str(), r.outcome.c_str(), stage_word(r.stage), seconds,
                      r.message.c_str());
    }
    return format("%s %s after %.1f s: %s\n", who.c_str(), r.outcome.c_str(), seconds, r.message.c_str());
}

std::vector<std::string> render_table(const Station& station, int width, int height, uint32_t now) {
    const std::vector<Column> columns = columns_for(station, width);
    const std::vector<std::string> status = status_lines(station, now);
    std::vector<int> rows;
    for (size_t i = 0; i < station.ports().size(); ++i) {
        if (station.ports()[i].listed) rows.push_back(static_cast<int>(i));
    }
    // Below the last line the cursor rests: that line too must be on the screen.
    const int room = std::max(height - 1 - 1 - static_cast<int>(status.size()), 0);
    const bool all_fit = static_cast<int>(rows.size()) <= room;
    const int shown = all_fit ? static_cast<int>(rows.size()) : std::max(room - 1, 0);
    const int selected_row =
        static_cast<int>(std::find(rows.begin(), rows.end(), station.selected()) - rows.begin());
    const bool below = selected_row < static_cast<int>(rows.size()) && selected_row >= shown;
    const int first = below ? selected_row - shown + 1 : 0;

    const size_t cut = static_cast<size_t>(std::max(width - 1, 1));
    std::vector<std::string> lines;
    std::vector<std::string> cells;
    for (const Column& c : columns) cells.push_back(c.header);
    lines.push_back(row_of(columns, cells).substr(0, cut));
    for (int r = first; r < first + shown; ++r) {
        const int i = rows[static_cast<size_t>(r)];
        cells.clear();
        for (const Column& c : columns) cells.push_back(cell(station, i, c.id, c.width, now));
        std::string line = row_of(columns, cells).substr(0, cut);
        // The selected row in reverse video, for the keys that act on one port.
        if (station.is_station() && i == station.selected()) line = "\x1b[7m" + line + "\x1b[27m";
        lines.push_back(line);
    }
    if (!all_fit) {
        int hidden = 0, running = 0, boards = 0, failed = 0;
        for (size_t r = 0; r < rows.size(); ++r) {
            if (static_cast<int>(r) >= first && static_cast<int>(r) < first + shown) continue;
            const int i = rows[r];
            ++hidden;
            running += station.phase(i) == PHASE_RUNNING ? 1 : 0;
            boards += station.ports()[static_cast<size_t>(i)].tally.boards;
            failed += station.ports()[static_cast<size_t>(i)].tally.failed;
        }
        lines.push_back(format("+ %d more ports: %d running; %d boards, %d failed", hidden, running, boards, failed)
                            .substr(0, cut));
    }
    for (const std::string& line : status) lines.push_back(line.substr(0, cut));
    return lines;
}

std::vector<std::string> render_summary(const Station& station, const std::string& log_dir) {
    size_t port_width = 4;
    for (const StationPort& port : station.ports()) port_width = std::max(port_width, port.name.size());
    const int pw = static_cast<int>(std::min<size_t>(port_width, PORT_WIDTH_MAX));
    std::vector<std::string> lines;
    const bool counts = station.is_station();
    if (counts) {
        lines.push_back(format("%-*s  %6s  %8s  %6s  %8s  %s\n", pw, "PORT", "BOARDS", "FINISHED", "FAILED", "MEAN",
                               "LAST BOARD"));
    } else {
        lines.push_back(format("%-*s  %-15s  %8s  %10s  %7s  %s\n", pw, "PORT", "OUTCOME", "TIME", "BYTES", "RECORDS",
                               "MESSAGE"));
    }
    PortTally all{};
    for (const StationPort& port : station.ports()) {
        const PortTally& t = port.tally;
        all.boards += t.boards;
        all.finished += t.finished;
        all.failed += t.failed;
        all.stopped += t.stopped;
        // The record of the run: the port's whole name.
        if (counts) {
            const std::string mean = t.timed > 0 ? format("%.1f s", static_cast<double>(t.board_ms) / 1000.0 / t.timed)
                                                 : "-";
            const std::string last =
                t.boards > 0 ? t.last_result.outcome + ": " + t.last_result.message : std::string("-");
            lines.push_back(format("%-*s  %6d  %8d  %6d  %8s  %s\n", pw, port.name.c_str(), t.boards, t.finished,
                                   t.failed, mean.c_str(), last.c_str()));
            continue;
        }
        const RunResult& r = port.run.result;
        const auto count = [](int64_t n) { return n < 0 ? std::string("-") : std::to_string(n); };
        lines.push_back(format("%-*s  %-15s  %8s  %10s  %7s  %s\n", pw, port.name.c_str(), r.outcome.c_str(),
                               format("%.1f s", r.seconds_ms / 1000.0).c_str(), count(r.bytes_sent).c_str(),
                               count(r.records_sent).c_str(), r.message.c_str()));
    }
    const size_t ports = station.ports().size();
    lines.push_back(format("%d board%s on %zu port%s: %d finished, %d failed (%d stopped). Logs in %s\n", all.boards,
                           all.boards == 1 ? "" : "s", ports, ports == 1 ? "" : "s", all.finished, all.failed,
                           all.stopped, log_dir.c_str()));
    return lines;
}
