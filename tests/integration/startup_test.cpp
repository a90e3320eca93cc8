// Start-up, pid file and shutdown of the real binary.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "harness.h"

using namespace harness;

namespace {

std::string slurp(const std::string &path)
{
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

std::string usage_line() { return "Usage: " + marlo_bin() + " [-dh] [-C config]\n"; }

// Starts the daemon in the foreground on settings and waits until it runs
// the controller loop (the pid file is written just before).
struct Running {
    Running(const TempDir &tmp, const Settings &cfg, std::vector<std::string> args = {"-d", "-d"})
    {
        args.push_back("-C");
        args.push_back(write_config(tmp.path("marlo.conf"), cfg));
        daemon = std::make_unique<Daemon>(args, tmp);
    }
    std::unique_ptr<Daemon> daemon;
};

}  // namespace

TEST(Startup, UsageErrorsPrintUsageAndExitOne)
{
    TempDir tmp;
    const std::vector<std::vector<std::string>> cases = {
        {"-h"}, {"-x"}, {"-C"}, {"-d", "-h"}, {"-dq"},
    };
    for (const auto &args : cases) {
        RunResult r = run_and_wait(args, tmp);
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_EQ(r.err, usage_line()) << args[0];
    }
}

TEST(Startup, ConfigurationErrorsStopWithExactMessage)
{
    TempDir tmp;
    struct Case {
        std::string file;
        std::string message;
    };
    // Key files that sign or require cannot use, each named in its refusal:
    // the configuration that names key file `name` (made with text and mode,
    // or a FIFO, which must not hang the start), and the refusal.
    auto keys = [&](const std::string &name, const std::string &text, mode_t mode = 0600) {
        if (text.empty())
            mkfifo(tmp.path(name).c_str(), mode);
        else
            chmod(tmp.write_file(name, text).c_str(), mode);
        return "work_directory=" + tmp.path("DB") + "\nauth_mode=require\nauth_keys=" +
               tmp.path(name) + "\n";
    };
    // The configuration conf, its key file `name` given to uid, or named
    // by a link at `link`.
    auto owned_by = [&](uid_t uid, const std::string &name, const std::string &conf) {
        EXPECT_EQ(chown(tmp.path(name).c_str(), uid, uid), 0);
        return conf;
    };
    auto linked = [&](const std::string &link, const std::string &name, const std::string &conf) {
        EXPECT_EQ(symlink(tmp.path(name).c_str(), tmp.path(link).c_str()), 0);
        return conf + "auth_keys=" + tmp.path(link) + "\n";
    };
    auto refused = [&](const std::string &name, const std::string &why) {
        return "error: auth_setup(): key file " + tmp.path(name) + ": " + why + "\n";
    };
    const std::string k = "1 " + std::string(64, 'a') + "\n", K = "2\t" + std::string(64, 'F');
    const std::string not_a_key = "is not \"ID KEY\" (a decimal id from 1 to 4294967295 and 64 "
                                  "hexadecimal digits)";
    const Case cases[] = {
        {keys("k1", k, 0640),
         refused("k1", "mode 0640 lets group or others at the keys (chmod 600 it)")},
        {keys("k2", ""), refused("k2", "not a regular file")},
        {keys("k3", "# none yet\n \n", 0400), refused("k3", "no key")},
        {keys("k4", "#\n" + K + " \n" + k + k), refused("k4", "line 4: key id 1 given twice")},
        {keys("k5", k + K), refused("k5", "line 2 has no newline")},
        {keys("k6", k + "0" + k.substr(1)), refused("k6", "line 2 " + not_a_key)},
        {keys("k7", "4294967296 " + k.substr(2)), refused("k7", "line 1 " + not_a_key)},
        {keys("k8", k.substr(0, 65) + "\n"), refused("k8", "line 1 " + not_a_key)},
        {keys("k9", k.substr(0, 65) + "g\n"), refused("k9", "line 1 " + not_a_key)},
        {owned_by(65534, "k12", keys("k12", k)),
         refused("k12", "owned by uid 65534, not by uid " + std::to_string(geteuid()) +
                            " that reads it (chown it)")},
        {linked("k14", "k13", keys("k13", k)),
         refused("k14", "a symbolic link (name the key file itself)")},
        {keys("k11", k) + "auth_keys=absent\n",
         "error: auth_setup(): key file absent: No such file or directory\n"},
        {"bind_port=0\n", "error: config_load(): Incorrect bind_port value: 0\n"},
        {"work_directory=/tmp\nnope=1\n", "error: config_load(): Unknown config option `nope'\n"},
        {"bind_port=1", "error: config_load(): Config line too long\n"},
    };
    for (const auto &c : cases) {
        std::string conf = tmp.write_file("bad.conf", c.file);
        RunResult r = run_and_wait({"-d", "-C", conf}, tmp);
        EXPECT_EQ(r.status, 1) << c.file;
        EXPECT_EQ(r.err, c.message) << c.file;
    }

    RunResult missing = run_and_wait({"-C", tmp.path("absent.conf")}, tmp);
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "error: config_load(): fopen(" + tmp.path("absent.conf") +
                               "): No such file or directory\n");
}

