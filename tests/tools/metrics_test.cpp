// marloctl metrics on a store written by the real daemon: the values, the
// exposition format as promtool judges it, and the file as a real node
// exporter's textfile collector serves it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "tools/cluster_rig.h"

using namespace ctl;
using namespace harness;

namespace {

// The body of GET path from 127.0.0.1:port ("" when nothing answered).
std::string http_get(int port, const std::string &path)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (connect(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
        const std::string req = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, req.data(), req.size()) == ssize_t(req.size())) {
            char buf[4096];
            ssize_t n;
            while ((n = read(fd, buf, sizeof buf)) > 0)
                reply.append(buf, size_t(n));
        }
    }
    close(fd);
    const size_t body = reply.find("\r\n\r\n");
    return body == std::string::npos ? "" : reply.substr(body + 4);
}

bool has_line(const std::string &text, const std::string &line)
{
    return ("\n" + text).find("\n" + line + "\n") != std::string::npos;
}

TEST(MarloctlMetrics, ExposeTheStoreAsPromtoolAndTheNodeExporterTakeIt)
{
    Rig rig;
    rig.cfg["pid_file"] = rig.tmp.path("marlo.pid");
    // Node 201 is this host's; what the daemon sends goes to 127.0.0.2.
    rig.cfg["local_nodes"] = rig.tmp.write_file("local_nodes", "201\n");
    rig.cfg["unicast_hosts"] = rig.tmp.write_file("unicast_hosts", "127.0.0.2\n");
    rig.conf = write_config(rig.tmp.path("marlo.conf"), rig.cfg);
    rig.start();
    rig.announce();
    ASSERT_EQ(rig.ctl({"ds-ping", "201"}).status, 0);
    ASSERT_TRUE(rig.d->wait_for_line("Send DS_PING", kWait, From::Start)) << rig.d->text();
    Store(rig.db()).remove("VDisk/vdA/memberinfo/202");  // one finding

    CtlRun r = rig.ctl({"metrics", "--per-vdisk"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *line : {
             "marlo_node_datastore_info{node=\"201\",local=\"true\",datastore=\"dsA\"} 1",
             "marlo_node_vdisks{node=\"201\",local=\"true\"} 2",
             "marlo_node_vdisks{node=\"203\",local=\"false\"} 0",
             "marlo_nodes{state=\"alive\"} 3",
             "marlo_datastore_members{datastore=\"dsA\"} 2",
             "marlo_datastore_vdisks{datastore=\"dsA\"} 2",
             "marlo_vdisks{kind=\"plain\",served=\"true\"} 1",
             "marlo_vdisk_members{vdisk=\"vdA\"} 2",
             "marlo_vdisk_frontends{vdisk=\"vdA\"} 1",
             "marlo_vdisk_highest_generation{vdisk=\"snA\"} 2",
             "marlo_store_readable 1",
             "marlo_daemon_up 1",
             // The daemon's first cycle came before node 201 had a record.
             "marlo_node_pings_not_sent_total{node=\"201\"} 1",
             "marlo_rx_socket_drops_total 0",
             // The daemon's counters: four PINGs, and settle()'s probes.
             "# TYPE marlo_rx_ping_total counter",
             "marlo_rx_ping_total 4",
             "marlo_rx_dropped_total 4",
             "marlo_tx_ds_ping_total 1",
         })
        EXPECT_TRUE(has_line(r.out, line)) << line << "\n" << r.out;
    // Times are timestamps: the daemon's last sending stands for its own
    // node, which this host never hears.
    for (const char *prefix : {"marlo_node_last_ping_timestamp_seconds{node=\"202\",local=\"false\"} ",
                               "marlo_node_last_sent_timestamp_seconds{node=\"201\"} ",
                               "marlo_metrics_last_run_timestamp_seconds ",
                               "marlo_metrics_run_duration_seconds "})
        EXPECT_NE(r.out.find(std::string("\n") + prefix), std::string::npos) << prefix << r.out;
    // The check's findings on their own, with their own time.
    CtlRun checked = rig.ctl({"metrics", "--check"});
    for (const char *line : {"marlo_check_findings{kind=\"node-link-without-member\"} 1",
                             "marlo_check_findings{kind=\"dangling-link\"} 0"})
        EXPECT_TRUE(has_line(checked.out, line)) << line << "\n" << checked.out;
    EXPECT_NE(checked.out.find("\nmarlo_check_last_run_timestamp_seconds "), std::string::npos);
    EXPECT_EQ(r.out.find("marlo_check_findings"), std::string::npos) << r.out;
    // Per vdisk only when asked for.
    CtlRun lean = rig.ctl({"metrics"});
    EXPECT_EQ(lean.out.find("marlo_vdisk_members"), std::string::npos) << lean.out;
    EXPECT_TRUE(has_line(lean.out, "marlo_vdisks{kind=\"snapshot\",served=\"true\"} 1"))
        << lean.out;

    if (const std::string promtool = which("promtool"); !promtool.empty()) {
        for (const std::string &text : {r.out, checked.out}) {
            ToolRun check = run_with_input(promtool, {"check", "metrics"}, text, rig.tmp);
            EXPECT_EQ(check.status, 0) << check.err << text;
        }
        // The package's alert rules, and their behaviour on a few series.
        const std::string src = MARLO_SOURCE_DIR;
        ToolRun rules = run_with_input(
            promtool, {"check", "rules", src + "/packaging/marlo-alerts.yml"}, "", rig.tmp);
        EXPECT_EQ(rules.status, 0) << rules.err;
        ToolRun test = run_with_input(
            promtool, {"test", "rules", src + "/tests/tools/data/marlo-alerts.test.yml"}, "",
            rig.tmp);
        EXPECT_EQ(test.status, 0) << test.err;
    } else {
        std::printf("promtool not installed (Debian package prometheus): format not checked\n");
    }

    rig.stop();
    const std::string dir = rig.tmp.path("textfile");
    Store(dir).dir(".");
    const std::string prom = dir + "/marlo.prom";
    CtlRun w = rig.ctl({"metrics", "--output", prom});
    ASSERT_EQ(w.status, 0) << w.err;
    ASSERT_EQ(rig.ctl({"metrics", "--check", "--output", dir + "/marlo-check.prom"}).status, 0);
    EXPECT_EQ(w.out, "");
    struct stat st;
    ASSERT_EQ(stat(prom.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);

    const std::string exporter = which("prometheus-node-exporter");
    if (exporter.empty()) {
        GTEST_SKIP() << "prometheus-node-exporter not installed: textfile collector not tried";
    }
    const int port = free_port();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        dup2(null, 2);  // its log
        const std::string listen = "--web.listen-address=127.0.0.1:" + std::to_string(port);
        const std::string textdir = "--collector.textfile.directory=" + dir;
        execl(exporter.c_str(), exporter.c_str(), "--collector.disable-defaults",
              "--collector.textfile", textdir.c_str(), listen.c_str(), (char *)nullptr);
        _exit(127);
    }
    std::string body;
    for (int i = 0; i < 200 && body.empty(); i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        body = http_get(port, "/metrics");
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    EXPECT_TRUE(has_line(body, "marlo_datastore_members{datastore=\"dsA\"} 2")) << body;
    EXPECT_TRUE(has_line(body, "marlo_daemon_up 0")) << body;
    EXPECT_TRUE(has_line(body, "marlo_check_findings{kind=\"node-link-without-member\"} 1"))
        << body;
    EXPECT_TRUE(has_line(body, "node_textfile_scrape_error 0")) << body;
}

}  // namespace
