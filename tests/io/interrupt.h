// Tools for tests that interrupt blocking system calls with a signal.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <atomic>

// Installs a handler for sig that only counts, without SA_RESTART, so a
// blocked call it interrupts fails with EINTR (or returns a partial count).
// The previous disposition is restored on destruction.
class CountingHandler {
public:
    explicit CountingHandler(int sig);
    ~CountingHandler();
    CountingHandler(const CountingHandler &) = delete;
    CountingHandler &operator=(const CountingHandler &) = delete;

    int count() const { return count_.load(); }

private:
    static void handle(int);
    static std::atomic<int> count_;
    int sig_;
    struct sigaction saved_;
};

// Kernel thread id of the calling thread.
pid_t this_tid();

// Waits (up to ten seconds) until thread tid of this process is asleep in the
// kernel, i.e. blocked in a system call.  true when it is.
bool wait_blocked(pid_t tid);

// Sends sig to thread tid of this process.  0 or -1.
int signal_thread(pid_t tid, int sig);