TEST(Startup, MissingWorkDirectoryParentStops)
{
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    cfg["work_directory"] = tmp.path("no/such/DB");
    Running run(tmp, cfg, {"-d"});
    EXPECT_EQ(run.daemon->wait_exit(), 1);
    EXPECT_EQ(run.daemon->text(),
              "error: mkdir(" + tmp.path("no/such/DB") + "): No such file or directory\n");
}

TEST(Startup, WritesPidFileAndStopsOnSigterm)
{
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    // An existing work directory is used as it is; a stale pid file is
    // truncated and overwritten.
    ASSERT_EQ(mkdir(tmp.path("DB").c_str(), 0700), 0);
    tmp.write_file("DB/keep", "x");
    tmp.write_file("marlo.pid", "99999999\nleft over from an earlier run\n");

    Running run(tmp, cfg);
    Daemon &d = *run.daemon;
    ASSERT_TRUE(d.wait_for_line("syslog_ident=marlo ")) << d.text();
    ASSERT_TRUE(d.wait_for_line("controller_thread_loop")) << d.text();

    // -d keeps the foreground: the process started is the daemon itself.
    EXPECT_TRUE(d.running());
    EXPECT_EQ(slurp(tmp.path("marlo.pid")), std::to_string(d.pid()) + "\n");
    struct stat st;
    ASSERT_EQ(stat(tmp.path("marlo.pid").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat(tmp.path("DB").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);
    EXPECT_EQ(slurp(tmp.path("DB/keep")), "x");

    ASSERT_EQ(d.signal(SIGTERM), 0);
    EXPECT_EQ(d.wait_exit(), 0) << d.text();
    // The pid file outlives the process.
    EXPECT_EQ(slurp(tmp.path("marlo.pid")), std::to_string(d.pid()) + "\n");
}

TEST(Startup, RestartAfterKillRemovesOnlyTheKilledRunsLocks)
{
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    pid_t killed;
    {
        Running run(tmp, cfg);
        ASSERT_TRUE(run.daemon->wait_for_line("controller_thread_loop")) << run.daemon->text();
        killed = run.daemon->pid();
        run.daemon->signal(SIGKILL);
        ASSERT_EQ(run.daemon->wait_exit(), 128 + SIGKILL);
    }
    // What the killed run held, and a lock of another program.
    const std::string stale = "/tmp/VDISK-startup-stale", other = "/tmp/NODE-4049";
    std::ofstream(stale) << killed << "\n";
    std::ofstream(other) << killed + 1 << "\n";
    ASSERT_EQ(mkfifo("/tmp/NODE-startup-fifo", 0666), 0);    // no hang on it
    ASSERT_EQ(unlink(tmp.path("marlo.pid").c_str()), 0);  // as service managers do

    Running run(tmp, cfg);
    ASSERT_TRUE(run.daemon->wait_for_line("controller_thread_loop")) << run.daemon->text();
    EXPECT_TRUE(run.daemon->wait_for_line("notice: lock_files_reclaim(): Removed " + stale +
                                              ", a lock left by pid " + std::to_string(killed),
                                          kWait, From::Start))
        << run.daemon->text();
    EXPECT_NE(access(stale.c_str(), F_OK), 0);
    EXPECT_EQ(slurp(other), std::to_string(killed + 1) + "\n");
    EXPECT_EQ(unlink("/tmp/NODE-startup-fifo"), 0);
    unlink(other.c_str());
}

TEST(Startup, SecondInstanceFailsBeforeTouchingTheFirstsLocks)
{
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    Running first(tmp, cfg);
    ASSERT_TRUE(first.daemon->wait_for_line("controller_thread_loop")) << first.daemon->text();
    // A lock of the first daemon's pid dated before its start: only the order
    // (bind, then clean up) keeps a second instance from removing it.
    const std::string held = "/tmp/VDISK-startup-held", pid = std::to_string(first.daemon->pid());
    std::ofstream(held) << pid << "\n";
    std::filesystem::last_write_time(held, std::filesystem::file_time_type::clock::now() - 1h);
    Running second(tmp, cfg);
    EXPECT_EQ(second.daemon->wait_exit(), 1) << second.daemon->text();
    EXPECT_EQ(slurp(held), pid + "\n");
    unlink(held.c_str());
}

TEST(Startup, RelativePathsResolveAgainstStartAndWorkDirectory)
{
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    cfg["pid_file"] = "marlo.pid";  // inside the work directory
    write_config(tmp.path("relative.conf"), cfg);
    Daemon d({"-d", "-d", "-C", "relative.conf"}, tmp);  // started in tmp
    ASSERT_TRUE(d.wait_for_line("controller_thread_loop")) << d.text();
    EXPECT_EQ(slurp(tmp.path("DB/marlo.pid")), std::to_string(d.pid()) + "\n");
    d.signal(SIGINT);
    EXPECT_EQ(d.wait_exit(), 0);
}

TEST(Startup, RelativeWorkDirectoryBecomesAbsolute)
{
    // The store builds its paths from the work directory after the daemon
    // has entered it, so a relative setting must not stay relative.
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    cfg["work_directory"] = "DB";
    write_config(tmp.path("relative.conf"), cfg);
    Daemon d({"-d", "-d", "-C", "relative.conf"}, tmp);  // started in tmp
    ASSERT_TRUE(d.wait_for_line("controller_thread_loop")) << d.text();
    char real[4096];
    ASSERT_NE(realpath(tmp.path("DB").c_str(), real), nullptr);
    EXPECT_TRUE(d.wait_for_line(std::string(" work_directory=") + real + " ", kWait, From::Start))
        << d.text();
    d.signal(SIGINT);
    EXPECT_EQ(d.wait_exit(), 0);
}

TEST(Startup, PidFileInMissingDirectoryFailsAfterStart)
{
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    cfg["pid_file"] = tmp.path("gone/marlo.pid");
    Running run(tmp, cfg);
    EXPECT_EQ(run.daemon->wait_exit(), 1);
    const std::string error =
        "error: fd_open(): open(" + tmp.path("gone/marlo.pid") + "): No such file or directory";
    EXPECT_TRUE(run.daemon->wait_for_line(error)) << run.daemon->text();
    // Detached, the daemon fails the starting command, with its error.
    RunResult r = run_and_wait({"-C", tmp.path("marlo.conf")}, tmp);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(error + "\n"), std::string::npos) << r.err;
}

TEST(Startup, DebugLevelsControlStandardErrorCopy)
{
    // One -d copies lines to standard error under the configured mask; the
    // info-level configuration dump shows only when the mask allows info.
    struct Case {
        std::vector<std::string> args;
        std::string priority;
        bool dump_shown;
    };
    const Case cases[] = {
        {{"-d"}, "info", true},
        {{"-d"}, "notice", false},
        {{"-dd"}, "notice", true},  // two -d lift the mask
    };
    for (const auto &c : cases) {
        TempDir tmp;
        Settings cfg = test_settings(tmp);
        cfg["syslog_priority"] = c.priority;
        cfg["syslog_ident"] = "marlo-it";
        Running run(tmp, cfg, c.args);
        Daemon &d = *run.daemon;
        // The pid file is written after the dump: once it holds the pid, the
        // dump line (if any) has been written.
        const std::string want = std::to_string(d.pid()) + "\n";
        for (int i = 0; i < 1000 && slurp(tmp.path("marlo.pid")) != want; i++)
            std::this_thread::sleep_for(10ms);
        ASSERT_EQ(slurp(tmp.path("marlo.pid")), want);
        // A quiet loop pass ends with its debug line "Waiting..." after one
        // second; let two passes go by.
        const bool waiting = d.wait_for_line("debug: controller_thread_loop(): Waiting...", 2500ms);
        EXPECT_EQ(waiting, c.args[0] == "-dd") << d.text();
        d.signal(SIGTERM);
        EXPECT_EQ(d.wait_exit(), 0);
        const std::string dump = "marlo-it[" + std::to_string(d.pid()) + "]: syslog_ident=marlo-it ";
        EXPECT_EQ(d.count_lines(dump), c.dump_shown ? 1u : 0u) << c.args[0] << " " << c.priority
                                                               << "\n" << d.text();
        EXPECT_EQ(d.count_lines(": debug: ") > 0, c.args[0] == "-dd") << d.text();
    }
}

TEST(Startup, WithoutDebugDetachesAndWritesNothingToStderr)
{
    // The detached daemon is re-parented to this process, so it can be
    // reaped and its exit status read.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    TempDir tmp;
    Settings cfg = test_settings(tmp);
    const std::string conf = write_config(tmp.path("marlo.conf"), cfg);
    RunResult r = run_and_wait({"-C", conf}, tmp);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");

    // The starting command returned once the daemon served: its pid file is
    // there.  A second start on the same ports fails, says why on standard
    // error, and leaves that pid file alone.
    const std::string pid_text = slurp(tmp.path("marlo.pid"));
    const pid_t pid = std::atoi(pid_text.c_str());
    ASSERT_GT(pid, 0);
    RunResult second = run_and_wait({"-C", conf}, tmp);
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("): Address already in use\n"), std::string::npos) << second.err;
    EXPECT_EQ(slurp(tmp.path("marlo.pid")), pid_text);
    ASSERT_EQ(kill(pid, SIGTERM), 0);
    int st = 0;
    ASSERT_EQ(waitpid(pid, &st, 0), pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
}

TEST(Startup, UnderNotifySocketStaysInForegroundAndSaysReadyAndStopping)
{
    TempDir tmp;
    const Settings cfg = test_settings(tmp);
    for (const std::string &name : {tmp.path("notify"), "@marlo-notify-" + std::to_string(getpid())}) {
        const int so = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa = {AF_UNIX, {}};
        name.copy(sa.sun_path, name.size());
        if (name[0] == '@')
            sa.sun_path[0] = '\0';
        ASSERT_EQ(bind(so, (sockaddr *)&sa, socklen_t(offsetof(sockaddr_un, sun_path) + name.size())), 0);
        const struct timeval tv = {20, 0};
        setsockopt(so, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        auto said = [so] {
            char buf[128] = {};
            return recv(so, buf, sizeof buf - 1, 0) > 0 ? std::string(buf) : "nothing";
        };

        setenv("NOTIFY_SOCKET", name.c_str(), 1);
        Running run(tmp, cfg, {});  // without -d
        unsetenv("NOTIFY_SOCKET");
        Daemon &d = *run.daemon;
        EXPECT_EQ(said(), "READY=1\nMAINPID=" + std::to_string(d.pid())) << name;
        EXPECT_EQ(slurp(tmp.path("marlo.pid")), std::to_string(d.pid()) + "\n");
        ASSERT_EQ(d.signal(SIGTERM), 0);
        EXPECT_EQ(said(), "STOPPING=1") << name;
        EXPECT_EQ(d.wait_exit(), 0);
        EXPECT_EQ(d.text(), "");  // logged as without -d: nothing on standard error
        close(so);
    }
}
