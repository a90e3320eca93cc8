#include "scale_watch.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "store_read.h"

using store_read::slurp;

namespace {

// The decimal number a file holds, or -1.
long long number_in(const std::string &path)
{
    std::string text = slurp(path);
    if (text.empty() || text.back() != '\n')
        return -1;  // missing, or caught half-written
    return std::strtoll(text.c_str(), nullptr, 10);
}

}  // namespace

bool Expect::holds(time_t now) const
{
    switch (kind) {
    case Present: return store_read::present(path);
    case Absent: return !store_read::present(path);
    case Content: return slurp(path) == text;
    case SinceAtLeast: return number_in(path) >= value;
    case Silent: {
        long long t = number_in(path);
        return t >= 0 && t + value < now;
    }
    }
    return false;
}

std::string Expect::describe() const
{
    switch (kind) {
    case Present: return path + " present";
    case Absent: return path + " absent";
    case Content: return path + " reads \"" + text + "\"";
    case SinceAtLeast: return path + " >= " + std::to_string(value);
    case Silent: return path + " older than " + std::to_string(value) + " s";
    }
    return path;
}

double Converged::median() const
{
    std::vector<double> v;
    for (double s : per_host)
        if (s >= 0)
            v.push_back(s);
    if (v.empty())
        return -1;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

Converged Watch::run(Clock::time_point t0, double timeout, std::chrono::milliseconds period,
                     const std::function<bool()> &abort)
{
    for (Host &h : hosts_) {
        h.pending.clear();
        for (size_t i = 0; i < h.all.size(); i++)
            h.pending.push_back(i);
        h.at = -1;
    }
    auto since_t0 = [&] { return std::chrono::duration<double>(Clock::now() - t0).count(); };
    for (;;) {
        if (abort())
            throw std::runtime_error("stopped");
        const time_t now = std::time(nullptr);
        bool all = true;
        for (Host &h : hosts_) {
            if (h.at >= 0)
                continue;
            std::erase_if(h.pending, [&](size_t i) { return h.all[i].holds(now); });
            if (h.pending.empty()) {
                // Everything again: a condition met early may have been
                // undone since.
                for (size_t i = 0; i < h.all.size(); i++)
                    if (!h.all[i].holds(now))
                        h.pending.push_back(i);
                if (h.pending.empty()) {
                    h.at = since_t0();
                    continue;
                }
            }
            all = false;
        }
        if (all || since_t0() > timeout)
            break;
        std::this_thread::sleep_for(period);
    }
    Converged c;
    c.all = true;
    for (const Host &h : hosts_) {
        c.per_host.push_back(h.at);
        if (h.at < 0) {
            c.all = false;
            if (c.missing.empty())
                c.missing = h.all[h.pending.front()].describe();
        }
        c.secs = std::max(c.secs, h.at);
    }
    if (!c.all)
        c.secs = since_t0();
    return c;
}
