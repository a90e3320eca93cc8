// A small network of hosts on one machine, for tests that run several
// daemons as a cluster.  Needs root and the `ip` command (iproute2).
//
//     if (std::string why = netns_unavailable(); !why.empty())
//         GTEST_SKIP() << why;
//     TestNet net(3);                        // torn down by its destructor
//     Daemon d(args, tmp, net.enter(0));     // runs inside host 0
//     net.exec(1, {"ip", "addr"});           // a command inside host 1
//
// Every host is a network namespace with lo up and one veth interface whose
// peer is a port of one bridge.  The bridge lives in a namespace of its own,
// so nothing is added to the machine's own network, and deleting the
// namespaces removes bridge and veth pairs with them.  Namespace names carry
// the test process's pid and a serial number, so parallel runs do not meet.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <vector>

#include "harness.h"

namespace harness {

// Exit status and output of a command.
struct CmdResult {
    int status = -1;     // exit status; 128 + signal number; -1 when it did not start
    std::string output;  // standard output and standard error together
};

// Runs argv (argv[0] searched in PATH, no shell) to its end.
CmdResult run_cmd(const std::vector<std::string> &argv);

// Why a TestNet cannot be built here (not root, no `ip`, namespaces, veth
// pairs or bridges refused), or empty when it can.  Probed once per process
// with a throw-away namespace.
std::string netns_unavailable();

// One host of a TestNet.
struct NetHost {
    std::string netns;   // namespace name, /run/netns/<netns>
    std::string ifname;  // its veth interface, a port of the bridge
    std::string addr;    // the interface's IPv4 address, dotted (198.18.0.0/15)
};

class TestNet {
public:
    // Builds `hosts` hosts (1 to 200): addresses 198.18.<serial>.<i + 1>/24,
    // multicast snooping off on the bridge so group traffic floods every
    // port, and a route for 224.0.0.0/4 on each host's veth.  Throws
    // std::runtime_error naming the failed command and its output, after
    // tearing down what was built.
    explicit TestNet(size_t hosts);
    // teardown().
    ~TestNet();
    TestNet(const TestNet &) = delete;
    TestNet &operator=(const TestNet &) = delete;

    size_t size() const { return hosts_.size(); }
    const NetHost &host(size_t i) const { return hosts_.at(i); }
    // Every namespace name, the bridge's included.
    std::vector<std::string> namespaces() const;

    // Runs argv inside host i's namespace ("ip netns exec").
    CmdResult exec(size_t i, const std::vector<std::string> &argv) const;

    // A socket (as socket(2)) that lives in host i's namespace, for example
    // to reach a daemon's control port on that host's 127.0.0.1.  The
    // descriptor (close-on-exec, the caller closes it), or -1.
    int socket_in(size_t i, int domain, int type) const;
    // Connects to 127.0.0.1:port inside host i, writes text in one write()
    // and closes (a command to the daemon's control port).  true when all
    // of it was written.
    bool send_tcp(size_t i, int port, const std::string &text) const;

    // Takes host i's cable out of the switch (its bridge port down) or puts
    // it back.  The host's own interface, addresses and routes stay as they
    // are, as with a pulled cable.  Throws std::runtime_error on failure.
    void set_link(size_t i, bool up) const;

    // Pre-exec step (Daemon) that moves the child into host i's network
    // namespace and into a mount namespace of its own with an empty tmpfs on
    // /tmp, so the host has its own lock files.  The child is killed when the
    // test process ends.  Paths that the child uses must therefore lie
    // outside /tmp (see TempDir(parent)).
    PreExec enter(size_t i) const;

    // Deletes every namespace (the veth pairs and the bridge go with them);
    // processes still inside keep their namespace alive until they end.
    // Repeatable.  The failed deletions as text, empty when all went.
    std::string teardown();

private:
    // Host i's port on the bridge.
    static std::string port_name(size_t i) { return "port" + std::to_string(i + 1); }

    std::string switch_ns_;  // holds the bridge
    std::string bridge_;
    std::vector<NetHost> hosts_;
    std::vector<std::string> made_;  // namespaces created, in order
};

// A lock file in a host's own /tmp, taken as a storage program on that host
// takes it (exclusive creation), through the /tmp that the host's daemon
// (pid) sees; removed by release() or the destructor.  Throws
// std::runtime_error when the file exists or cannot be made.
class HostLock {
public:
    HostLock(pid_t daemon, const std::string &name);
    ~HostLock() { release(); }
    HostLock(const HostLock &) = delete;
    HostLock &operator=(const HostLock &) = delete;
    void release();

private:
    std::string path_;
};

}  // namespace harness
