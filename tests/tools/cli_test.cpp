// marloctl's command line: usage, refusals and exit statuses, and the
// failures met when no daemon answers.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tools/ctl.h"

using namespace ctl;
using namespace harness;

namespace {

const char kUsage[] = "Usage: marloctl [-v] [-C config] command [arguments]\n";

class MarloctlCli : public testing::Test {
protected:
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    std::string conf;

    void SetUp() override { conf = write_config(tmp.path("marlo.conf"), cfg); }
    CtlRun run(std::vector<std::string> args, bool with_conf = true)
    {
        if (with_conf)
            args.insert(args.begin(), {"-C", conf});
        return run_marloctl(args, tmp);
    }
};

struct Misuse {
    std::vector<std::string> args;
    const char *message;  // part of the first line on standard error
};

TEST_F(MarloctlCli, MisuseGivesTheUsageLineAndStatus2)
{
    const Misuse cases[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command `frobnicate'"},
        {{"-x", "status"}, "unknown option -x"},
        {{"--bogus", "status"}, "unknown option --bogus"},
        {{"ds-ping"}, "ds-ping takes 1 argument"},
        {{"ds-ping", "1", "2"}, "ds-ping takes 1 argument"},
        {{"single-vdisk-ping", "12"}, "single-vdisk-ping takes 2 arguments"},
        {{"ds-ping", "12a"}, "node id `12a' is not a decimal number"},
        {{"ds-ping", "4294967296"}, "node id `4294967296' is larger than 4294967295"},
        {{"ds-ping", "-5"}, "node id `-5' is not a decimal number"},
        {{"single-vdisk-ping", "12", "a b"}, "vdisk uuid `a b' contains a blank"},
        {{"single-vdisk-ping", "12", "vd01\n"}, "vdisk uuid contains a control character"},
        {{"vdisk-deleted", "12", "abcdefghijklmno"},
         "vdisk uuid `abcdefghijklmno' is longer than 14 characters"},
        {{"vdisk-deleted", "12", ".."}, "vdisk uuid `..' cannot name an object"},
        {{"reload", "now"}, "reload takes 0 arguments"},
        {{"status", "--bogus"}, "status: unknown argument --bogus"},
        {{"status", "--node"}, "--node needs a value"},
        {{"status", "--node", "x"}, "node id `x' is not a decimal number"},
        {{"status", "--vdisk=a b"}, "vdisk uuid `a b' contains a blank"},
        {{"status", "--json=yes"}, "status: unknown argument --json=yes"},
        {{"graph", "--json"}, "graph: unknown argument --json"},
    };
    for (const Misuse &m : cases) {
        std::vector<std::string> args{"-C", conf};
        args.insert(args.end(), m.args.begin(), m.args.end());
        CtlRun r = run_marloctl(args, tmp);
        std::string shown;
        for (const auto &a : m.args)
            shown += " " + a;
        EXPECT_EQ(r.status, 2) << shown << "\n" << r.err;
        EXPECT_EQ(r.err, "marloctl: " + std::string(m.message) + "\n" + kUsage) << shown;
        EXPECT_EQ(r.out, "") << shown;
    }
    CtlRun missing = run({"-C"}, false);
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, std::string("marloctl: -C needs a path\n") + kUsage);
}

TEST_F(MarloctlCli, HelpGoesToStandardOutputWithStatus0)
{
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"status", "--help"}, {"ds-ping", "-h"}}) {
        CtlRun r = run(args, false);
        EXPECT_EQ(r.status, 0) << args[0];
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.out.rfind(kUsage, 0), 0u) << r.out;
        for (const char *part : {"single-vdisk-ping NODE VDISK", "ds-ping NODE",
                                 "vdisk-deleted NODE VDISK", "reload", "ping-now",
                                 "Exit status: 0 done; 1 failure", "2 misuse"})
            EXPECT_NE(r.out.find(part), std::string::npos) << part;
    }
}

