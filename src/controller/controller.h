// The controller: one select() loop that announces the local nodes, applies
// every datagram it hears and serves the control port.
#pragma once

// Allocates the lists and installs the signal handlers.  0, or -1/-2/-3 when
// a list cannot be allocated.
int controller_module_setup();
// Runs until an exit is requested: 0; -1 when the loop cannot start.
int controller_thread_loop();
void controller_module_teardown();
