#include "sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

int fail(std::string *error, const std::string &what)
{
    *error = what + ": " + strerror(errno);
    return -1;
}

int make_dir(const std::string &path)
{
    return (mkdir(path.c_str(), 0755) == 0 || errno == EEXIST) ? 0 : -1;
}

}  // namespace

int sandbox_enter(const std::string &run_dir, bool tmpfs, std::string *error)
{
    if (make_dir(run_dir) < 0)
        return fail(error, "mkdir " + run_dir);
    if (unshare(CLONE_NEWNS) < 0)
        return fail(error, "unshare(CLONE_NEWNS)");
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return fail(error, "make / private");

    std::string store = run_dir + "/store";
    if (make_dir(store) < 0)
        return fail(error, "mkdir " + store);
    if (tmpfs && mount("tmpfs", store.c_str(), "tmpfs", 0, "mode=755") < 0)
        return fail(error, "mount tmpfs on " + store);

    if (tmpfs) {
        if (mount("tmpfs", "/tmp", "tmpfs", 0, "mode=1777") < 0)
            return fail(error, "mount tmpfs on /tmp");
    } else {
        std::string locks = run_dir + "/locks";
        if (make_dir(locks) < 0)
            return fail(error, "mkdir " + locks);
        if (mount(locks.c_str(), "/tmp", nullptr, MS_BIND, nullptr) < 0)
            return fail(error, "bind " + locks + " on /tmp");
    }

    // A fresh /dev, built aside and moved into place.
    std::string dev = run_dir + "/dev";
    if (make_dir(dev) < 0)
        return fail(error, "mkdir " + dev);
    if (mount("tmpfs", dev.c_str(), "tmpfs", 0, "mode=755") < 0)
        return fail(error, "mount tmpfs on " + dev);
    for (const char *name : {"null", "zero", "full", "random", "urandom", "tty"}) {
        std::string src = std::string("/dev/") + name, dst = dev + "/" + name;
        int fd = open(dst.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return fail(error, "create " + dst);
        close(fd);
        if (mount(src.c_str(), dst.c_str(), nullptr, MS_BIND, nullptr) < 0)
            return fail(error, "bind " + src);
    }
    if (symlink("/proc/self/fd", (dev + "/fd").c_str()) < 0 || make_dir(dev + "/shm") < 0 ||
        make_dir(dev + "/pts") < 0)
        return fail(error, "populate " + dev);
    if (mount(dev.c_str(), "/dev", nullptr, MS_MOVE, nullptr) < 0)
        return fail(error, "move " + dev + " to /dev");
    if (mount("tmpfs", "/dev/shm", "tmpfs", 0, "mode=1777") < 0)
        return fail(error, "mount tmpfs on /dev/shm");
    return 0;
}

int LogSink::start(const std::string &path, std::string *error)
{
    path_ = path;
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return fail(error, "socket(AF_UNIX)");
    // Room for bursts: the daemon blocks while this queue is full.
    int size = 4 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
    struct sockaddr_un sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    unlink(path.c_str());
    if (bind(fd_, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) < 0)
        return fail(error, "bind " + path);
    chmod(path.c_str(), 0666);
    thread_ = std::thread([this] { run(); });
    return 0;
}

void LogSink::stop()
{
    if (thread_.joinable()) {
        stopping_ = true;
        thread_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        unlink(path_.c_str());
        fd_ = -1;
    }
    save_to("");
}

std::vector<std::string> LogSink::problems() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return problems_;
}

void LogSink::clear_problems()
{
    std::lock_guard<std::mutex> lock(mu_);
    problems_.clear();
}

void LogSink::save_to(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mu_);
    if (save_ != nullptr)
        std::fclose(save_);
    save_ = path.empty() ? nullptr : std::fopen(path.c_str(), "ae");
}

std::map<std::string, LogSink::Tally> LogSink::tallies() const
{
    std::lock_guard<std::mutex> lock(mu_);
    return tallies_;
}

void LogSink::tally(const char *line)
{
    // "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
    const char *end = std::strstr(line, "]: ");
    if (end == nullptr)
        return;
    const char *open = end;
    while (open > line && *open != '[')
        open--;
    const char *start = open;
    while (start > line && start[-1] != ' ')
        start--;
    const bool contention = std::strstr(end, "Contention on ") != nullptr ||
                            std::strstr(end, "Timed out locking ") != nullptr;
    std::lock_guard<std::mutex> lock(mu_);
    Tally &t = tallies_[std::string(start, size_t(open - start))];
    t.lines++;
    t.contention += contention;
}

void LogSink::run()
{
    static char buf[8192];
    while (!stopping_) {
        struct pollfd pfd = {fd_, POLLIN, 0};
        if (poll(&pfd, 1, 100) <= 0)
            continue;
        ssize_t n;
        while ((n = recv(fd_, buf, sizeof buf - 1, MSG_DONTWAIT)) > 0) {
            buf[n] = '\0';
            // "<PRI>Mmm dd hh:mm:ss ident[pid]: text"
            int prio = 6;
            if (buf[0] == '<')
                prio = std::atoi(buf + 1) & 7;
            lines_++;
            by_prio_[prio]++;
            const char *rx = std::strstr(buf, "stats(): RX: ALL=");
            if (rx != nullptr) {
                long long shortc = 0, longc = 0;
                if (std::sscanf(rx, "stats(): RX: ALL=%lld/%lld", &shortc, &longc) == 2)
                    rx_all_long_ = longc;
            }
            tally(buf);
            const char *rb = std::strstr(buf, "RCVBUF=");
            if (rb != nullptr && std::strstr(buf, "BIND UDP") != nullptr)
                rcvbuf_ = std::atoi(rb + 7);
            if (prio <= 4 || save_ != nullptr) {
                std::lock_guard<std::mutex> lock(mu_);
                if (prio <= 4 && problems_.size() < 20)
                    problems_.emplace_back(buf);
                if (save_ != nullptr)
                    std::fprintf(save_, "%s\n", buf);
            }
        }
    }
}
