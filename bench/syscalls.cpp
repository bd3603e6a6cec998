// System call counts as strace and perf report them, and the groups the
// benchmark shows them in.
#include <cstdlib>
#include <sstream>

#include "bench.h"

namespace bench {

namespace {

const char* const WAIT_CALLS[] = {"poll",       "ppoll",       "select",    "pselect6",
                                  "epoll_wait", "epoll_pwait", "nanosleep", "clock_nanosleep"};
const char* const READ_CALLS[] = {"read", "readv", "pread64"};
const char* const WRITE_CALLS[] = {"write", "writev", "pwrite64"};

std::vector<std::string> words_of(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

std::vector<std::string> fields_of(const std::string& line, char separator) {
    std::vector<std::string> fields;
    std::istringstream in(line);
    for (std::string f; std::getline(in, f, separator);) fields.push_back(f);
    return fields;
}

}  // namespace

const char* const CALL_KIND_NAMES[CALL_KIND_COUNT] = {"wait", "read", "write", "ioctl", "other"};

CallKind kind_of(const std::string& call) {
    for (const char* c : WAIT_CALLS)
        if (call == c) return CALL_WAIT;
    for (const char* c : READ_CALLS)
        if (call == c) return CALL_READ;
    for (const char* c : WRITE_CALLS)
        if (call == c) return CALL_WRITE;
    return call == "ioctl" ? CALL_IOCTL : CALL_OTHER;
}

std::map<std::string, double> strace_counts(const std::string& summary) {
    std::map<std::string, double> counts;
    std::istringstream in(summary);
    for (std::string line; std::getline(in, line);) {
        const std::vector<std::string> w = words_of(line);
        // "% time  seconds  usecs/call  calls  [errors]  syscall"
        if (w.size() < 5 || w.back() == "total" || w.back() == "syscall") continue;
        if (w[0].find_first_not_of("0123456789.") != std::string::npos) continue;
        counts[w.back()] += std::atof(w[3].c_str());
    }
    return counts;
}

std::string perf_events() {
    std::string events = "raw_syscalls:sys_enter,syscalls:sys_enter_ioctl";
    auto add = [&](const char* call) { events += std::string(",syscalls:sys_enter_") + call; };
    for (const char* c : WAIT_CALLS) add(c);
    for (const char* c : READ_CALLS) add(c);
    for (const char* c : WRITE_CALLS) add(c);
    return events;
}

std::map<std::string, double> perf_counts(const std::string& csv) {
    const std::string by_name = "syscalls:sys_enter_";
    std::map<std::string, double> counts;
    double all = 0, named = 0;
    std::istringstream in(csv);
    for (std::string line; std::getline(in, line);) {
        // "count,unit,event,..."; comments start with '#'
        const std::vector<std::string> f = fields_of(line, ',');
        if (f.size() < 3 || f[0].empty() || f[0][0] == '#') continue;
        const double n = std::atof(f[0].c_str());
        if (f[2] == "raw_syscalls:sys_enter") {
            all = n;
        } else if (f[2].rfind(by_name, 0) == 0 && n > 0) {
            counts[f[2].substr(by_name.size())] = n;
            named += n;
        }
    }
    if (all > named) counts["(other)"] = all - named;
    return counts;
}

}  // namespace bench
