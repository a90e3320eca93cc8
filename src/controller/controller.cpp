// Placeholder until the controller loop lands: waits for SIGINT or SIGTERM so
// that the daemon starts, runs and stops cleanly.
#include "controller/controller.h"

#include <signal.h>

#include "daemon/syslog.h"

int controller_module_setup() { return 0; }

int controller_thread_loop()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int sig = 0;
    sigwait(&set, &sig);
    log_notice("controller_thread_loop", "Exit...");
    return 0;
}

void controller_module_teardown() {}
