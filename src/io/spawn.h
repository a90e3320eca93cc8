// Running an external program and waiting for it, with its standard output
// and error read line by line while it runs.
#pragma once

#include <functional>

// Receives one line of the program's output without its newline: stream 1
// for standard output, 2 for standard error.  A line longer than 1023 bytes
// comes in pieces; a last line without newline comes as it is.
using ProgramLine = std::function<void(int stream, const char *line)>;

// Runs prog with argv and envp, its standard output and error on pipes
// (standard input is the caller's; SIGPIPE back at its default), and returns
// when it has ended, after its output was passed to on_line.  The program's
// end ends the wait, not the end of its output: what a process it leaves
// behind writes later is not read.  0 with the wait status in *status; -1
// when the pipes, fork or waitpid fail (logged under func, as are a failed
// execve in the child, which then ends with status 1, and a failed read).
int program_run(const char *func, const char *prog, char *const argv[], char *const envp[],
                const ProgramLine &on_line, int *status);
