// Watching many object stores converge, from outside: conditions on files
// of each host's store, polled until every host meets all of its own.
//
//     Watch w(hosts);
//     w.add(0, Expect::content(work0 + "/Node/1000/datastoremember", "ds1\n"));
//     w.add(1, Expect::absent(work1 + "/VDisk/vd1"));
//     Converged c = w.run(t0, 60.0, period, abort);
//
// Only the daemons' products are read (files and links of the stores), never
// their logs.  A host counts as converged at the first poll at which all of
// its conditions hold when checked again in full; a condition once met is
// not rechecked by the polls in between, so a poll costs little once most of
// a large store is in place.
#pragma once

#include <chrono>
#include <cstddef>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

// One condition on one path.
struct Expect {
    enum Kind {
        Present,    // the entry exists (a link counts as itself)
        Absent,     // no entry at the path
        Content,    // the file reads exactly `text`
        SinceAtLeast,  // the file holds a number (lastping) of at least `value`
        Silent,     // the file holds a number older than `value` seconds at the time of the check
    };
    Kind kind = Present;
    std::string path;
    std::string text;
    long long value = 0;

    static Expect present(const std::string &path) { return {Present, path, "", 0}; }
    static Expect absent(const std::string &path) { return {Absent, path, "", 0}; }
    static Expect content(const std::string &path, const std::string &text) { return {Content, path, text, 0}; }
    static Expect since(const std::string &path, long long t) { return {SinceAtLeast, path, "", t}; }
    static Expect silent(const std::string &path, long long secs) { return {Silent, path, "", secs}; }

    // Whether it holds now (`now`: the wall clock for Silent).
    bool holds(time_t now) const;
    // What it asks for, for a report.
    std::string describe() const;
};

// How a watch ended.
struct Converged {
    bool all = false;              // every host met its conditions
    double secs = 0;               // from t0 until the last host did (or the time-out)
    std::vector<double> per_host;  // seconds from t0, -1 for a host that never did
    std::string missing;           // one unmet condition of a host that never converged
    double median() const;
};

class Watch {
public:
    using Clock = std::chrono::steady_clock;

    explicit Watch(size_t hosts) : hosts_(hosts) {}
    void add(size_t host, Expect e) { hosts_.at(host).all.push_back(std::move(e)); }
    // Conditions added for host h so far.
    size_t size(size_t h) const { return hosts_.at(h).all.size(); }

    // Polls every `period` from now until every host has converged, until
    // `timeout` seconds after t0, or until abort() returns true (then it
    // throws std::runtime_error).
    Converged run(Clock::time_point t0, double timeout, std::chrono::milliseconds period,
                  const std::function<bool()> &abort);

private:
    struct Host {
        std::vector<Expect> all;
        std::vector<size_t> pending;  // indexes into `all` not yet met
        double at = -1;
    };
    std::vector<Host> hosts_;
};
