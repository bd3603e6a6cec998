// How a stage ended. The stages never end the process themselves: they
// return an outcome, and end_run alone closes the port, writes the last
// message, the result record and the end event, and gives the exit status
// that main returns.
#pragma once
#include <cstdint>

enum RunEnd : uint8_t {
    RUN_GOES_ON,      // the stage is done; the next one follows
    RUN_FINISHED,     // every record went out: "Finish version up.", exit 0
    RUN_INTERRUPTED,  // a key: "Interruption.", the drain, the close, exit 1
    RUN_ABANDONED,    // a key while the passwords went out: the close, exit 1, nothing said
    RUN_STOPPED,      // a fatal stop: its message, exit 1
    RUN_BROKEN,       // the break (Windows Ctrl-C): the close, nothing said, the system's status
};

// What stopped a run, in the result log's words.
enum StopKind : uint8_t {
    STOP_BAD_FILE,         // an input file does not open, is damaged or cannot be read
    STOP_PORT_NOT_OPENED,
    STOP_TARGET_ERROR,     // the target reported an error
    STOP_LINE_FAILED,      // the line failed the transfer, or refused a speed
    STOP_FILE_CHANGED,     // the program file changed while it was sent
    STOP_TARGET_SILENT,    // the target sent nothing for the time TO allows
    STOP_BOARD_REMOVED,    // RM: the board's device went after the target answered
};

struct RunOutcome {
    RunEnd end;
    StopKind kind;         // RUN_STOPPED only
    bool close_port;       // RUN_STOPPED: close the port before the message
    const char* message;   // RUN_STOPPED: printed between line feeds
    const char* recorded;  // RUN_STOPPED: what the result log says, when it says more; nullptr: the message
};

inline RunOutcome run_goes_on() { return RunOutcome{RUN_GOES_ON, STOP_BAD_FILE, false, nullptr, nullptr}; }
inline RunOutcome run_ended(RunEnd end) { return RunOutcome{end, STOP_BAD_FILE, false, nullptr, nullptr}; }
// A fatal stop; the messages must outlive the run (literals, or static text).
inline RunOutcome run_stopped(StopKind kind, const char* message, bool close_port, const char* recorded = nullptr) {
    return RunOutcome{RUN_STOPPED, kind, close_port, message, recorded};
}
inline bool goes_on(const RunOutcome& outcome) { return outcome.end == RUN_GOES_ON; }
