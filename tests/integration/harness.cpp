#include "harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace harness {

namespace {

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// Binds a socket of the given type to 127.0.0.1:port (0: any free port).
// The bound port, or -1.
int try_bind(int type, int port)
{
    int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(uint16_t(port));
    socklen_t len = sizeof sa;
    int r = -1;
    if (::bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) == 0)
        r = ntohs(sa.sin_port);
    ::close(fd);
    return r;
}

bool needs_quotes(const std::string &v)
{
    return v.empty() || v.find_first_of(" \t") != std::string::npos;
}

}  // namespace

std::string marlo_bin()
{
    if (const char *env = std::getenv("MARLO_BIN"); env && *env)
        return env;
    std::error_code ec;
    auto self = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return "marlo";
    return (self.parent_path().parent_path() / "marlo").string();
}

int free_port()
{
    static std::set<int> given;
    for (int attempt = 0; attempt < 100; attempt++) {
        int port = try_bind(SOCK_STREAM, 0);
        if (port <= 0 || given.count(port))
            continue;
        if (try_bind(SOCK_DGRAM, port) != port)
            continue;
        given.insert(port);
        return port;
    }
    throw std::runtime_error("free_port: no free port found");
}

TempDir::TempDir() : TempDir("/tmp") {}

TempDir::TempDir(const std::string &parent)
{
    std::string tmpl = parent + "/marlo-it-XXXXXX";
    if (!::mkdtemp(tmpl.data()))
        throw std::runtime_error("mkdtemp(" + tmpl + "): " + std::strerror(errno));
    dir_ = tmpl;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string TempDir::path(const std::string &name) const { return dir_ + "/" + name; }

std::string TempDir::write_file(const std::string &name, const std::string &content) const
{
    std::string p = path(name);
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out << content;
    if (!out)
        throw std::runtime_error("write_file: " + p);
    return p;
}

std::string TempDir::write_script(const std::string &name, const std::string &body) const
{
    std::string p = write_file(name, "#!/bin/sh\n" + body);
    ::chmod(p.c_str(), 0755);
    return p;
}

Settings test_settings(const TempDir &tmp)
{
    return Settings{
        {"work_directory", tmp.path("DB")},
        {"pid_file", tmp.path("marlo.pid")},
        {"local_nodes", tmp.write_file("local_nodes", "")},
        {"unicast_mode", "1"},
        {"unicast_hosts", tmp.write_file("unicast_hosts", "")},
        {"bind_interface", "lo"},
        {"bind_port", std::to_string(free_port())},
        {"ctrl_address", "127.0.0.1"},
        {"ctrl_port", std::to_string(free_port())},
        {"node_lock_timeout_ms", "200"},
        {"datastore_lock_timeout_ms", "200"},
        {"vdisk_lock_timeout_ms", "200"},
        {"fence_check", "/bin/true"},
        {"ping_interval", "1"},
        {"heartbeat_interval", "1"},
    };
}

std::string write_config(const std::string &path, const Settings &settings)
{
    std::ofstream out(path, std::ios::trunc);
    for (const auto &[key, value] : settings) {
        if (needs_quotes(value))
            out << key << "=\"" << value << "\"\n";
        else
            out << key << '=' << value << '\n';
    }
    if (!out)
        throw std::runtime_error("write_config: " + path);
    return path;
}

Daemon::Daemon(const std::vector<std::string> &args, const TempDir &tmp, PreExec pre_exec,
               const std::string &capture)
{
    static std::atomic<int> serial{0};
    capture_ = !capture.empty() ? capture : tmp.path("stderr-" + std::to_string(++serial) + ".log");
    const std::string bin = marlo_bin();

    // Everything the child needs is prepared before fork.
    std::vector<std::string> argv_s{bin};
    argv_s.insert(argv_s.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (auto &a : argv_s)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    int out = ::open(capture_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (out < 0 || in < 0)
        throw std::runtime_error("Daemon: cannot open " + capture_);

    pid_ = ::fork();
    if (pid_ == 0) {
        // Child: only async-signal-safe calls from here to exec.
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(out, 2);
        if (::chdir(tmp.dir().c_str()) != 0)
            ::_exit(127);
        if (pre_exec) {
            if (int e = pre_exec(); e != 0) {
                const char *what = std::strerror(e);
                (void)!::write(2, "pre-exec step failed: ", 22);
                (void)!::write(2, what, std::strlen(what));
                (void)!::write(2, "\n", 1);
                ::_exit(127);
            }
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(bin.c_str(), argv.data());
        ::_exit(127);
    }
    const int fork_errno = errno;
    ::close(out);
    ::close(in);
    if (pid_ < 0)
        throw std::runtime_error(std::string("Daemon: fork: ") + std::strerror(fork_errno));
}

Daemon::~Daemon()
{
    if (running()) {
        ::kill(pid_, SIGKILL);
        int st;
        ::waitpid(pid_, &st, 0);
    }
}

std::vector<std::string> Daemon::lines() const
{
    std::vector<std::string> out;
    std::string text = read_file(capture_);
    size_t pos = 0;
    for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
        out.push_back(text.substr(pos, nl - pos));
    return out;
}

std::string Daemon::text() const { return read_file(capture_); }

size_t Daemon::count_lines(const std::string &needle) const
{
    size_t n = 0;
    for (const auto &l : lines())
        n += l.find(needle) != std::string::npos;
    return n;
}

void Daemon::mark() { mark_ = lines().size(); }

bool Daemon::wait_for_line(const std::string &needle, std::chrono::milliseconds timeout,
                           From from)
{
    size_t start = from == From::Start ? 0 : mark_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        // Check for exit before reading, so a line written just before the
        // end is still seen by the last scan.
        bool ended = wait_exit(0ms).has_value() || pid_ <= 0;
        auto ls = lines();
        for (size_t i = start; i < ls.size(); i++) {
            if (ls[i].find(needle) != std::string::npos) {
                mark_ = i + 1;
                return true;
            }
        }
        if (ended || std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
}

int Daemon::signal(int sig) const { return pid_ > 0 ? ::kill(pid_, sig) : -1; }

std::optional<int> Daemon::wait_exit(std::chrono::milliseconds timeout)
{
    if (status_ || pid_ <= 0)
        return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st;
        pid_t r = ::waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
            return status_;
        }
        if (r < 0 || std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

RunResult run_and_wait(const std::vector<std::string> &args, const TempDir &tmp,
                       std::chrono::milliseconds timeout)
{
    Daemon d(args, tmp);
    RunResult r;
    r.status = d.wait_exit(timeout);
    if (!r.status) {
        d.signal(SIGKILL);
        d.wait_exit();
    }
    r.err = d.text();
    return r;
}

}  // namespace harness
