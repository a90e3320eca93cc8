#include "fuzz_store.h"

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

#include "controller/state.h"
#include "daemon/config.h"
#include "entries.h"
#include "io/misc.h"

namespace {

std::string root_dir;
std::string work_dir;
std::string canary_dir;
std::set<std::string> tmp_at_setup;
bool tmp_is_private = false;

[[noreturn]] void die(const char *what, const std::string &detail)
{
    std::fprintf(stderr, "fuzz store: %s: %s\n", what, detail.c_str());
    std::abort();
}

std::set<std::string> listing(const std::string &dir)
{
    std::set<std::string> names;
    DIR *d = opendir(dir.c_str());
    if (!d)
        die("opendir", dir + ": " + std::strerror(errno));
    while (struct dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.insert(e->d_name);
    }
    closedir(d);
    return names;
}

bool is_lock_name(const std::string &name)
{
    return name.rfind("NODE-", 0) == 0 || name.rfind("DS-", 0) == 0 || name.rfind("VDISK-", 0) == 0;
}

void make_dir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        die("mkdir", path + ": " + std::strerror(errno));
}

}  // namespace

void fuzz_store_setup(bool strict_tmp)
{
    if (!root_dir.empty())
        return;
    char tmpl[] = "/tmp/marlo-fuzz-XXXXXX";
    if (!mkdtemp(tmpl))
        die("mkdtemp", std::strerror(errno));
    root_dir = tmpl;
    work_dir = root_dir + "/DB";
    canary_dir = root_dir + "/canary";
    make_dir(work_dir);
    make_dir(canary_dir);
    tmp_is_private = strict_tmp;
    tmp_at_setup = listing("/tmp");
    if (!config_module_initialized)
        config_module_setup();
    if (!local_nodes && NodeListAlloc(local_nodes) != 0)
        die("NodeListAlloc", "no memory");
    if (!unicast_hosts && HostListAlloc(unicast_hosts) != 0)
        die("HostListAlloc", "no memory");
    if (!multicast_groups && HostListAlloc(multicast_groups) != 0)
        die("HostListAlloc", "no memory");
    fuzz_store_settings();
}

const std::string &fuzz_store_work() { return work_dir; }

void fuzz_store_settings()
{
    cfg_work_directory = work_dir;
    cfg_node_lock_timeout_ms = 0;
    cfg_datastore_lock_timeout_ms = 0;
    cfg_vdisk_lock_timeout_ms = 0;
    cfg_fence_check = "/bin/true";
    cfg_unicast_mode = 1;  // with an empty host list: nothing is ever sent
}

void fuzz_store_check()
{
    std::set<std::string> root = listing(root_dir);
    for (const std::string &name : root)
        if (name != "DB" && name != "canary")
            die("written beside the work directory", root_dir + "/" + name);
    if (root.count("DB") == 0)
        die("work directory gone", work_dir);
    std::set<std::string> canary = listing(canary_dir);
    if (!canary.empty())
        die("written into the canary directory", canary_dir + "/" + *canary.begin());
    for (const std::string &name : listing("/tmp")) {
        if (tmp_at_setup.count(name) != 0)
            continue;
        if (tmp_is_private || is_lock_name(name))
            die("left in /tmp", "/tmp/" + name);
    }
}

int fuzz_open_fds()
{
    // The listing's own descriptor is closed again before the count.
    return int(listing("/proc/self/fd").size()) - 1;
}

FdPressure::FdPressure(int headroom)
{
    struct rlimit rl;
    if (getrlimit(RLIMIT_NOFILE, &rl) != 0)
        die("getrlimit", std::strerror(errno));
    cur_ = rl.rlim_cur;
    max_ = rl.rlim_max;
    rl.rlim_cur = rlim_t(fuzz_open_fds() + headroom);
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
        die("setrlimit", std::strerror(errno));
}

FdPressure::~FdPressure()
{
    struct rlimit rl = {rlim_t(cur_), rlim_t(max_)};
    if (setrlimit(RLIMIT_NOFILE, &rl) != 0)
        die("setrlimit", std::strerror(errno));
}

void fuzz_store_clear()
{
    if (rm_fr(work_dir.c_str()) != 0)
        die("rm_fr", work_dir);
    make_dir(work_dir);
}

void fuzz_log_setup()
{
    if (std::getenv("MARLO_FUZZ_LOG")) {
        openlog("marlo-fuzz", LOG_PERROR | LOG_PID, LOG_DAEMON);
        setlogmask(LOG_UPTO(LOG_DEBUG));
        return;
    }
    // A mask with no priority bit: syslog() returns before formatting.
    setlogmask(1 << 8);
}

bool fuzz_private_tmp()
{
    if (geteuid() != 0)
        return false;
    if (unshare(CLONE_NEWNS) != 0) {
        std::perror("unshare(CLONE_NEWNS)");
        return false;
    }
    if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("marlo-fuzz-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0) {
        std::perror("private /tmp");
        return false;
    }
    return true;
}
