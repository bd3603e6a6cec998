// fwld-bench-target: a small, fast target for timing fwld's program stage.
//
// One thread, one poll() loop on the master side of a pty it creates. It
// answers the first password with "Ready ok." and 'G', takes "Loader", the
// 80-byte loader records and the end marker, then sends 'H' for each program
// record and times the turnaround: from just before the 'H' is written to
// the arrival of the record's last byte, both on CLOCK_MONOTONIC. It checks
// the framing of everything it receives and stops at the first fault.
//
//   fwld-bench-target [--id N] [--silent] [--timeout S]
//
// Prints "device: PATH" first, "event NAME" lines as the run passes its
// landmarks (first-byte, first-h, first-record), and at the end one
// "name value" line per figure. Exit status 0 when every record arrived
// well framed, 1 on a framing fault or the timeout, 2 for a bad command line.
// --silent never answers: it only reads, for idle measurements.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace {

constexpr size_t LOADER_RECORD = 80;
constexpr char END_MARKER[] = "Finish Boot File";
constexpr int MAX_COUNT = 126;
// What may follow 'E': fwld closes the port, so anything here is a fault.
constexpr int AFTER_E_WATCH_MS = 50;

int64_t now_ns() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

struct Options {
    int id = 0;
    bool silent = false;
    int timeout_s = 600;
};

enum class Stage { WakeUp, AwaitLoader, Loader, Program, Done };

struct Target {
    Options opt;
    int fd = -1;
    Stage stage = Stage::WakeUp;
    std::string password;
    std::string text;  // wake-up bytes since the last landmark
    int passwords = 0;

    unsigned char loader_record[LOADER_RECORD] = {};
    size_t loader_fill = 0;
    int loader_records = 0;

    unsigned char record[2 + MAX_COUNT] = {};
    size_t record_fill = 0;
    bool h_outstanding = false;
    int64_t h_at = 0;
    int64_t first_h_at = 0;
    int64_t last_record_at = 0;
    std::vector<int64_t> turnarounds;
    long records = 0;
    long record_bytes = 0;
    uint64_t digest = 1469598103934665603ull;  // FNV-1a over the records

    std::string fault;
    bool seen_first_byte = false;
};

