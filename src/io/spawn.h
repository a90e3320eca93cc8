// Running an external program and waiting for it, with its standard output
// and error read line by line while it runs, and after it ended for as long
// as a process it left behind holds them.
#pragma once

#include <signal.h>
#include <sys/select.h>

#include <functional>

// Receives one line of the program's output without its newline: stream 1
// for standard output, 2 for standard error.  A line longer than 1023 bytes
// comes in pieces; a last line without newline comes as it is.
using ProgramLine = std::function<void(int stream, const char *line)>;

// What becomes of one run's output, for the whole time it is read: at most
// max_lines lines reach on_line; when both streams have ended (or were
// closed) with lines left out, on_dropped receives their number, once.
// Both may be called after program_run returned: they must hold copies of
// what they use.
struct ProgramOutput {
    ProgramLine on_line;
    std::function<void(unsigned long dropped)> on_dropped;
    unsigned long max_lines = 0;
};

// Runs prog with argv and envp, its standard output and error on pipes
// (standard input is the caller's; SIGPIPE back at its default), and returns
// when it has ended, after the output it wrote was passed on.  The
// program's end ends the wait, not the end of its output: pipes a process it
// left behind still holds are kept open (see program_outputs_watch), so that
// such a process neither holds the wait nor dies of SIGPIPE.  0 with the
// wait status in *status; -1 when the pipes, fork or waitpid fail (logged
// under func, as are a failed execve in the child, which then ends with
// status 1, and a failed read); -2 when a stop was requested before the
// start (stop_requested, nothing started).  A stop requested during the
// wait is logged at once (a notice under func) and the program still
// waited for.
int program_run(const char *func, const char *prog, char *const argv[], char *const envp[],
                const ProgramOutput &output, int *status);

// At most this many pipes left behind are kept; the oldest is closed first.
inline constexpr int PROGRAM_OUTPUTS_KEPT = 8;
// Adds the pipes left behind to *set; the new nfds (at least nfds).
int program_outputs_watch(fd_set *set, int nfds);
// Reads once from each pipe left behind that *ready holds, passing on its
// lines; a pipe at its end is closed.
void program_outputs_serve(const fd_set *ready);
// Closes every pipe left behind.
void program_outputs_close();
