// The benchmark's plumbing: input files, port names (COM numbers under
// Wine), processor time from /proc and the processes of a Wine run.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "bench.h"

namespace bench {

namespace {

constexpr int RECORD_DATA = 126;
// COM1 to COM9 belong to the machine in a fresh prefix; the test bed takes
// its numbers from the same range with the same lock files, so a test run in
// the same prefix never shares one with the benchmark.
constexpr int FIRST_COM = 10;
constexpr int LAST_COM = 31;

// Deterministic filler, so every run sends the same bytes.
std::string program_file(int records) {
    std::string out;
    out.reserve(static_cast<size_t>(records) * (RECORD_DATA + 2) + 1);
    uint32_t state = 2463534242u;
    for (int r = 0; r < records; ++r) {
        out += 'S';
        out += static_cast<char>(RECORD_DATA);
        for (int i = 0; i < RECORD_DATA; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            out += static_cast<char>(state & 0xFF);
        }
    }
    return out + "E";
}

std::string read_text(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Fields after the command name in /proc/PID/stat, from "state" on.
std::vector<std::string> stat_fields(pid_t pid, std::string* comm) {
    const std::string text = read_text("/proc/" + std::to_string(pid) + "/stat");
    const size_t open = text.find('(');
    const size_t close = text.rfind(')');
    if (open == std::string::npos || close == std::string::npos) return {};
    if (comm != nullptr) *comm = text.substr(open + 1, close - open - 1);
    std::istringstream rest(text.substr(close + 1));
    std::vector<std::string> fields;
    for (std::string f; rest >> f;) fields.push_back(f);
    return fields;
}

bool environ_has(pid_t pid, const std::string& entry) {
    const std::string env = read_text("/proc/" + std::to_string(pid) + "/environ");
    size_t start = 0;
    while (start < env.size()) {
        size_t end = env.find('\0', start);
        if (end == std::string::npos) end = env.size();
        if (env.compare(start, end - start, entry) == 0) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

std::string records_digest(const std::string& program_path) {
    const std::string text = read_text(program_path);
    uint64_t digest = 1469598103934665603ull;
    auto take = [&](unsigned char c) {
        digest ^= c;
        digest *= 1099511628211ull;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c == 'E') {
            take(c);
        } else if (c == 'S' && i + 1 < text.size()) {
            const size_t length = 2 + static_cast<unsigned char>(text[i + 1]);
            for (size_t k = 0; k < length && i + k < text.size(); ++k) take(static_cast<unsigned char>(text[i + k]));
            i += length - 1;
        }
    }
    char shown[24];
    std::snprintf(shown, sizeof shown, "%016" PRIx64, digest);
    return shown;
}

void make_input_files(Workbench* wb) {
    std::string loader(800, '\0');
    for (size_t i = 0; i < loader.size(); ++i) loader[i] = static_cast<char>((i * 37 + 11) & 0xFF);
    wb->loader = testbed::write_file(wb->dir + "/loader.bin", loader);
    wb->program_1m = testbed::write_file(wb->dir + "/program-1m.rec", program_file(8192));
    wb->program_64k = testbed::write_file(wb->dir + "/program-64k.rec", program_file(512));
    wb->program_16k = testbed::write_file(wb->dir + "/program-16k.rec", program_file(128));
    wb->program_tiny = testbed::write_file(wb->dir + "/program-tiny.rec", program_file(1));
    wb->digest_1m = records_digest(wb->program_1m);
}

void keep_log(const Workbench& wb, const std::string& name, const std::string& text) {
    const std::string path = wb.log_dir + "/" + name + ".log";
    testbed::write_file(path, text);
    std::fprintf(stderr, "  (output kept in %s)\n", path.c_str());
}

std::vector<std::string> fwld_argv(const Flavour& f, const std::vector<std::string>& args,
                                   const std::vector<std::string>& wrapper) {
    // Messages on the terminal, as when an operator runs it: the progress
    // line costs what it costs on a console (and under Wine goes through the
    // console host). Standard output, which only gets the usage text, stays
    // on its pipe: the test bed drains the terminal while that is open.
    std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" \"$@\" 2>/dev/tty"};
    argv.insert(argv.end(), wrapper.begin(), wrapper.end());
    argv.insert(argv.end(), f.command.begin(), f.command.end());
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

PortName::PortName(const Flavour& f, const std::string& device, const std::string& baud) {
    if (!f.is_wine()) {
        p5_ = device + ":" + baud;
        return;
    }
    const std::string folder = f.wine_prefix + "/dosdevices";
    for (int n = FIRST_COM; n <= LAST_COM; ++n) {
        const std::string lock = folder + "/.fwld-test-com" + std::to_string(n) + ".lock";
        const int fd = open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) throw std::runtime_error(lock + ": " + std::strerror(errno));
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            close(fd);
            continue;
        }
        lock_fd_ = fd;
        link_ = folder + "/com" + std::to_string(n);
        const std::string temporary = link_ + ".new";
        unlink(temporary.c_str());
        if (symlink(device.c_str(), temporary.c_str()) != 0 || rename(temporary.c_str(), link_.c_str()) != 0)
            throw std::runtime_error(link_ + ": " + std::strerror(errno));
        p5_ = std::to_string(n) + ":" + baud;
        return;
    }
    throw std::runtime_error("no free COM number between 10 and 31");
}

PortName::~PortName() {
    if (lock_fd_ < 0) return;
    unlink(link_.c_str());
    close(lock_fd_);
}

CpuTime process_cpu(pid_t pid) {
    CpuTime cpu;
    const std::vector<std::string> fields = stat_fields(pid, nullptr);
    // utime and stime are fields 14 and 15 of the file, 12 and 13 from "state" on.
    if (fields.size() > 12) {
        const double ticks = std::stod(fields[11]) + std::stod(fields[12]);
        cpu.stat_s = ticks / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR* dir = opendir(tasks.c_str());
    if (dir == nullptr) return cpu;
    double run_ns = 0;
    bool any = false;
    while (const dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        unsigned long long ns = 0;
        if (std::sscanf(read_text(tasks + "/" + entry->d_name + "/schedstat").c_str(), "%llu", &ns) == 1) {
            run_ns += static_cast<double>(ns);
            any = true;
        }
    }
    closedir(dir);
    if (any) cpu.sched_s = run_ns / 1e9;
    return cpu;
}

WineProcesses find_wine_processes(pid_t fwld_pid, const std::string& prefix) {
    WineProcesses found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) return found;
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end != '\0' || pid <= 0) continue;
        std::string comm;
        const std::vector<std::string> fields = stat_fields(static_cast<pid_t>(pid), &comm);
        if (fields.size() < 4) continue;
        // Wine starts the console host and the desktop process in the
        // session of the program that needs them.
        const bool in_session = std::stol(fields[3]) == fwld_pid;
        if (comm == "conhost.exe" && in_session) found.conhost = static_cast<pid_t>(pid);
        if (comm == "explorer.exe" && in_session) found.explorer = static_cast<pid_t>(pid);
        if (comm.rfind("wineserver", 0) == 0 && environ_has(static_cast<pid_t>(pid), "WINEPREFIX=" + prefix))
            found.server = static_cast<pid_t>(pid);
    }
    closedir(proc);
    return found;
}

}  // namespace bench
