// Port recovery and drain waiting shared by the stages.
#include "clock.h"
#include "console.h"
#include "idle_wait.h"
#include "port.h"

bool port_answers(int port) {
    // Traffic since the last look has shown the device alive: no need to ask.
    return port_known_alive(port) || port_is_healthy(port) != 0;
}

bool ensure_port_healthy(int port) {
    if (port_answers(port)) return true;
    if (port_reopen(port) == 0 && port_is_healthy(port)) return true;
    if (!key_waiting()) idle_wait(port, WAKE_ON_KEY, REOPEN_RETRY_MS);
    return false;
}

void wait_for_drain(int port) {
    while (!port_output_drained(port)) clock_sleep_ms(DRAIN_POLL_MS);
}

bool drained_on_healthy_port(int port) {
    wait_for_drain(port);
    return port_is_healthy(port) != 0;
}
