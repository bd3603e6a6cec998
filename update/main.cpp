// fwld: rewrites a target's flash over a serial line.
#include "console.h"
#include "settings.h"
#include "stages.h"

int main(int argc, char** argv) {
    console_prepare_streams();
    print_banner_and_usage();
    RunSettings settings;
    const char* refusal = parse_command_line(argc, argv, &settings);
    if (refusal != nullptr) fatal_stop(refusal);
    RunFiles files{};
    start_run(settings, &files);
    wake_target(settings);
    send_loader(settings, files);
    return send_program(settings, &files);
}