TEST_F(MarloctlCli, ConfigurationErrorsAreTheDaemonsWithStatus1)
{
    CtlRun missing = run({"-C", tmp.path("none.conf"), "status"}, false);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "error: config_load(): fopen(" + tmp.path("none.conf") +
                               "): No such file or directory\n");

    tmp.write_file("broken.conf", "ctrl_port=70000\n");
    CtlRun broken = run({"-C", tmp.path("broken.conf"), "ds-ping", "5"}, false);
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.err, "error: config_load(): Incorrect ctrl_port value: 70000\n");

    // Misuse is found before the configuration is read.
    CtlRun misuse = run({"-C", tmp.path("none.conf"), "ds-ping", "x"}, false);
    EXPECT_EQ(misuse.status, 2);
}

TEST_F(MarloctlCli, ARefusedConnectionSaysSoWithStatus1)
{
    // Node 5 is local and links vd01; nothing listens on the free port the
    // settings hold.
    tmp.write_file("local_nodes", "5\n");
    Store(tmp.path("DB")).link("Node/5/vdisks/vd01", "../../../VDisk/vd01");
    const std::string where = "127.0.0.1:" + cfg["ctrl_port"];
    // What the daemon would not act on is refused before it is sent.
    for (const auto &[args, message] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{"ds-ping", "999"}, "marloctl: node 999 is not in the local nodes file "},
             {{"single-vdisk-ping", "5", "nosuch"}, "marloctl: node 5 has no vdisk nosuch in "}}) {
        CtlRun r = run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err.rfind(message, 0), 0u) << r.err;
    }
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"ds-ping", "5"}, {"single-vdisk-ping", "5", "vd01"}, {"vdisk-deleted", "5", "vd01"}}) {
        CtlRun r = run(args);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, "marloctl: cannot connect to the CTRL port " + where +
                             ": Connection refused (is marlo running?)\n");
    }
    cfg["ctrl_address"] = "localhost";
    write_config(conf, cfg);
    CtlRun named = run({"ds-ping", "5"});
    EXPECT_EQ(named.status, 1);
    EXPECT_EQ(named.err, "marloctl: ctrl_address `localhost' is not an IPv4 address\n");
}

TEST_F(MarloctlCli, SignalsNeedALiveDaemonBehindThePidFile)
{
    const std::string pid_file = cfg["pid_file"];
    CtlRun none = run({"reload"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "marloctl: pid file " + pid_file +
                            ": No such file or directory (is marlo running?)\n");

    // A process that has ended.
    pid_t child = fork();
    if (child == 0)
        _exit(0);
    ASSERT_GT(child, 0);
    int st;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    tmp.write_file("marlo.pid", std::to_string(child) + "\n");
    CtlRun gone = run({"ping-now"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "marloctl: process " + std::to_string(child) + " from " + pid_file +
                            ": No such process (marlo is not running)\n");

    // A live process that is not the daemon (this test), whatever its name:
    // nothing answers on the CTRL port, so it must not be signalled, or
    // SIGHUP would end the test here.
    tmp.write_file("marlo.pid", std::to_string(getpid()) + "\n");
    CtlRun stale = run({"reload"});
    EXPECT_EQ(stale.status, 1);
    EXPECT_EQ(stale.err.rfind("marloctl: process " + std::to_string(getpid()) +
                                  " runs, but cannot connect to the CTRL port ",
                              0),
              0u)
        << stale.err;

    // Contents that are no process id: 0 and -1 would reach process groups.
    for (const char *text : {"0\n", "-1\n", "\n", "12x\n", "", "123"}) {
        tmp.write_file("marlo.pid", text);
        CtlRun bad = run({"reload"});
        EXPECT_EQ(bad.status, 1) << "`" << text << "'";
        EXPECT_NE(bad.err.find("marloctl: pid file " + pid_file), std::string::npos) << bad.err;
    }
}

}  // namespace
