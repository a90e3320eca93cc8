// The benchmark's private world: a mount namespace in which the daemon's
// lock directory /tmp and its object store lie on the medium under test, and
// /dev/log is a socket read by this process, so that every log line costs
// the daemon exactly what it costs on a host with a system logger.  Nothing
// of it is visible outside the namespace, and it vanishes with the process.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// Enters a new mount namespace and lays out, under run_dir (created):
//   run_dir/store  the daemon's object store: a fresh tmpfs when `tmpfs`,
//                  else a directory on run_dir's own file system;
//   /tmp           the lock directory: a fresh tmpfs, or run_dir/locks;
//   /dev           a small tmpfs with null, zero, full, random, urandom and
//                  tty from the real /dev, and room for /dev/log.
// 0, or -1 with the failing step in *error.
int sandbox_enter(const std::string &run_dir, bool tmpfs, std::string *error);

// A system logger stand-in: reads datagrams from a Unix socket at `path`
// (normally /dev/log) on its own thread, as fast as they come, and keeps
// counts.  Lines from processes other than the daemon are counted alike.
class LogSink {
public:
    ~LogSink() { stop(); }
    // Binds the socket and starts the reader.  0 or -1 (*error).
    int start(const std::string &path, std::string *error);
    void stop();

    // Lines received so far, all priorities and per priority (0 to 7).
    uint64_t lines() const { return lines_.load(); }
    uint64_t lines_at(int prio) const { return by_prio_[prio & 7].load(); }
    // Latest receive counters of the daemon's statistics line, -1 before one.
    int64_t rx_all_long() const { return rx_all_long_.load(); }
    // Receive buffer size the daemon logged when binding its socket, or 0.
    int rcvbuf() const { return rcvbuf_.load(); }
    // Copy of the first `limit` lines of priority warning or worse.
    std::vector<std::string> problems() const;
    // Forgets the lines kept so far for problems().
    void clear_problems();
    // Appends every line to `path` from now on (empty: stop).
    void save_to(const std::string &path);

    // Per syslog identity (the daemons of a cluster each have their own):
    // lines, and lines about contended lock files ("Contention on ...",
    // "Timed out locking ...").
    struct Tally {
        uint64_t lines = 0;
        uint64_t contention = 0;
    };
    std::map<std::string, Tally> tallies() const;

private:
    void run();
    void tally(const char *line);

    int fd_ = -1;
    std::string path_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    std::atomic<uint64_t> lines_{0};
    std::atomic<uint64_t> by_prio_[8] = {};
    std::atomic<int64_t> rx_all_long_{-1};
    std::atomic<int> rcvbuf_{0};
    mutable std::mutex mu_;
    std::vector<std::string> problems_;
    std::map<std::string, Tally> tallies_;
    FILE *save_ = nullptr;
};
