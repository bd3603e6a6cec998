// The target's end of the serial line: the master side of a pty it creates
// (with the slave held open, so the line never reads as hung up while the
// tool is away) or a real serial device. Every wait blocks in ppoll() on the
// line, a stop event and, for a pty, an inotify watch that tells when the
// tool opens or closes the slave.
//
// Used by one protocol thread; request_stop() and slave_path() may be called
// from any thread.
#pragma once
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>

namespace sim {

using Clock = std::chrono::steady_clock;

// The tool's DTR and RTS as the modem-line stand-in reported them, and when
// it changed them (its CLOCK_MONOTONIC, which is this Clock).
struct LineState {
    bool dtr = true;
    bool rts = true;
    Clock::time_point at{};
};

// Thrown out of any wait once request_stop() was called.
struct LineStopped {};
// Thrown when the line itself failed (device gone, read error, replug failed).
struct LineLost {
    std::string why;
};

class TargetLine {
public:
    TargetLine();
    ~TargetLine();
    TargetLine(const TargetLine&) = delete;
    TargetLine& operator=(const TargetLine&) = delete;

    // A fresh pty in raw mode at `baud`; when `link` is not empty, a symlink
    // there names the slave (replaced atomically if it exists).
    bool open_pty(const std::string& link, long baud, std::string* error);
    // A real device, raw 8N1 at `baud` without flow control.
    bool open_device(const std::string& path, long baud, std::string* error);
    void close();

    bool is_pty() const { return pty_; }
    std::string slave_path() const;
    const std::string& link_path() const { return link_; }
    long baud() const { return baud_; }
    // The speed the line really runs at: on a pty, whatever the tool's side
    // set last (both ends share one set of line settings); 0 when unknown.
    long line_baud() const;

    // Line-rate model: pace both directions at the line's baud, 10 bits per
    // byte. Off by default; a real device paces itself.
    void set_rate_model(bool on) { rate_model_ = on; }

    void request_stop();

    // Next byte from the tool, -1 when the deadline passed first. `when` gets
    // its arrival time (with the rate model: when its last bit is through).
    // With close_mark >= 0: -2 once tool_closes() exceeds it and nothing is
    // left to read.
    int get(Clock::time_point deadline, Clock::time_point* when = nullptr, int close_mark = -1);
    void put(const void* data, size_t count);
    void put(const std::string& text) { put(text.data(), text.size()); }
    // Waits, still taking in what arrives.
    void sleep_until(Clock::time_point deadline);
    // Waits for request_stop() and reads nothing meanwhile: the line holds
    // whatever the tool sends, as one whose target has hung.
    void hold_until_stopped();
    void sleep_for(std::chrono::milliseconds d) { sleep_until(Clock::now() + d); }

    // New baud for our side. A device drains its output first and then
    // switches; a pty shares its settings with the tool, so only the rate
    // model follows.
    void change_speed(long baud);

    // Pulls the plug: hangs up the pty (bytes that came in but were not
    // taken yet are lost with it), leaves the link missing for
    // `unplugged`, then publishes a fresh pty there and waits (up to
    // `reopen_timeout`) for the tool to open it, plus `settle` for the tool
    // to finish setting it up.
    void replug(std::chrono::milliseconds unplugged, std::chrono::milliseconds reopen_timeout,
                std::chrono::milliseconds settle);

    // Listens for the stand-in's reports of the tool's DTR and RTS
    // (tests/modem_lines): a UNIX datagram socket in `folder` named after
    // the slave, its path without "/dev/" and with '/' made '-' ("pts-7"),
    // made again for each new pty. pty only.
    bool listen_lines(const std::string& folder, std::string* error);
    // Called on the protocol thread, from within any wait, with each report.
    // A report sent before the tool wrote a byte is handed over before
    // get() returns that byte.
    void on_lines(std::function<void(const LineState&)> handler) { lines_handler_ = std::move(handler); }
    // Hands over every report already sent; for the owner once the protocol
    // thread is gone.
    void take_pending_lines() {
        if (lines_fd_ >= 0) read_lines();
    }

    // Forgets what came in but was not taken yet, as a board taken out
    // loses it.
    void drop_input() { rx_.clear(); }

    // How often something other than us opened / closed the slave.
    int tool_opens() const { return opens_.load(); }
    int tool_closes() const { return closes_.load(); }

private:
    struct Rx {
        uint8_t byte;
        Clock::time_point due;
    };
    bool create_pty(std::string* error);
    bool publish_link(std::string* error);
    void drop_pty();
    // One ppoll round: reads input into rx_, handles watch events. Returns
    // at the deadline or after something happened.
    void pump(Clock::time_point deadline, bool want_output = false);
    void read_input();
    void read_watch();
    bool bind_lines(std::string* error);
    void close_lines();
    void read_lines();
    Clock::duration byte_time() const;
    void write_raw(const uint8_t* data, size_t count);

    int fd_ = -1;        // master or device
    int held_slave_ = -1;
    int stop_fd_ = -1;   // eventfd
    std::atomic<bool> stopping_{false};
    int watch_fd_ = -1;  // inotify
    int watch_ = -1;
    bool pty_ = false;
    bool rate_model_ = false;
    long baud_ = 9600;
    std::string link_;
    std::string link_target_;  // what we last pointed the link at
    mutable std::mutex path_mutex_;
    std::string slave_path_;
    std::deque<Rx> rx_;
    Clock::time_point rx_line_free_{};
    Clock::time_point tx_line_free_{};
    std::string lines_folder_;
    std::string lines_path_;  // the socket's path, removed with it
    int lines_fd_ = -1;
    std::function<void(const LineState&)> lines_handler_;
    std::atomic<int> opens_{0};   // read by other threads too
    std::atomic<int> closes_{0};
};

// speed_t value for a standard baud rate; false when there is none.
bool baud_to_speed(long baud, unsigned* speed);

}  // namespace sim
