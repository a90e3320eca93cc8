#include "tools/busy.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <vector>

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The parent pid and the start time (clock ticks after boot) from
// /proc/PID/stat, whose second field (the name in parentheses) may hold
// blanks and parentheses itself.  false when unreadable.
bool proc_stat(const std::string &pid, pid_t *ppid, unsigned long long *start)
{
    const std::string text = slurp("/proc/" + pid + "/stat");
    const size_t close = text.rfind(')');
    if (close == std::string::npos)
        return false;
    std::istringstream in(text.substr(close + 1));
    std::string field;
    // state, ppid, then 17 more up to starttime (field 22 of the line).
    std::vector<std::string> fields;
    while (fields.size() < 20 && in >> field)
        fields.push_back(field);
    if (fields.size() < 20)
        return false;
    *ppid = pid_t(std::atol(fields[1].c_str()));
    *start = std::strtoull(fields[19].c_str(), nullptr, 10);
    return true;
}

}  // namespace

bool fence_check_running(pid_t daemon, const std::string &program, FenceCheckRun *out)
{
    DIR *proc = ::opendir("/proc");
    if (proc == nullptr)
        return false;
    bool found = false;
    while (const struct dirent *e = ::readdir(proc)) {
        const std::string pid = e->d_name;
        pid_t ppid = 0;
        unsigned long long start = 0;
        if (pid.find_first_not_of("0123456789") != std::string::npos ||
            !proc_stat(pid, &ppid, &start) || ppid != daemon)
            continue;
        // The program, "uuid=V", "member=M", NUL-separated; a script's
        // interpreter comes first.
        const std::string cmdline = slurp("/proc/" + pid + "/cmdline");
        std::vector<std::string> args;
        for (size_t at = 0; at < cmdline.size();) {
            const size_t end = cmdline.find('\0', at);
            args.push_back(cmdline.substr(at, end - at));
            at = end == std::string::npos ? cmdline.size() : end + 1;
        }
        if (args.size() < 3)
            continue;
        args.erase(args.begin(), args.end() - 3);
        if (args[0] != program || args[1].rfind("uuid=", 0) != 0 ||
            args[2].rfind("member=", 0) != 0)
            continue;
        double uptime = 0;
        std::sscanf(slurp("/proc/uptime").c_str(), "%lf", &uptime);
        out->pid = pid_t(std::atol(pid.c_str()));
        out->vdisk = args[1].substr(5);
        out->member = args[2].substr(7);
        out->seconds = std::max(0LL, (long long)(uptime - double(start) / double(::sysconf(_SC_CLK_TCK))));
        found = true;
        break;
    }
    ::closedir(proc);
    return found;
}
