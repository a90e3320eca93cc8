// How the daemon tells whoever started it that it serves.
//
// Started plainly (no -d, no service manager waiting for it) the daemon
// detaches, and the starting command returns only once the daemon serves:
// its sockets bound and its pid file written (exit status 0).  A daemon that
// ends before that makes the starting command end with its exit status and
// show on standard error what the daemon logged until then.
//
// Under a service manager that waits for a readiness message (NOTIFY_SOCKET
// set, as for a systemd unit of Type=notify) the daemon stays in the
// foreground, so that it is the process the manager started and no other
// process needs to speak for it, and sends "READY=1" at the same point and
// "STOPPING=1" when it stops.
#pragma once

// Detaches unless the daemon stays in the foreground (-d, or NOTIFY_SOCKET
// set).  The starting process never returns from here.  In the detached one
// standard input and output are /dev/null and standard error, with a copy of
// every log line, goes to the starting process until service_ready().
// 0 in the process that goes on; -1 when it cannot detach (message on
// standard error).
int service_start();

// The daemon serves: the starting process exits 0 (standard error becomes
// /dev/null and log lines are no longer copied), and the service manager
// gets "READY=1" with the daemon's pid as MAINPID.
void service_ready();

// The daemon stops: "STOPPING=1" to the service manager.
void service_stopping();
