// The controller: one select() loop that announces the local nodes, applies
// every datagram it hears and serves the control port.
#pragma once

// Set by controller_module_setup, cleared by controller_module_teardown.
extern int controller_module_initialized;

// Allocates the lists, installs the signal handlers (SIGINT/SIGTERM stop,
// SIGHUP reload, SIGUSR1 ping now, SIGPIPE ignored), zeroes the receive
// counters and starts the timers.  Asserts not yet set up.  0, or -1/-2/-3
// when the local-node, unicast-host or multicast-group list cannot be
// allocated (the lists allocated before are freed again).
int controller_module_setup();
// Opens the UDP and CTRL sockets (joining the multicast groups in multicast
// mode): from here on datagrams and connections wait for the loop.  0, or -1
// (logged; whatever was opened is closed again).  Asserts set up and not yet
// listening.
int controller_listen();
// Runs the loop on the sockets of controller_listen() until an exit is
// requested or a receive fails: 0.  Sockets and connections are closed on
// return.
int controller_thread_loop();
// Frees the three lists; asserts set up.
void controller_module_teardown();
