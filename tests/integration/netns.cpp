#include "netns.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace harness {

namespace {

std::string join(const std::vector<std::string> &argv)
{
    std::string s;
    for (const auto &a : argv)
        s += (s.empty() ? "" : " ") + a;
    return s;
}

// Runs argv and throws unless it exits with 0.
void must(const std::vector<std::string> &argv)
{
    CmdResult r = run_cmd(argv);
    if (r.status != 0)
        throw std::runtime_error(join(argv) + ": status " + std::to_string(r.status) + ": " +
                                 r.output);
}

// The steps of TestNet::enter for the namespace mounted at path; parent is
// the pid of the process that forked us.  0 or an errno value.
int enter_netns(const char *path, pid_t parent)
{
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0)
        return errno;
    if (::getppid() != parent)  // the test ended before the line above
        ::_exit(127);
    int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int r = ::setns(fd, CLONE_NEWNET);
    int e = errno;
    ::close(fd);
    if (r != 0)
        return e;
    if (::unshare(CLONE_NEWNS) != 0)
        return errno;
    // Nothing mounted from here on reaches the test's mount namespace.
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return errno;
    if (::mount("marlo-host-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return errno;
    return 0;
}

std::string probe()
{
    if (::geteuid() != 0)
        return "needs root (network namespaces, veth pairs, mounts)";
    CmdResult v = run_cmd({"ip", "-V"});
    if (v.status != 0)
        return "the `ip` command (iproute2) is missing or fails" +
               (v.output.empty() ? std::string() : ": " + v.output);
    try {
        TestNet net(1);
        // Can a child enter it the way a daemon does?
        PreExec step = net.enter(0);
        pid_t pid = ::fork();
        if (pid == 0)
            ::_exit(step() == 0 ? 0 : 1);
        int st = 0;
        if (pid < 0 || ::waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
            return "cannot enter a network namespace with a private /tmp (setns/unshare/mount)";
        if (std::string err = net.teardown(); !err.empty())
            return "cannot delete a network namespace: " + err;
    } catch (const std::exception &e) {
        return std::string("cannot build a test network: ") + e.what();
    }
    return "";
}

}  // namespace

CmdResult run_cmd(const std::vector<std::string> &argv)
{
    CmdResult res;
    if (argv.empty())
        return res;
    std::vector<std::string> args = argv;
    std::vector<char *> cargv;
    for (auto &a : args)
        cargv.push_back(a.data());
    cargv.push_back(nullptr);

    int pfd[2];
    if (::pipe2(pfd, O_CLOEXEC) != 0) {
        res.output = std::string("pipe2: ") + std::strerror(errno);
        return res;
    }
    pid_t pid = ::fork();
    if (pid == 0) {
        int in = ::open("/dev/null", O_RDONLY);
        if (in >= 0)
            ::dup2(in, 0);
        ::dup2(pfd[1], 1);
        ::dup2(pfd[1], 2);
        ::execvp(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(pfd[1]);
    if (pid < 0) {
        res.output = std::string("fork: ") + std::strerror(errno);
        ::close(pfd[0]);
        return res;
    }
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(pfd[0], buf, sizeof buf);
        if (n > 0)
            res.output.append(buf, size_t(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(pfd[0]);
    int st = 0;
    while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(st))
        res.status = WEXITSTATUS(st) == 127 && res.output.empty() ? -1 : WEXITSTATUS(st);
    else
        res.status = 128 + WTERMSIG(st);
    return res;
}

std::string netns_unavailable()
{
    static const std::string why = probe();
    return why;
}

TestNet::TestNet(size_t hosts)
{
    static std::atomic<unsigned> serial{0};
    if (hosts < 1 || hosts > 200)
        throw std::invalid_argument("TestNet: 1 to 200 hosts");
    const unsigned n = serial++;
    const std::string prefix = "marlo-" + std::to_string(::getpid()) + "-" + std::to_string(n);
    switch_ns_ = prefix + "-sw";
    bridge_ = "br0";
    for (size_t i = 0; i < hosts; i++) {
        const std::string k = std::to_string(i + 1);
        hosts_.push_back({prefix + "-h" + k, "veth" + k,
                          "198.18." + std::to_string(n % 256) + "." + k});
    }
    try {
        // A namespace left by an earlier process with our pid would block
        // the names; it is nobody's any more.
        for (const auto &name : namespaces())
            run_cmd({"ip", "netns", "del", name});

        must({"ip", "netns", "add", switch_ns_});
        made_.push_back(switch_ns_);
        must({"ip", "-n", switch_ns_, "link", "add", bridge_, "type", "bridge",
              "mcast_snooping", "0"});
        must({"ip", "-n", switch_ns_, "link", "set", bridge_, "up"});
        for (size_t i = 0; i < hosts_.size(); i++) {
            const NetHost &h = hosts_[i];
            const std::string port = port_name(i);
            must({"ip", "netns", "add", h.netns});
            made_.push_back(h.netns);
            must({"ip", "-n", h.netns, "link", "set", "lo", "up"});
            // Each end is made directly in its own namespace.
            must({"ip", "-n", switch_ns_, "link", "add", port, "type", "veth", "peer", "name",
                  h.ifname, "netns", h.netns});
            must({"ip", "-n", switch_ns_, "link", "set", port, "master", bridge_});
            must({"ip", "-n", switch_ns_, "link", "set", port, "up"});
            must({"ip", "-n", h.netns, "addr", "add", h.addr + "/24", "dev", h.ifname});
            must({"ip", "-n", h.netns, "link", "set", h.ifname, "up"});
            must({"ip", "-n", h.netns, "route", "add", "224.0.0.0/4", "dev", h.ifname});
        }
    } catch (...) {
        teardown();
        throw;
    }
}

TestNet::~TestNet() { teardown(); }

std::vector<std::string> TestNet::namespaces() const
{
    std::vector<std::string> out{switch_ns_};
    for (const auto &h : hosts_)
        out.push_back(h.netns);
    return out;
}

CmdResult TestNet::exec(size_t i, const std::vector<std::string> &argv) const
{
    std::vector<std::string> full{"ip", "netns", "exec", host(i).netns};
    full.insert(full.end(), argv.begin(), argv.end());
    return run_cmd(full);
}

int TestNet::socket_in(size_t i, int domain, int type) const
{
    // setns moves only the calling thread; the socket keeps the namespace
    // it was made in after the thread has moved back.
    const std::string path = "/run/netns/" + host(i).netns;
    int self = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int fd = -1;
    if (self >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0) {
        fd = ::socket(domain, type | SOCK_CLOEXEC, 0);
        if (::setns(self, CLONE_NEWNET) != 0) {
            // Every later step of the test would run in the wrong network.
            std::perror("socket_in: setns back");
            ::abort();
        }
    }
    if (target >= 0)
        ::close(target);
    if (self >= 0)
        ::close(self);
    return fd;
}

bool TestNet::send_tcp(size_t i, int port, const std::string &text) const
{
    int fd = socket_in(i, AF_INET, SOCK_STREAM);
    if (fd < 0)
        return false;
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = ::connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
              ::write(fd, text.data(), text.size()) == ssize_t(text.size());
    ::close(fd);
    return ok;
}

void TestNet::set_link(size_t i, bool up) const
{
    must({"ip", "-n", switch_ns_, "link", "set", port_name(i), up ? "up" : "down"});
}

PreExec TestNet::enter(size_t i) const
{
    std::string path = "/run/netns/" + host(i).netns;
    pid_t parent = ::getpid();
    return [path, parent]() { return enter_netns(path.c_str(), parent); };
}

std::string TestNet::teardown()
{
    std::string err;
    while (!made_.empty()) {
        CmdResult r = run_cmd({"ip", "netns", "del", made_.back()});
        if (r.status != 0)
            err += "ip netns del " + made_.back() + ": " + r.output;
        made_.pop_back();
    }
    return err;
}

HostLock::HostLock(pid_t daemon, const std::string &name)
    : path_("/proc/" + std::to_string(daemon) + "/root/tmp/" + name)
{
    int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        throw std::runtime_error("HostLock: " + path_ + ": " + std::strerror(errno));
    ::close(fd);
}

void HostLock::release()
{
    if (!path_.empty())
        ::unlink(path_.c_str());
    path_.clear();
}

}  // namespace harness
