// fwld: rewrites a target's flash over a serial line.
#include <csignal>
#include <cstdio>

#include "console.h"
#include "port_advice.h"
#include "restore.h"
#include "settings.h"
#include "stages.h"

namespace {

// A signal's own default action: the process ends (or, for Ctrl-Z, stops)
// as it would have without us, so the shell sees the real cause. Only a
// main ends the process.
void take_default_action(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

}  // namespace

int main(int argc, char** argv) {
    restore_install(take_default_action);
    console_prepare();
    const InfoRequest info = info_request(argc, argv);
    if (info == VERSION_REQUEST) {
        print_version();
        return 0;
    }
    if (info == LIST_REQUEST) {
        print_serial_ports(stdout);
        return 0;
    }
    if (info == CHECK_REQUEST) return check_arguments(argc - 1, argv + 1);
    print_banner_and_usage();
    if (info == HELP_REQUEST) {
        print_help();
        return 0;
    }
    RunSettings settings;
    if (!read_command_line(argc, argv, &settings, nullptr)) return 1;
    RunFiles files{};
    const int status = end_run(settings, run_stages(settings, &files));
    // A run an ending signal ended: everything put back, then the signal.
    if (restore_ending_signal() != 0) {
        restore_all();
        take_default_action(restore_ending_signal());
    }
    return status;
}
