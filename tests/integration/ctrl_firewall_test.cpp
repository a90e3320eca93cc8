// The nftables rule of marlo(8)'s SECURITY section, loaded as the page shows
// it into a network namespace of its own with a daemon inside: the control
// port then serves root and the storage programs' user, and refuses others.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "harness.h"
#include "netns.h"

using namespace harness;

namespace {

constexpr uid_t kStorageUid = 4242;  // the storage programs' user
constexpr uid_t kOtherUid = 65534;

// The ruleset between .EX and .EE in the SECURITY section of marlo(8), with
// the port and the user put in and the page's "\e" read as a backslash.
std::string documented_rules(int port)
{
    std::ifstream in(std::string(MARLO_SOURCE_DIR) + "/man/marlo.8");
    std::stringstream page;
    page << in.rdbuf();
    std::string text = page.str();
    const size_t sec = text.find(".SH SECURITY");
    const size_t ex = text.find(".EX\n", sec);
    const size_t ee = text.find(".EE\n", ex);
    if (sec == std::string::npos || ex == std::string::npos || ee == std::string::npos)
        return "";
    std::string rules = text.substr(ex + 4, ee - ex - 4);
    const auto replace = [&](const std::string &from, const std::string &to) {
        for (size_t at = rules.find(from); at != std::string::npos;
             at = rules.find(from, at + to.size()))
            rules.replace(at, from.size(), to);
    };
    replace("\\e", "\\");
    replace("31337", std::to_string(port));
    replace("storage", std::to_string(kStorageUid));
    return rules;
}

// Connects to 127.0.0.1:port inside namespace netns as uid and writes line.
// 0 when connected and written, else the errno of the failed step.
int connect_as(const std::string &netns, uid_t uid, int port, const std::string &line)
{
    const pid_t pid = fork();
    if (pid == 0) {
        const int ns = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
        if (ns < 0 || setns(ns, CLONE_NEWNET) != 0 || setresgid(uid, uid, uid) != 0 ||
            setresuid(uid, uid, uid) != 0)
            _exit(100);
        // The socket is made as uid: its owner is what the rule matches.
        const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(uint16_t(port));
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0)
            _exit(errno);
        _exit(write(fd, line.data(), line.size()) == ssize_t(line.size()) ? 0 : errno);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

TEST(CtrlFirewall, TheDocumentedRuleRefusesOtherUsersAndServesRootAndStorage)
{
    if (std::string why = netns_unavailable(); !why.empty())
        GTEST_SKIP() << why;
    if (run_cmd({"nft", "--version"}).status != 0)
        GTEST_SKIP() << "nft (Debian package nftables) not installed: rule not tried";

    TestNet net(1);
    TempDir tmp(std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/var/tmp");
    Settings cfg = test_settings(tmp);
    cfg["ping_interval"] = "3600";
    cfg["heartbeat_interval"] = "3600";
    const int port = std::stoi(cfg.at("ctrl_port"));
    const std::string rules = documented_rules(port);
    ASSERT_NE(rules.find("meta skuid"), std::string::npos) << "no rule in man/marlo.8";
    const std::string file = tmp.write_file("ctrl.nft", rules);
    CmdResult load = net.exec(0, {"nft", "-f", file});
    ASSERT_EQ(load.status, 0) << load.output << "\n" << rules;

    Daemon d({"-d", "-d", "-C", write_config(tmp.path("marlo.conf"), cfg)}, tmp, net.enter(0));
    ASSERT_TRUE(d.wait_for_line("Waiting...")) << d.text();
    const std::string &ns = net.host(0).netns;

    EXPECT_EQ(connect_as(ns, kOtherUid, port, "ds_ping 7\n"), ECONNREFUSED);
    EXPECT_EQ(connect_as(ns, 0, port, "ds_ping 8\n"), 0);
    EXPECT_TRUE(d.wait_for_line("DS_PING Node=8")) << d.text();
    EXPECT_EQ(connect_as(ns, kStorageUid, port, "ds_ping 9\n"), 0);
    EXPECT_TRUE(d.wait_for_line("DS_PING Node=9")) << d.text();
    EXPECT_EQ(d.count_lines("DS_PING Node=7"), 0u) << d.text();
    EXPECT_EQ(d.count_lines("Accepted CTRL connection"), 2u) << d.text();
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(), 0);
}

}  // namespace
