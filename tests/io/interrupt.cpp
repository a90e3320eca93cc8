#include "interrupt.h"

#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>

std::atomic<int> CountingHandler::count_{0};

CountingHandler::CountingHandler(int sig) : sig_(sig), saved_{}
{
    count_ = 0;
    struct sigaction sa {};
    sa.sa_handler = handle;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;  // no SA_RESTART
    sigaction(sig_, &sa, &saved_);
}

CountingHandler::~CountingHandler()
{
    sigaction(sig_, &saved_, nullptr);
}

void CountingHandler::handle(int) { count_++; }

pid_t this_tid() { return pid_t(syscall(SYS_gettid)); }

bool wait_blocked(pid_t tid)
{
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    for (int i = 0; i < 10000; i++) {
        std::ifstream in(path);
        std::string stat;
        std::getline(in, stat);
        // "tid (comm) S ...": the state follows the last ')'.
        size_t at = stat.rfind(')');
        if (at != std::string::npos && at + 2 < stat.size() && stat[at + 2] == 'S')
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

int signal_thread(pid_t tid, int sig)
{
    return int(syscall(SYS_tgkill, getpid(), tid, sig));
}
