// What fwld-gang shows: the figures derived from a port's state and the
// program file's layout, the live table's lines, the plain stage lines for
// a log, and the summary.
#include <cstdio>
#include <cstring>

#include "gang.h"

namespace {

// The rate needs a little history before it means anything.
constexpr uint32_t RATE_SPAN_MIN_MS = 500;

int step(int percent) { return percent < 0 ? 0 : percent >= PERCENT_STEPS ? PERCENT_STEPS - 1 : percent; }

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

const char* outcome_name(Stage stage) {
    switch (stage) {
    case STAGE_DONE: return "finished";
    case STAGE_STOPPED: return "stopped";
    default: return "failed";
    }
}

}  // namespace

PortFigures port_figures(const PortState& s, const ProgramLayout& layout, int32_t erase_wait_s, uint32_t now_ms) {
    PortFigures f{};
    f.elapsed_ms = (s.ended ? s.ended_ms : now_ms) - s.started_ms;
    f.percent = s.percent > 100 ? 100 : s.percent;
    f.records_per_s = -1;
    f.seconds_left = -1;
    f.bytes_sent = layout.known ? 0 : -1;
    if (s.stage == STAGE_ERASE) f.seconds_left = erase_wait_s > s.erase_elapsed ? erase_wait_s - s.erase_elapsed : 0;
    if (!layout.known) return f;
    if (s.stage == STAGE_DONE) {
        f.bytes_sent = layout.record_bytes;
        return f;
    }
    if (s.last_percent < 0) return f;
    const int first = step(s.first_percent);
    const int last = step(s.last_percent);
    f.bytes_sent = layout.bytes_at[last];
    const uint32_t span = s.last_percent_ms - s.first_percent_ms;
    const int32_t records = layout.records_at[last] - layout.records_at[first];
    if (s.stage != STAGE_PROGRAM || span < RATE_SPAN_MIN_MS || records <= 0) return f;
    f.records_per_s = records * 1000.0 / span;
    const double bytes_per_s = static_cast<double>(layout.bytes_at[last] - layout.bytes_at[first]) * 1000.0 / span;
    const double left = static_cast<double>(layout.record_bytes - layout.bytes_at[last]) / bytes_per_s -
                        (now_ms - s.last_percent_ms) / 1000.0;
    f.seconds_left = left > 0 ? static_cast<int32_t>(left + 0.5) : 0;
    return f;
}

void render_header(int port_width, char* out, size_t size) {
    std::snprintf(out, size, "%-*s  %-20s  %4s  %6s  %7s  %s", port_width, "PORT", "STAGE", "%", "REC/S", "LEFT",
                  "MESSAGE");
}

void render_port_line(const char* port, int port_width, const PortState& s, const PortFigures& f, char* out,
                      size_t size) {
    char name[GANG_TEXT_MAX], percent[16] = "-", rate[16] = "-", left[16];
    port_text(port, port_width, name, sizeof name);
    if (f.percent >= 0) std::snprintf(percent, sizeof percent, "%d%%", f.percent);
    if (f.records_per_s >= 0) std::snprintf(rate, sizeof rate, "%.0f", f.records_per_s);
    duration_text(f.seconds_left, left, sizeof left);
    std::snprintf(out, size, "%-*s  %-20s  %4s  %6s  %7s  %s", port_width, name, stage_name(s.stage), percent, rate,
                  left, s.message);
}

void render_stage_line(const char* port, const PortState& s, const PortFigures& f, char* out, size_t size) {
    switch (s.stage) {
    case STAGE_ERASE: std::snprintf(out, size, "%s: erase wait, %d s\n", port, f.seconds_left); break;
    case STAGE_DONE:
        std::snprintf(out, size, "%s: done in %.1f s, %lld bytes\n", port, f.elapsed_ms / 1000.0,
                      static_cast<long long>(f.bytes_sent));
        break;
    case STAGE_FAILED:
    case STAGE_STOPPED: std::snprintf(out, size, "%s: %s: %s\n", port, stage_name(s.stage), s.message); break;
    default: std::snprintf(out, size, "%s: %s\n", port, stage_name(s.stage)); break;
    }
}

void render_summary_header(int port_width, char* out, size_t size) {
    std::snprintf(out, size, "%-*s  %-8s  %8s  %10s  %s\n", port_width, "PORT", "OUTCOME", "TIME", "BYTES", "MESSAGE");
}

void render_summary_line(const char* port, int port_width, const PortState& s, const PortFigures& f, char* out,
                         size_t size) {
    // The record of the run: the port's whole name.
    char bytes[24] = "-", time[16];
    if (f.bytes_sent >= 0) std::snprintf(bytes, sizeof bytes, "%lld", static_cast<long long>(f.bytes_sent));
    std::snprintf(time, sizeof time, "%.1f s", f.elapsed_ms / 1000.0);
    std::snprintf(out, size, "%-*s  %-8s  %8s  %10s  %s\n", port_width, port, outcome_name(s.stage), time, bytes,
                  s.message);
}