void say(const char* line) {
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

bool write_all(int fd, const void* data, size_t count) {
    const auto* p = static_cast<const unsigned char*>(data);
    while (count > 0) {
        const ssize_t n = write(fd, p, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

void send_h(Target* t) {
    t->h_at = now_ns();
    if (t->first_h_at == 0) t->first_h_at = t->h_at;
    t->h_outstanding = true;
    if (!write_all(t->fd, "H", 1)) t->fault = "cannot write H";
}

// Anything before "Loader" once acknowledged must be whole passwords that
// were already on their way.
bool only_passwords(const std::string& text, const std::string& password) {
    if (text.size() % password.size() != 0) return false;
    for (size_t i = 0; i < text.size(); i += password.size())
        if (text.compare(i, password.size(), password) != 0) return false;
    return true;
}

void take_wakeup_byte(Target* t, unsigned char c) {
    t->text.push_back(static_cast<char>(c));
    if (t->stage == Stage::WakeUp) {
        // The reset sentence and line noise may come first; the first whole
        // password is acknowledged.
        if (t->text.size() >= t->password.size() &&
            t->text.compare(t->text.size() - t->password.size(), t->password.size(), t->password) == 0) {
            ++t->passwords;
            if (!write_all(t->fd, "Ready ok.", 9) || !write_all(t->fd, "G", 1)) t->fault = "cannot acknowledge";
            t->text.clear();
            t->stage = Stage::AwaitLoader;
        }
        if (t->text.size() > 4096) t->fault = "no password in the first 4096 bytes";
        return;
    }
    const std::string loader = "Loader";
    if (t->text.size() >= loader.size() && t->text.compare(t->text.size() - loader.size(), loader.size(), loader) == 0) {
        const std::string before = t->text.substr(0, t->text.size() - loader.size());
        if (!only_passwords(before, t->password)) t->fault = "bytes other than passwords before \"Loader\"";
        t->passwords += static_cast<int>(before.size() / t->password.size());
        t->text.clear();
        t->stage = Stage::Loader;
    } else if (t->text.size() > 4096) {
        t->fault = "no \"Loader\" after the acknowledgement";
    }
}

void take_loader_byte(Target* t, unsigned char c) {
    t->loader_record[t->loader_fill++] = c;
    if (t->loader_fill < LOADER_RECORD) return;
    t->loader_fill = 0;
    if (std::memcmp(t->loader_record, END_MARKER, sizeof END_MARKER - 1) == 0) {
        for (size_t i = sizeof END_MARKER - 1; i < LOADER_RECORD; ++i)
            if (t->loader_record[i] != 0) t->fault = "end marker not padded with zero bytes";
        t->stage = Stage::Program;
        send_h(t);
        say("event first-h");
        return;
    }
    ++t->loader_records;
}

size_t record_length(const Target& t) {
    if (t.record[0] == 'E') return 1;
    return t.record_fill < 2 ? 2 : 2 + static_cast<size_t>(t.record[1]);
}

void record_complete(Target* t, int64_t arrived) {
    t->turnarounds.push_back(arrived - t->h_at);
    t->last_record_at = arrived;
    t->h_outstanding = false;
    if (t->records == 0) say("event first-record");
    ++t->records;
    t->record_bytes += static_cast<long>(t->record_fill);
    for (size_t i = 0; i < t->record_fill; ++i) {
        t->digest ^= t->record[i];
        t->digest *= 1099511628211ull;
    }
    const bool end = t->record[0] == 'E';
    t->record_fill = 0;
    t->stage = end ? Stage::Done : t->stage;
}

void take_program_byte(Target* t, unsigned char c, int64_t arrived) {
    if (t->record_fill == 0) {
        if (!t->h_outstanding) {
            t->fault = "record bytes without an H";
            return;
        }
        if (c != 'S' && c != 'E') {
            char what[64];
            std::snprintf(what, sizeof what, "byte 0x%02X where a record should start", c);
            t->fault = what;
            return;
        }
    }
    t->record[t->record_fill++] = c;
    if (t->record_fill == 2 && t->record[0] == 'S' && c > MAX_COUNT) {
        t->fault = "record count above 126";
        return;
    }
    if (t->record_fill == record_length(*t)) record_complete(t, arrived);
}

// Takes one read's worth of bytes; 'H' goes out only once the buffer holds
// no more, so a record sent without being asked for is caught.
void take_bytes(Target* t, const unsigned char* bytes, size_t count, int64_t arrived) {
    if (!t->seen_first_byte && count > 0) {
        t->seen_first_byte = true;
        say("event first-byte");
    }
    if (t->opt.silent) return;
    for (size_t i = 0; i < count && t->fault.empty(); ++i) {
        switch (t->stage) {
        case Stage::WakeUp:
        case Stage::AwaitLoader: take_wakeup_byte(t, bytes[i]); break;
        case Stage::Loader: take_loader_byte(t, bytes[i]); break;
        case Stage::Program: take_program_byte(t, bytes[i], arrived); break;
        case Stage::Done: t->fault = "bytes after the E record"; break;
        }
    }
    if (t->fault.empty() && t->stage == Stage::Program && !t->h_outstanding && t->record_fill == 0) send_h(t);
}

bool open_pty(Target* t, int* held_slave, std::string* path) {
    t->fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (t->fd < 0 || grantpt(t->fd) != 0 || unlockpt(t->fd) != 0) return false;
    char name[128];
    if (ptsname_r(t->fd, name, sizeof name) != 0) return false;
    *path = name;
    // Held open, so the line never reads as hung up before fwld opens it.
    *held_slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (*held_slave < 0) return false;
    termios tio{};
    if (tcgetattr(*held_slave, &tio) != 0) return false;
    cfmakeraw(&tio);
    return tcsetattr(*held_slave, TCSANOW, &tio) == 0;
}

int64_t percentile(std::vector<int64_t> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(share * static_cast<double>(values.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}

void print_figures(const Target& t) {
    const double transfer_s = static_cast<double>(t.last_record_at - t.first_h_at) / 1e9;
    std::printf("passwords %d\n", t.passwords);
    std::printf("loader_records %d\n", t.loader_records);
    std::printf("records %ld\n", t.records);
    std::printf("record_bytes %ld\n", t.record_bytes);
    std::printf("digest %016llx\n", static_cast<unsigned long long>(t.digest));
    std::printf("transfer_s %.6f\n", transfer_s);
    std::printf("records_per_s %.1f\n", transfer_s > 0 ? static_cast<double>(t.records) / transfer_s : 0.0);
    std::printf("turnaround_median_us %.1f\n", static_cast<double>(percentile(t.turnarounds, 0.5)) / 1e3);
    std::printf("turnaround_p99_us %.1f\n", static_cast<double>(percentile(t.turnarounds, 0.99)) / 1e3);
    std::printf("turnaround_max_us %.1f\n", static_cast<double>(percentile(t.turnarounds, 1.0)) / 1e3);
    std::printf("verdict %s\n", t.fault.empty() && t.stage == Stage::Done ? "ok" : "fault");
    if (!t.fault.empty()) std::printf("fault %s\n", t.fault.c_str());
    std::fflush(stdout);
}

bool parse(int argc, char** argv, Options* opt) {
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--silent") {
            opt->silent = true;
        } else if ((a == "--id" || a == "--timeout") && i + 1 < argc) {
            char* end = nullptr;
            const long v = std::strtol(argv[++i], &end, 10);
            if (*end != '\0' || v < 0) return false;
            (a == "--id" ? opt->id : opt->timeout_s) = static_cast<int>(v);
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Target t;
    if (!parse(argc, argv, &t.opt)) {
        std::fputs("usage: fwld-bench-target [--id N] [--silent] [--timeout S]\n", stderr);
        return 2;
    }
    t.password = t.opt.id == 0 ? "Wake up now." : "Wake up now" + std::to_string(t.opt.id);
    t.turnarounds.reserve(16384);
    int held_slave = -1;
    std::string path;
    if (!open_pty(&t, &held_slave, &path)) {
        std::fprintf(stderr, "fwld-bench-target: no pty: %s\n", std::strerror(errno));
        return 2;
    }
    say(("device: " + path).c_str());

    const int64_t give_up = now_ns() + static_cast<int64_t>(t.opt.timeout_s) * 1000000000;
    int64_t done_at = 0;
    unsigned char buffer[4096];
    while (t.fault.empty()) {
        const int64_t now = now_ns();
        if (now >= give_up) {
            t.fault = "timed out";
            break;
        }
        int64_t until = give_up;
        if (t.stage == Stage::Done) {
            if (done_at == 0) done_at = now;
            until = done_at + AFTER_E_WATCH_MS * 1000000LL;
            if (now >= until) break;
        }
        pollfd p{t.fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>((until - now + 999999) / 1000000));
        if (ready < 0 && errno != EINTR) t.fault = std::string("poll: ") + std::strerror(errno);
        if (ready <= 0) continue;
        const ssize_t got = read(t.fd, buffer, sizeof buffer);
        const int64_t arrived = now_ns();
        if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (got <= 0) {
            t.fault = "line lost";
            break;
        }
        take_bytes(&t, buffer, static_cast<size_t>(got), arrived);
    }
    print_figures(t);
    close(held_slave);
    close(t.fd);
    return t.fault.empty() && t.stage == Stage::Done ? 0 : 1;
}
