// Fault-injection sweep over the receive path of the real daemon.
//
//     fault_sweep [--workers N] [--only ID,...] [--kinds abo] [--k K] [--max-k N]
//                 [--max-names N] OUTDIR
//
// For each message of the table below, applied to a store seeded directly on
// disk, a dry run counts the file-system calls that applying it makes:
// strace, attached to the idle daemon, lists every call of the set kFsCalls
// from the moment the message is sent until the daemon has handled a
// sentinel datagram after it.  Each call is the n-th call of its name since
// the attach, which is how strace's fault injection counts (`when=n`).  Then
// for every call K (leaving out the log's own writes and closes):
//
//   (a) a fresh daemon on a fresh copy of the store gets the message while
//       strace makes call K fail with EIO;
//   (b) likewise, but strace kills the daemon with SIGKILL at call K, and the
//       daemon is started again on the same work directory and pid file.
//
// After the fault the same message is sent again, then the sender's next
// PING (or the scenario's own messages, when what follows a fault is not
// the same message), and the case passes when: the daemon is alive; no lock file is left
// in /tmp (in (a) already right after the faulted message, except the lock
// whose removal was the faulted call); the store tree (paths, contents, link
// targets; `lastping` masked) equals that of the same sequence without a
// fault; the fence-check program ran as often per vdisk as without the
// fault, or once more where the fault left a check owed (its record
// written, not removed): never less; `marloctl check` finds nothing; one more PING brings no "error:"
// line; and no traced call wrote outside the work directory except lock
// files and unnamed files in /tmp (nor changed the file a planted link
// names).
//
// The dry run's calls must reach every store path with *at() from a store
// descriptor, never by name, and open none without O_NOFOLLOW.
//
//   (o) the odd-file sweep: each kind of kOddKinds planted, before the daemon
//       starts, at each store name the dry run reaches (--max-names samples
//       them as --max-k the calls); see run_odd_case.
//
// Needs root (ptrace, mount and network namespaces) and strace; as another
// user it says so and exits 0.  Each worker process has mount and network
// namespaces of its own (its own /tmp for lock files, its own loopback for
// ports), so the workers run cases side by side.  OUTDIR (not under /tmp)
// receives the results and, per failing case, the daemon logs and traces.
// The exit status is 0 only when every case passed.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "harness.h"
#include "store_read.h"
#include "store_seed.h"
#include "udp.h"

namespace {

using namespace harness;
namespace fs = std::filesystem;

// ---------------------------------------------------------------- messages

constexpr uint32_t kSender = 11;  // the node whose messages are applied
constexpr uint32_t kPeer = 12;    // another member of its datastores and vdisks
const char kSenderAddr[] = "127.0.0.4";

// One message of the sweep: the store it meets, the message, and what the
// sender announces next (its state after the message).
struct Scenario {
    std::string id;     // short name: --only, file names
    std::string label;  // in the table
    std::vector<seed::NodeSpec> nodes;
    std::vector<seed::DatastoreSpec> datastores;
    std::vector<seed::VDiskSpec> vdisks;  // a parent before its snapshots
    std::string message;
    std::string next_ping;
    // Sent after the fault (and after the message in the run without fault)
    // when it is not the same message again and the next PING.
    std::vector<std::string> after{};
    // Made a symbolic link (work-directory-relative) to the file "outside"
    // beside the work directory, which must never change.
    std::string link_out{};

    void seed(const std::string &work) const
    {
        for (const auto &n : nodes)
            seed::write_node(work, n);
        for (const auto &ds : datastores)
            seed::write_datastore(work, ds);
        for (const auto &vd : vdisks)
            seed::write_vdisk(work, vd);
        if (!link_out.empty()) {
            seed::write_attr(work + "/..", "outside", "1");
            fs::remove(work + "/" + link_out);
            fs::create_symlink(work + "/../outside", work + "/" + link_out);
        }
    }
    std::vector<std::string> recovery() const
    {
        return after.empty() ? std::vector<std::string>{message, next_ping} : after;
    }
};

std::vector<Scenario> scenarios()
{
    using namespace seed;
    // Most messages meet the sender and a peer in datastore ds-a, sharing v1.
    const NodeSpec n11 = node_spec(kSender, "ds-a"), n12 = node_spec(kPeer, "ds-a");
    const DatastoreSpec ds_a{.uuid = "ds-a", .members = {kSender, kPeer}};
    const VDiskSpec v1 = vdisk_spec("v1", {kSender, kPeer}, "ds-a");
    std::vector<Scenario> out;

    // The sender, in no datastore, joins one this host has not seen.
    const NodeSpec alone = node_spec(kSender);
    const VDiskSpec own = vdisk_spec("v1", {kSender});
    out.push_back({"ds-join", "DS_PING joining a datastore", {alone, node_spec(kPeer, "ds-b")},
                   {{.uuid = "ds-b", .members = {kPeer}}}, {own}, ds_ping_msg(alone, &ds_a),
                   ping_msg(alone, {&own})});

    // The sender, the only member of ds-x, moves straight to ds-y.
    const NodeSpec in_x = node_spec(kSender, "ds-x");
    const DatastoreSpec ds_y{.uuid = "ds-y", .members = {kPeer}};
    out.push_back({"ds-switch", "DS_PING switching datastores", {in_x, node_spec(kPeer, "ds-y")},
                   {{.uuid = "ds-x", .members = {kSender}}, ds_y}, {own},
                   ds_ping_msg(in_x, &ds_y), ping_msg(in_x, {&own})});

    NodeSpec stats = n11;
    stats.curvdisks = 21;
    stats.memavail = 26;
    out.push_back({"aux", "AUX_PING", {n11, n12}, {ds_a}, {v1}, aux_ping_msg(stats),
                   ping_msg(n11, {&v1})});

    // v1's generation rises (fence check); v2 is new here with the sender as
    // its member with frontends, so the sender's node gets a vdisk link and
    // the datastore of its node gets v2.
    VDiskSpec v1_gen2 = v1;
    v1_gen2.memberinfo[0].gen = 2;
    VDiskSpec v2 = vdisk_spec("v2", {kSender});
    v2.memberinfo[0].frontends = {"10.0.0.2", "10.0.0.3"};
    const std::string rise = ping_msg(n11, {&v1_gen2, &v2});
    out.push_back({"ping-gen", "PING, generation rise and a new vdisk", {n11, n12}, {ds_a}, {v1},
                   rise, rise});

    // Two generations rise in one PING: a fault inside either check (the
    // daemon reads the program's pipes while it runs) leaves that check
    // owed, and it runs again once, after a restart or with the next entry.
    const VDiskSpec v3 = vdisk_spec("v3", {kSender, kPeer}, "ds-a");
    VDiskSpec v3_gen2 = v3;
    v3_gen2.memberinfo[0].gen = 2;
    const std::string rises = ping_msg(n11, {&v1_gen2, &v3_gen2});
    out.push_back({"ping-gen2", "PING, two generation rises", {n11, n12}, {ds_a}, {v1, v3},
                   rises, rises});

    // The PING no longer lists s1, a snapshot of v1 whose last member is the
    // sender: the stale sweep removes it with its links.
    const std::string v1_only = ping_msg(n11, {&v1});
    out.push_back({"ping-stale", "PING removing a snapshot's last member", {n11, n12}, {ds_a},
                   {v1, snapshot_spec("s1", "v1", kSender, "ds-a")}, v1_only, v1_only});

    // The sender leaves v1, which keeps the peer; it still has v2.
    const VDiskSpec v2_here = vdisk_spec("v2", {kSender}, "ds-a");
    out.push_back({"vdisk-deleted", "VDISK_DELETED, not the last member", {n11, n12}, {ds_a},
                   {v1, v2_here}, vdisk_deleted_msg(n11, "v1"), ping_msg(n11, {&v2_here})});

    // After the fault, a message other than the same one again.  A stale
    // DS_PING moves the sender, the last member of ds-y, to ds-x: ds-y goes
    // with its vdisks/; its DS_PING for ds-y and PINGs must restore the link
    // pair of v1 (the peer's DS_PING rewrites what the fault left of ds-x).
    const NodeSpec in_y = node_spec(kSender, "ds-y");
    const DatastoreSpec ds_x{.uuid = "ds-x", .members = {kPeer}},
                        ds_y1{.uuid = "ds-y", .members = {kSender}};
    const VDiskSpec v1_y = vdisk_spec("v1", {kSender}, "ds-y");
    const std::string ping_y = ping_msg(in_y, {&v1_y});
    out.push_back({"ds-stale", "DS_PING stale, then the node's own again", {in_y, node_spec(kPeer, "ds-x")},
                   {ds_x, ds_y1}, {v1_y}, ds_ping_msg(in_y, &ds_x), ping_y,
                   {ds_ping_msg(in_y, &ds_y1), ds_ping_msg(node_spec(kPeer, "ds-x"), &ds_x), ping_y, ping_y}});
    // The sender, v1's last member, drops it; the peer's entry for v1 arrives
    // before the sender's next PING, whatever the removal left.
    const VDiskSpec v1_11 = vdisk_spec("v1", {kSender}, "ds-a"), v1_12 = vdisk_spec("v1", {kPeer}, "ds-a");
    const std::string none = ping_msg(n11, {});
    out.push_back({"removal-peer", "PING removing, then a peer's entry", {n11, n12}, {ds_a}, {v1_11},
                   none, none, {ping_msg(n12, {&v1_12}), none}});
    // v1's generation rises without the peer.
    VDiskSpec v1_drop = v1_11;
    v1_drop.memberinfo[0].gen = 2;
    const std::string drop = ping_msg(n11, {&v1_drop});
    out.push_back({"ping-drop", "PING, generation rise dropping a member", {n11, n12}, {ds_a}, {v1},
                   drop, drop});
    // The peer's entry of the lower generation, listing only itself, arrives
    // late: it changes nothing but its seqno.
    VDiskSpec v1_rise = v1;
    v1_rise.memberinfo[0].gen = 2;
    const std::string rise_v1 = ping_msg(n11, {&v1_rise});
    out.push_back({"ping-late", "PING rise, then a late lower generation", {n11, n12}, {ds_a}, {v1},
                   rise_v1, rise_v1, {ping_msg(n12, {&v1_12}), rise_v1}});
    // A link at an attribute's name never takes a write outside the store.
    Scenario linked{"attr-link", "PING rise, a link at highest_gen_count", {n11, n12}, {ds_a}, {v1},
                    rise_v1, rise_v1};
    linked.link_out = "VDisk/v1/highest_gen_count";
    out.push_back(linked);
    return out;
}

// ------------------------------------------------------------------ traces

// The file-system calls that are counted and faulted ("?": names this
// architecture lacks are skipped).
const char *const kFsCalls[] = {
    "open",     "openat",     "mkdir",     "mkdirat",  "unlink",     "unlinkat",   "rmdir",
    "symlink",  "symlinkat",  "link",      "linkat",   "rename",     "renameat",   "renameat2",
    "readlink", "readlinkat", "stat",      "lstat",    "fstat",      "newfstatat", "statx",
    "lseek",    "read",       "write",     "pwrite64", "fsync",      "fdatasync",  "close",
    "getdents64", "ftruncate"};

std::string trace_set()
{
    std::string set = "trace=";
    for (const char *name : kFsCalls)
        set += std::string(set.size() > 6 ? "," : "") + "?" + name;
    return set;
}

// One line of strace's output.
struct Call {
    std::string name;               // the system call
    unsigned nth = 0;               // 1 for its first call since the attach
    std::vector<std::string> args;  // as printed, descriptors with their paths (-y)
    std::string result;             // after " = "
    std::string line;               // the whole line

    // Whether the call belongs to the log (standard error, the syslog socket)
    // rather than to the store.
    bool is_log() const
    {
        return !args.empty() &&
               (args[0].rfind("2<", 0) == 0 || args[0].find("<socket:[") != std::string::npos);
    }
};

// Splits strace's argument text at the commas outside quotes and brackets.
std::vector<std::string> split_args(const std::string &text)
{
    std::vector<std::string> args;
    std::string cur;
    int depth = 0;
    bool quoted = false;
    for (size_t i = 0; i < text.size(); i++) {
        char c = text[i];
        if (quoted) {
            cur += c;
            if (c == '\\' && i + 1 < text.size())
                cur += text[++i];
            else if (c == '"')
                quoted = false;
            continue;
        }
        if (c == '"')
            quoted = true;
        else if (c == '(' || c == '{' || c == '[' || c == '<')
            depth++;
        else if (c == ')' || c == '}' || c == ']' || c == '>')
            depth--;
        if (c == ',' && depth == 0) {
            args.push_back(cur);
            cur.clear();
            if (i + 1 < text.size() && text[i + 1] == ' ')
                i++;
            continue;
        }
        cur += c;
    }
    if (!cur.empty())
        args.push_back(cur);
    return args;
}

// Every system call line of a trace file, numbered per name.
std::vector<Call> read_trace(const std::string &path)
{
    static const std::regex call_re(R"(^([a-z0-9_]+)\((.*)\)\s+= (.*)$)");
    std::vector<Call> calls;
    std::map<std::string, unsigned> seen;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::smatch m;
        if (!std::regex_match(line, m, call_re))
            continue;  // "+++ killed ...", "--- SIG...", strace's own notes
        Call c;
        c.name = m[1];
        c.nth = ++seen[c.name];
        c.args = split_args(m[2]);
        // A call the tracee was killed in ends early: "..., <unfinished ...>)".
        if (!c.args.empty() && c.args.back().find("<unfinished ...>") != std::string::npos)
            c.args.pop_back();
        c.result = m[3];
        c.line = line;
        calls.push_back(std::move(c));
    }
    return calls;
}

// The store calls of a trace: every call except the log's.
std::vector<Call> store_calls(const std::vector<Call> &calls)
{
    // Nor the fence check's output pipes and process handle: how often
    // they are read depends on when the program's end is seen, so a fault
    // planned at one of them may meet another.
    auto plumbing = [](const Call &c) {
        return !c.args.empty() && (c.args[0].find("<pipe:[") != std::string::npos ||
                                   c.args[0].find("[pidfd]") != std::string::npos);
    };
    std::vector<Call> out;
    for (const Call &c : calls)
        if (!c.is_log() && !plumbing(c))
            out.push_back(c);
    return out;
}

// The line with the run's temporary directory shortened, for reports.
std::string shown(std::string line, const std::string &tmpdir)
{
    for (size_t p; !tmpdir.empty() && (p = line.find(tmpdir)) != std::string::npos;)
        line.replace(p, tmpdir.size(), "<tmp>");
    return line;
}

// What identifies a call across runs: name, number and arguments, with the
// run's temporary directory, inode numbers of sockets and unnamed files, stat
// results, directory listings, transferred data and the log's arguments left
// out.
std::string call_key(const Call &c, const std::string &tmpdir, size_t max_args = SIZE_MAX)
{
    static const std::regex inode_re(R"((/tmp/#|socket:\[|pipe:\[)[0-9]+)");
    std::string key = c.name + "#" + std::to_string(c.nth) + "(";
    if (c.is_log())
        return key + "log)";
    // Arguments after these are data or what the call returned.
    size_t inputs = SIZE_MAX;
    if (c.name == "read" || c.name == "write" || c.name == "pwrite64" || c.name == "readlink")
        inputs = 1;
    else if (c.name == "readlinkat")
        inputs = 2;
    for (size_t i = 0; i < c.args.size() && i < std::min(max_args, inputs); i++) {
        const std::string &a = c.args[i];
        if (a.empty() || a[0] == '{' || a[0] == '[' || a.rfind("0x", 0) == 0)
            continue;
        key += std::regex_replace(shown(a, tmpdir), inode_re, "$1N") + ",";
    }
    return key + ")";
}

// "5</a/b>", "5</a/b>(deleted)" or "AT_FDCWD</a>" -> "/a/b"; "" when the
// argument carries no path.
std::string fd_path(std::string arg)
{
    const std::string deleted = "(deleted)";
    if (arg.size() > deleted.size() &&
        arg.compare(arg.size() - deleted.size(), deleted.size(), deleted) == 0)
        arg.resize(arg.size() - deleted.size());
    size_t lt = arg.find('<');
    if (lt == std::string::npos || arg.back() != '>')
        return "";
    return arg.substr(lt + 1, arg.size() - lt - 2);
}

// A quoted string argument without its quotes and escapes.
std::string unquote(const std::string &arg)
{
    if (arg.size() < 2 || arg.front() != '"')
        return arg;
    std::string out;
    for (size_t i = 1; i + 1 < arg.size(); i++) {
        if (arg[i] == '\\' && i + 2 < arg.size())
            i++;
        out += arg[i];
    }
    return out;
}

// The path named by a directory argument and a name argument.
std::string at_path(const std::string &dirarg, const std::string &namearg)
{
    const std::string name = unquote(namearg);
    std::string p = (name.rfind('/', 0) == 0 ? fs::path(name) : fs::path(fd_path(dirarg)) / name)
                        .lexically_normal()
                        .string();
    if (p.size() > 1 && p.back() == '/')
        p.pop_back();
    return p;
}

// The (directory argument, name argument) pairs through which a call names
// paths; the directory argument is "" for the calls without one.
std::vector<std::pair<std::string, std::string>> named_args(const Call &c)
{
    auto arg = [&](size_t i) { return i < c.args.size() ? c.args[i] : std::string(); };
    const std::string &n = c.name;
    if (n == "open" || n == "mkdir" || n == "unlink" || n == "rmdir" || n == "readlink" ||
        n == "stat" || n == "lstat")
        return {{"", arg(0)}};
    if (n == "openat" || n == "mkdirat" || n == "unlinkat" || n == "readlinkat" ||
        n == "newfstatat" || n == "statx")
        return {{arg(0), arg(1)}};
    if (n == "symlink")
        return {{"", arg(1)}};
    if (n == "symlinkat")
        return {{arg(1), arg(2)}};
    if (n == "link" || n == "rename")
        return {{"", arg(0)}, {"", arg(1)}};
    if (n == "linkat" || n == "renameat" || n == "renameat2")
        return {{arg(0), arg(1)}, {arg(2), arg(3)}};
    return {};
}

// The paths a call creates, changes or removes.
std::vector<std::string> written_paths(const Call &c)
{
    const std::string &n = c.name;
    if (n == "write" || n == "pwrite64" || n == "ftruncate")
        return {fd_path(c.args.empty() ? "" : c.args[0])};
    if (n == "readlink" || n == "readlinkat" || n == "stat" || n == "lstat" ||
        n == "newfstatat" || n == "statx")
        return {};
    if (n == "open" || n == "openat") {
        const std::string flags = c.args.size() > (n == "open" ? 1u : 2u) ? c.args[n == "open" ? 1 : 2] : "";
        bool writes = false;
        for (const char *f : {"O_WRONLY", "O_RDWR", "O_CREAT", "O_TRUNC", "O_APPEND", "O_TMPFILE"})
            writes = writes || flags.find(f) != std::string::npos;
        if (!writes)
            return {};
    }
    std::vector<std::string> out;
    for (const auto &[dir, name] : named_args(c))
        out.push_back(at_path(dir, name));
    return out;
}

bool in_store(const std::string &p, const std::string &work)
{
    return p == work || p.rfind(work + "/", 0) == 0;
}

// How a call breaks the store's access rules, or "": every store path is
// reached with *at() from a descriptor of the store (never by name, from the
// current directory or through an absolute name), and every open of one
// carries O_NOFOLLOW.
std::string door_fault(const Call &c, const std::string &work)
{
    for (const auto &[dir, name] : named_args(c)) {
        if (!in_store(at_path(dir, name), work))
            continue;
        if (dir.empty() || dir.rfind("AT_FDCWD", 0) == 0 || unquote(name).rfind('/', 0) == 0 ||
            !in_store(fd_path(dir), work))
            return "a store path reached by name";
        if ((c.name == "open" || c.name == "openat") && c.line.find("O_NOFOLLOW") == std::string::npos)
            return "a store path opened without O_NOFOLLOW";
    }
    return "";
}

bool is_lock_path(const std::string &p)
{
    for (const char *prefix : {"/tmp/NODE-", "/tmp/DS-", "/tmp/VDISK-"}) {
        const size_t len = std::strlen(prefix);
        if (p.size() > len && p.compare(0, len, prefix) == 0 &&
            p.find('/', len) == std::string::npos)
            return true;
    }
    return false;
}

// Whether the daemon may write at path: inside its work directory, a lock
// file, or an unnamed file in /tmp (opened there, shown as "/tmp/#inode").
bool may_write(const std::string &p, const std::string &work)
{
    return p == work || p.rfind(work + "/", 0) == 0 || is_lock_path(p) || p == "/tmp" ||
           std::regex_match(p, std::regex(R"(/tmp/#[0-9]+)"));
}

// ------------------------------------------------------------------ strace

// strace attached to a running process, writing every call of the set to a
// file, with at most one fault ("inject=...").
class Tracer {
public:
    Tracer(pid_t pid, const std::string &out, const std::string &errfile, const std::string &inject)
        : errfile_(errfile)
    {
        std::vector<std::string> args{"strace", "-o", out, "-y", "-s", "48", "-e", trace_set(),
                                      "-e", "signal=none"};
        if (!inject.empty()) {
            args.push_back("-e");
            args.push_back(inject);
        }
        args.push_back("-p");
        args.push_back(std::to_string(pid));
        std::vector<char *> argv;
        for (auto &s : args)
            argv.push_back(s.data());
        argv.push_back(nullptr);
        int err = ::open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (err < 0)
            throw std::runtime_error("Tracer: cannot open " + errfile);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(err, 1);
            ::dup2(err, 2);
            ::execvp("strace", argv.data());
            ::_exit(127);
        }
        ::close(err);
        if (pid_ < 0)
            throw std::runtime_error("Tracer: fork failed");
    }
    ~Tracer() { stop(); }
    Tracer(const Tracer &) = delete;
    Tracer &operator=(const Tracer &) = delete;

    // Waits for strace's "attached" line: from then on every call is
    // traced.  "" or what went wrong.
    std::string attached()
    {
        const auto deadline = std::chrono::steady_clock::now() + kWait;
        for (;;) {
            std::string text = store_read::slurp(errfile_);
            if (text.find(" attached") != std::string::npos)
                return "";
            if (wait_end(std::chrono::milliseconds(0)))
                return "strace ended before attaching: " + text;
            if (std::chrono::steady_clock::now() >= deadline)
                return "strace did not attach: " + text;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // Detaches and reaps strace.
    void stop()
    {
        if (pid_ <= 0 || ended_)
            return;
        ::kill(pid_, SIGINT);
        if (!wait_end(kWait)) {
            ::kill(pid_, SIGKILL);
            wait_end(kWait);
        }
    }
    // Waits for strace to end by itself (its tracee is gone).  true when it did.
    bool wait_end(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!ended_) {
            int st;
            pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_ || r < 0)
                ended_ = true;
            else if (std::chrono::steady_clock::now() >= deadline)
                return false;
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    std::string errfile_;
    pid_t pid_ = -1;
    bool ended_ = false;
};

// ------------------------------------------------------------------- store

// Work-directory-relative path -> "dir", "-> target" or the file's content.
using Tree = std::map<std::string, std::string>;

Tree store_tree(const std::string &work)
{
    Tree tree;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(work, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path &p = it->path();
        const std::string rel = p.lexically_relative(work).string();
        const fs::file_status st = it->symlink_status();
        if (fs::is_symlink(st))
            tree[rel] = "-> " + fs::read_symlink(p, ec).string();
        else if (fs::is_directory(st))
            tree[rel] = "dir";
        else if (p.filename() == "lastping")
            tree[rel] = "(time)";
        else if (rel == "lock_holder")
            tree[rel] = "(pid)";
        else if (!fs::is_regular_file(st) || fs::file_size(p, ec) > 4096)
            tree[rel] = "(not a small file)";  // never read a FIFO or a huge file
        else
            tree[rel] = "\"" + store_read::slurp(p.string()) + "\"";
    }
    return tree;
}

std::string one_line(std::string s)
{
    for (size_t p; (p = s.find('\n')) != std::string::npos;)
        s.replace(p, 1, "\\n");
    return s;
}

// The first differences of got against want, one line each.
std::vector<std::string> tree_diff(const Tree &want, const Tree &got, size_t max = 6)
{
    std::vector<std::string> out;
    auto w = want.begin(), g = got.begin();
    size_t count = 0;
    while (w != want.end() || g != got.end()) {
        std::string line;
        if (g == got.end() || (w != want.end() && w->first < g->first)) {
            line = "missing " + w->first + " " + one_line(w->second);
            ++w;
        } else if (w == want.end() || g->first < w->first) {
            line = "extra   " + g->first + " " + one_line(g->second);
            ++g;
        } else {
            if (w->second != g->second)
                line = "differs " + w->first + ": " + one_line(g->second) + " instead of " +
                       one_line(w->second);
            ++w;
            ++g;
        }
        if (line.empty())
            continue;
        if (count++ < max)
            out.push_back(line);
    }
    if (count > max)
        out.push_back("... " + std::to_string(count - max) + " more");
    return out;
}

std::vector<std::string> lock_files()
{
    std::vector<std::string> out;
    for (const std::string &name : store_read::listing("/tmp"))
        if (is_lock_path("/tmp/" + name))
            out.push_back("/tmp/" + name);
    return out;
}

// ------------------------------------------------------------------- a run

bool is_sentinel_line(const std::string &line)
{
    return line.find("Malformed packet? #1") != std::string::npos;
}

// A daemon on a freshly seeded store, the sender beside it.
class Rig {
public:
    explicit Rig(const Scenario &scn) : cfg_(test_settings(tmp_))
    {
        // /tmp is this process's own: what earlier runs left there goes.
        for (const std::string &lock : lock_files())
            fs::remove(lock);
        // No timer may touch a file (or log) while a message is traced.
        cfg_["ping_interval"] = "3600";
        cfg_["heartbeat_interval"] = "3600";
        cfg_["stats_interval"] = "86400";
        // A lock left behind costs each message that meets it one back-off
        // step, not a whole series.
        for (const char *key : {"node_lock_timeout_ms", "datastore_lock_timeout_ms",
                                "vdisk_lock_timeout_ms"})
            cfg_[key] = "50";
        // The fence-check program notes each run's vdisk beside the store.
        cfg_["fence_check"] = tmp_.write_script("fence", "echo \"$1\" >> " + tmp_.path("fences") + "\n");
        conf_ = write_config(tmp_.path("marlo.conf"), cfg_);
        port_ = std::stoi(cfg_.at("bind_port"));
        scn.seed(work());
    }

    std::string work() const { return tmp_.path("DB"); }
    const TempDir &tmp() const { return tmp_; }
    Daemon &daemon() { return *runs_.back(); }

    // Starts the daemon (again), waits for its loop and one settled
    // datagram.  "" or what went wrong.
    std::string start()
    {
        runs_.push_back(std::make_unique<Daemon>(
            std::vector<std::string>{"-d", "-d", "-C", conf_}, tmp_));
        Daemon &d = daemon();
        // Once the socket is bound a datagram waits for the first pass, which
        // reloads the lists before it receives.
        if (!d.wait_for_line("BIND UDP") || !settle(d, peer_, port_))
            return "the daemon did not start: " + tail(d);
        return "";
    }
    // Sends the datagrams, then a sentinel that touches no file, and waits
    // until the daemon has handled the sentinel (so all before it, in order).
    // false when it died or hung before.
    bool apply(const std::vector<std::string> &datagrams)
    {
        for (const std::string &d : datagrams)
            if (!send(d))
                return false;
        return settle(daemon(), peer_, port_);
    }
    bool send(const std::string &bytes) { return peer_.send_to("127.0.0.1", port_, bytes); }

    // The "error:" lines of every start, sentinels left out.
    std::vector<std::string> error_lines(size_t from_start = 0, size_t from_line = 0) const
    {
        std::vector<std::string> out;
        for (size_t i = from_start; i < runs_.size(); i++) {
            auto lines = runs_[i]->lines();
            for (size_t j = i == from_start ? from_line : 0; j < lines.size(); j++)
                if (lines[j].find("error:") != std::string::npos && !is_sentinel_line(lines[j]))
                    out.push_back(lines[j]);
        }
        return out;
    }
    size_t starts() const { return runs_.size(); }
    // "uuid=<vdisk>" -> the fence-check runs for it so far.
    std::map<std::string, int> fences() const
    {
        std::map<std::string, int> out;
        std::ifstream in(tmp_.path("fences"));
        for (std::string line; std::getline(in, line);)
            out[line]++;
        return out;
    }
    // What `marloctl check` finds in the store ("" when nothing), and
    // whether the file a planted link points at changed.
    std::string findings() const
    {
        if (std::string out; check(&out) != 0)
            return "marloctl check: " + one_line(out);
        const std::string outside = tmp_.path("outside");
        if (fs::exists(outside) && store_read::slurp(outside) != "1\n")
            return "the file outside the work directory changed";
        return "";
    }
    // `marloctl check [args]`: its exit status, its output to *out.  One
    // that hangs (on a FIFO in the store) is killed after 20 s.
    int check(std::string *out, const std::string &args = "") const
    {
        const std::string ctl = (fs::path(marlo_bin()).parent_path() / "marloctl").string();
        const std::string file = tmp_.path("check.out");
        const int rc = std::system(
            ("timeout -s KILL 20 " + ctl + " -C " + conf_ + " check " + args + " > " + file + " 2>&1").c_str());
        *out = store_read::slurp(file);
        *out = (WEXITSTATUS(rc) == 128 + SIGKILL ? "killed after 20 s: " : "") + *out;
        return rc;
    }
    std::vector<std::string> capture_paths() const
    {
        std::vector<std::string> out;
        for (const auto &d : runs_)
            out.push_back(d->capture_path());
        return out;
    }

    static std::string tail(const Daemon &d)
    {
        auto lines = d.lines();
        std::string out;
        for (size_t i = lines.size() > 5 ? lines.size() - 5 : 0; i < lines.size(); i++)
            out += "\n      " + lines[i];
        return out;
    }

private:
    TempDir tmp_;
    Settings cfg_;
    std::string conf_;
    int port_ = 0;
    UdpPeer peer_{kSenderAddr};
    std::vector<std::unique_ptr<Daemon>> runs_;
};

// What the dry and reference runs establish for one message.
struct Plan {
    std::vector<Call> calls;     // the store calls of applying it, in order
    std::string tmpdir;          // of the dry run that listed them
    Tree reference;              // the store after message, message, next PING
    std::map<std::string, int> fences;  // fence-check runs per vdisk, likewise
    std::map<std::string, unsigned> by_name;
    std::vector<std::string> names;  // store names the calls reach, whose directory is seeded
    std::set<std::string> seeded_dirs;  // those that are directories there
    std::vector<std::string> door;   // calls that break the store's access rules
    std::string why;             // not empty: no plan
};

// One dry run: the calls of applying the message (all of them, log included).
std::string dry_run(const Scenario &scn, std::vector<Call> &calls, std::string &tmpdir)
{
    Rig rig(scn);
    if (std::string why = rig.start(); !why.empty())
        return why;
    const std::string trace = rig.tmp().path("trace");
    Tracer tr(rig.daemon().pid(), trace, rig.tmp().path("strace.err"), "");
    if (std::string why = tr.attached(); !why.empty())
        return why;
    if (!rig.apply({scn.message}))
        return "the message was not handled:" + Rig::tail(rig.daemon());
    tr.stop();
    calls = read_trace(trace);
    tmpdir = rig.tmp().dir();
    return "";
}

Plan make_plan(const Scenario &scn)
{
    Plan plan;
    // Two dry runs in a row must list the same calls.
    std::vector<std::string> last_keys;
    for (int attempt = 0; attempt < 6; attempt++) {
        std::vector<Call> calls;
        std::string tmpdir;
        if (std::string why = dry_run(scn, calls, tmpdir); !why.empty()) {
            plan.why = "dry run: " + why;
            return plan;
        }
        std::vector<std::string> keys;
        for (const Call &c : calls)
            keys.push_back(call_key(c, tmpdir));
        if (keys == last_keys) {
            plan.calls = store_calls(calls);
            plan.tmpdir = tmpdir;
            break;
        }
        last_keys = keys;
    }
    if (plan.calls.empty()) {
        plan.why = "the dry runs do not repeat (or list no call)";
        return plan;
    }
    const std::string work = plan.tmpdir + "/DB";
    const Rig seeded(scn);
    for (const Call &c : plan.calls) {
        plan.by_name[c.name]++;
        if (std::string why = door_fault(c, work); !why.empty())
            plan.door.push_back(why + ": " + shown(c.line, plan.tmpdir));
        for (const auto &[dir, name] : named_args(c)) {
            const std::string p = at_path(dir, name);
            if (!in_store(p, work) || p == work || !scn.link_out.empty())
                continue;
            // Only where the seeded store has the directory to plant in.
            const std::string rel = fs::path(p).lexically_relative(work).string();
            const fs::path at = fs::path(seeded.work()) / rel;
            if (fs::is_directory(fs::symlink_status(at.parent_path())) &&
                std::find(plan.names.begin(), plan.names.end(), rel) == plan.names.end())
                plan.names.push_back(rel);
            if (fs::is_directory(fs::symlink_status(at)))
                plan.seeded_dirs.insert(rel);
        }
    }

    Rig rig(scn);
    if (std::string why = rig.start(); !why.empty()) {
        plan.why = "reference run: " + why;
        return plan;
    }
    std::vector<std::string> sequence = scn.recovery();
    sequence.insert(sequence.begin(), scn.message);
    if (!rig.apply(sequence)) {
        plan.why = "reference run: a message was not handled:" + Rig::tail(rig.daemon());
        return plan;
    }
    plan.reference = store_tree(rig.work());
    plan.fences = rig.fences();
    if (std::string found = rig.findings(); !found.empty()) {
        plan.why = "reference run: " + found;
        return plan;
    }
    // The sequence itself must pass the checks the faulted runs must pass.
    const size_t before = rig.daemon().lines().size();
    if (auto locks = lock_files(); !locks.empty())
        plan.why = "reference run: lock file left: " + locks.front();
    else if (!rig.apply({scn.next_ping}) || store_tree(rig.work()) != plan.reference)
        plan.why = "reference run: one more PING changes the store";
    else if (auto errors = rig.error_lines(0, before); !errors.empty())
        plan.why = "reference run: one more PING logs: " + errors.front();
    return plan;
}

// ------------------------------------------------------------------ a case

struct Case {
    size_t scn = 0;  // index into scenarios()
    char kind = 'a';  // 'a': EIO, 'b': SIGKILL and restart
    size_t k = 0;    // 1-based index into the plan's calls
};

struct Outcome {
    bool ok = true;
    bool missed = false;  // the fault did not hit the planned call: worth a retry
    std::vector<std::string> problems;  // the failed checks
    std::vector<std::string> details;   // what was seen
};

// Checks the traced calls of a run for writes outside the work directory.
void check_paths(const std::vector<Call> &calls, const std::string &work, const std::string &tmpdir,
                 Outcome &o)
{
    for (const Call &c : calls) {
        if (c.is_log())
            continue;
        for (const std::string &p : written_paths(c))
            if (!may_write(p, work)) {
                o.problems.push_back("wrote outside the work directory: " + shown(c.line, tmpdir));
                return;
            }
    }
}

// The call the fault hit in a faulted trace: the injected one (EIO) or the
// last one before the kill.
const Call *hit_call(const std::vector<Call> &calls, char kind)
{
    if (kind == 'a') {
        for (const Call &c : calls)
            if (c.result.find("(INJECTED)") != std::string::npos)
                return &c;
        return nullptr;
    }
    return calls.empty() || calls.back().result != "?" ? nullptr : &calls.back();
}

// (a): the faulted message is handled to its end.  The lock files then in
// /tmp go to *locks.  "" or what went wrong.
std::string eio_step(Rig &rig, const Scenario &scn, std::vector<std::string> *locks)
{
    if (!rig.apply({scn.message}))
        return "the faulted message was not handled to its end" + Rig::tail(rig.daemon());
    *locks = lock_files();
    return "";
}

// (b): the daemon dies at the call and is started again, traced by *after.
// Its pid file goes first, as a service manager removes it at every stop.
// "" or what went wrong.
std::string kill_step(Rig &rig, const Scenario &scn, Tracer &faulted,
                      std::unique_ptr<Tracer> *after)
{
    rig.send(scn.message);
    const auto status = rig.daemon().wait_exit(kWait);
    faulted.wait_end(kWait);
    if (status != 128 + SIGKILL)
        return "the daemon was not killed at the call (status " +
               (status ? std::to_string(*status) : std::string("running")) + ")";
    fs::remove(rig.tmp().path("marlo.pid"));
    if (std::string why = rig.start(); !why.empty())
        return "restart: " + why;
    *after = std::make_unique<Tracer>(rig.daemon().pid(), rig.tmp().path("trace-after"),
                                      rig.tmp().path("strace-after.err"), "");
    return (*after)->attached();
}

// The same message again and the next PING must leave the store of the run
// without fault, no lock file, and a daemon that applies one more PING
// without an error line.
void check_recovery(Rig &rig, const Scenario &scn, const Plan &plan, Outcome &o)
{
    if (!rig.apply(scn.recovery())) {
        o.problems.push_back("a message after the fault was not handled" + Rig::tail(rig.daemon()));
        return;
    }
    if (std::string found = rig.findings(); !found.empty())
        o.problems.push_back(found);
    if (auto locks = lock_files(); !locks.empty()) {
        std::string all;
        for (const auto &l : locks)
            all += " " + l;
        o.problems.push_back("lock files left:" + all);
    }
    const Tree got = store_tree(rig.work());
    if (got != plan.reference) {
        o.problems.push_back("the store differs from the run without fault");
        for (const auto &line : tree_diff(plan.reference, got))
            o.details.push_back("tree:   " + line);
    }
    const size_t before = rig.daemon().lines().size();
    if (!rig.apply({scn.next_ping}))
        o.problems.push_back("one more PING was not handled" + Rig::tail(rig.daemon()));
    else if (auto errors = rig.error_lines(rig.starts() - 1, before); !errors.empty())
        o.problems.push_back("one more PING logs: " + errors.front());
    if (!rig.daemon().running())
        o.problems.push_back("the daemon is not running");
}

// The vdisks ("uuid=<vdisk>") whose fence check the fault left owed: the
// record written and not removed up to the faulted call (what follows it in
// (a) is the recovery).
std::set<std::string> owed_checks(const std::vector<Call> &calls)
{
    static const std::regex record_re(R"(/VDisk/([^/>]+)>, "fence_owed")");
    std::set<std::string> owed;
    for (const Call &c : calls) {
        std::smatch m;
        const bool done = c.result != "?" && c.result.rfind("-1", 0) != 0;
        if (std::regex_search(c.line, m, record_re)) {
            if (c.name == "openat" && c.line.find("O_TRUNC") != std::string::npos)
                owed.insert("uuid=" + m[1].str());
            else if (c.name == "unlinkat" && done)
                owed.erase("uuid=" + m[1].str());
        }
        if (c.result.find("(INJECTED)") != std::string::npos)
            break;
    }
    return owed;
}

// A fence check missed, or run more often than without the fault (once more
// where the fault left it owed).
void check_fences(const Rig &rig, const Plan &plan, const std::set<std::string> &owed, Outcome &o)
{
    std::map<std::string, int> got = rig.fences(), want = plan.fences;
    for (const auto &[vdisk, runs] : got)
        want[vdisk] += 0;
    for (const auto &[vdisk, runs] : want) {
        const int extra = int(owed.count(vdisk));
        if (got[vdisk] < runs || got[vdisk] > runs + extra)
            o.problems.push_back("fence check runs for " + vdisk + ": " +
                                 std::to_string(got[vdisk]) + " instead of " +
                                 std::to_string(runs) + (extra ? " or one more" : ""));
    }
}

// The fault must have hit the planned call; in (a) the only lock file that
// may outlive the faulted message is the one whose removal was that call.
void check_hit(const std::vector<Call> &faulted, const Call &target, const Plan &plan,
               const Case &cs, const std::string &tmpdir,
               const std::vector<std::string> &locks_after_fault, Outcome &o)
{
    const Call *hit = hit_call(faulted, cs.kind);
    // A call killed at its entry shows only its input arguments.
    if (hit == nullptr ||
        call_key(*hit, tmpdir) != call_key(target, plan.tmpdir, hit->args.size())) {
        o.missed = true;
        o.problems.push_back("the fault missed the planned call; it hit: " +
                             (hit ? shown(hit->line, tmpdir) : std::string("nothing")));
        return;
    }
    o.details.push_back("hit:    " + shown(hit->line, tmpdir));
    const std::vector<std::string> removed =
        hit->name.find("unlink") == 0 ? written_paths(*hit) : std::vector<std::string>{};
    std::string left;
    for (const auto &l : locks_after_fault)
        if (std::find(removed.begin(), removed.end(), l) == removed.end())
            left += " " + l;
    if (!left.empty())
        o.problems.push_back("lock files left after the faulted message:" + left);
}

// Copies the daemon logs, the traces and the store listing of a failed case
// to dir.
void keep_artifacts(const Rig &rig, const std::string &dir)
{
    std::error_code ec;
    fs::create_directories(dir, ec);
    for (const auto &p : rig.capture_paths())
        fs::copy_file(p, dir + "/" + fs::path(p).filename().string(),
                      fs::copy_options::overwrite_existing, ec);
    for (const char *t : {"trace-fault", "trace-after"})
        fs::copy_file(rig.tmp().path(t), dir + "/" + t, fs::copy_options::overwrite_existing, ec);
    std::ofstream out(dir + "/tree.txt");
    for (const auto &[path, value] : store_tree(rig.work()))
        out << path << " " << one_line(value) << "\n";
}

Outcome run_case(const Scenario &scn, const Plan &plan, const Case &cs, const std::string &keep)
{
    Outcome o;
    const Call &target = plan.calls.at(cs.k - 1);
    Rig rig(scn);
    const std::string tmpdir = rig.tmp().dir();
    std::unique_ptr<Tracer> faulted, after;
    std::vector<std::string> locks_after_fault;

    std::string why = rig.start();
    if (why.empty()) {
        const std::string inject = "inject=" + target.name +
                                   (cs.kind == 'a' ? ":error=EIO" : ":signal=KILL") +
                                   ":when=" + std::to_string(target.nth);
        faulted = std::make_unique<Tracer>(rig.daemon().pid(), rig.tmp().path("trace-fault"),
                                           rig.tmp().path("strace-fault.err"), inject);
        why = faulted->attached();
    }
    if (why.empty())
        why = cs.kind == 'a' ? eio_step(rig, scn, &locks_after_fault)
                             : kill_step(rig, scn, *faulted, &after);
    if (why.empty())
        check_recovery(rig, scn, plan, o);
    else
        o.problems.push_back(why);

    if (faulted) {
        faulted->stop();
        std::vector<Call> traced = read_trace(rig.tmp().path("trace-fault"));
        check_hit(traced, target, plan, cs, tmpdir, locks_after_fault, o);
        if (why.empty())
            check_fences(rig, plan, owed_checks(traced), o);
        if (after) {
            after->stop();
            auto more = read_trace(rig.tmp().path("trace-after"));
            traced.insert(traced.end(), more.begin(), more.end());
        }
        check_paths(traced, rig.work(), tmpdir, o);
    }

    o.ok = o.problems.empty();
    if (!o.ok) {
        for (const auto &e : rig.error_lines())
            o.details.push_back("error:  " + shown(e, tmpdir));
        keep_artifacts(rig, keep);
    }
    return o;
}

// --------------------------------------------------------------- odd files

// Beside the work directory, a file and a FIFO that links planted in the
// store point at: the daemon and marloctl must neither read, write nor open
// them.  The FIFO has a writer blocked in open() until some reader opens it.
class Canaries {
public:
    explicit Canaries(const std::string &dir) : file_(dir + "/canary"), fifo_(dir + "/canary-fifo")
    {
        seed::write_raw(dir, "canary", "canary\n");
        // Older than the content, so that any read moves it (relatime).
        const struct timespec times[2] = {{::time(nullptr) - 100, 0}, {0, UTIME_OMIT}};
        struct stat st {};
        if (::utimensat(AT_FDCWD, file_.c_str(), times, 0) != 0 || ::stat(file_.c_str(), &st) != 0 ||
            ::mkfifo(fifo_.c_str(), 0644) != 0)
            throw std::runtime_error("Canaries: " + std::string(std::strerror(errno)));
        atime_ = st.st_atim;
        writer_ = std::thread([this] {
            const int fd = ::open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
            opened_ = !done_;
            ::close(fd);
        });
    }
    ~Canaries() { release(); }

    // "" or how a canary was touched; ends the FIFO's watch.
    std::string touched()
    {
        release();
        struct stat st {};
        const bool read = ::stat(file_.c_str(), &st) != 0 || st.st_atim.tv_sec != atime_.tv_sec ||
                          st.st_atim.tv_nsec != atime_.tv_nsec;
        return opened_ ? "the FIFO outside the work directory was opened"
               : read || store_read::slurp(file_) != "canary\n" ? "the file outside the work directory was read or written"
                                                               : "";
    }

private:
    void release()
    {
        if (!writer_.joinable())
            return;
        done_ = true;
        const int fd = ::open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        writer_.join();
        if (fd >= 0)
            ::close(fd);
    }

    std::string file_, fifo_;
    struct timespec atime_ {};
    std::atomic<bool> opened_{false}, done_{false};
    std::thread writer_;
};

// What the odd-file sweep plants at a store name (in the work directory
// `work`, the canaries in `out`), after removing what was there (`old`: its
// content when it was a file).
struct OddKind {
    const char *name;
    void (*plant)(const std::string &work, const std::string &name, const std::string &out,
                  const std::string &old);
};
using S = const std::string &;

const OddKind kOddKinds[] = {
    {"FIFO", [](S w, S n, S, S) { ::mkfifo((w + "/" + n).c_str(), 0644); }},
    {"directory", [](S w, S n, S, S) { fs::create_directory(w + "/" + n); }},
    {"link to a file outside", [](S w, S n, S o, S) { fs::create_symlink(o + "/canary", w + "/" + n); }},
    {"link to a FIFO outside",
     [](S w, S n, S o, S) { fs::create_symlink(o + "/canary-fifo", w + "/" + n); }},
    {"0-byte file", [](S w, S n, S, S) { seed::write_raw(w, n, ""); }},
    {"garbage", [](S w, S n, S, S) {
         seed::write_raw(w, n, std::string("\x7f\x01 1\0garbage without a newline", 30));
     }},
    {"huge sparse file", [](S w, S n, S, S old) {
         seed::write_raw(w, n, old);
         fs::resize_file(w + "/" + n, uintmax_t(3) << 30);
     }},
    {"no permission", [](S w, S n, S, S old) {
         seed::write_raw(w, n, old);
         fs::permissions(w + "/" + n, fs::perms::none);
     }},
};
constexpr size_t kOdd = std::size(kOddKinds);

// What `marloctl check --json` reports besides the planted name (a finding
// that names it, or a path below it, is that name's).
std::string other_findings(const Rig &rig, const std::string &name)
{
    std::string out;
    if (rig.check(&out, "--json") == 0)
        return "";
    const auto doc = nlohmann::json::parse(out, nullptr, false);
    if (doc.is_discarded() || !doc.contains("findings"))
        return "marloctl check: " + one_line(out);
    std::string others;
    for (const auto &f : doc["findings"])
        if (f.dump().find(name) == std::string::npos)
            others += " " + f.value("kind", "?") + " " + f.value("files", nlohmann::json::array()).dump();
    return others.empty() ? "" : "marloctl check reports more than " + name + ":" + others;
}

// One odd file planted before the daemon starts (none in a scenario that
// plants a link of its own); the message and its follow-ups, each handled
// within a second of the lock time-outs it may wait out; no fence check
// beyond the run without it; the canaries untouched; `marloctl check` clean
// or reporting that name alone.
Outcome run_odd_case(const Scenario &scn, const Plan &plan, const Case &cs, const std::string &keep)
{
    constexpr auto kBudget = std::chrono::milliseconds(1000 + 3 * 50);
    Outcome o;
    const std::string name = plan.names.at((cs.k - 1) / kOdd);
    Rig rig(scn);
    Canaries canaries(rig.tmp().dir());
    const std::string path = rig.work() + "/" + name;
    std::error_code ec;
    const std::string old = fs::is_regular_file(fs::symlink_status(path)) ? store_read::slurp(path) : "";
    fs::remove_all(path, ec);
    kOddKinds[(cs.k - 1) % kOdd].plant(rig.work(), name, rig.tmp().dir(), old);

    std::string why = rig.start();
    std::vector<std::string> sequence = scn.recovery();
    sequence.insert(sequence.begin(), scn.message);
    for (size_t i = 0; why.empty() && i < sequence.size(); i++) {
        const auto t0 = std::chrono::steady_clock::now();
        if (!rig.apply({sequence[i]}))
            why = "a message was not handled" + Rig::tail(rig.daemon());
        else if (std::chrono::steady_clock::now() - t0 > kBudget)
            why = "message " + std::to_string(i + 1) + " took more than " + std::to_string(kBudget.count()) + " ms";
    }
    if (!why.empty())
        o.problems.push_back(why);
    for (const auto &[vdisk, runs] : rig.fences())
        if (runs > (plan.fences.count(vdisk) ? plan.fences.at(vdisk) : 0))
            o.problems.push_back("fence check runs for " + vdisk + ": " + std::to_string(runs));
    if (why.empty() && !rig.daemon().running())
        o.problems.push_back("the daemon is not running");
    if (std::string found = other_findings(rig, name); !found.empty())
        o.problems.push_back(found);
    if (std::string touched = canaries.touched(); !touched.empty())
        o.problems.push_back(touched);

    if (!(o.ok = o.problems.empty()))
        keep_artifacts(rig, keep);  // its error lines are in the kept logs
    return o;
}

// --------------------------------------------------------------- processes

// Moves this process into mount and network namespaces of its own: a fresh
// tmpfs on /tmp for lock files, loopback up for ports of its own, and the
// system log socket hidden, so that the daemons' lines only go to their
// standard error (and every line costs the same calls).  "" or what failed.
std::string enter_private_namespaces()
{
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return std::string("unshare: ") + std::strerror(errno);
    if (::mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("marlo-sweep-tmp", "/tmp", "tmpfs", 0, "mode=1777") != 0)
        return std::string("private /tmp: ") + std::strerror(errno);
    std::error_code ec;
    const fs::path log = fs::canonical("/dev/log", ec);
    if (!ec && ::mount("/dev/null", log.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return "hiding " + log.string() + ": " + std::strerror(errno);
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr {};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = s >= 0 && ::ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags = short(ifr.ifr_flags | IFF_UP);
    up = up && ::ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    const int err = errno;
    if (s >= 0)
        ::close(s);
    return up ? "" : std::string("loopback up: ") + std::strerror(err);
}

const char *kind_name(char kind) { return kind == 'a' ? "EIO" : kind == 'b' ? "SIGKILL" : "odd-file"; }

std::string case_dir(const std::string &outdir, const Scenario &scn, const Case &cs)
{
    return outdir + "/fail-" + scn.id + "-" + kind_name(cs.kind) + "-" + std::to_string(cs.k);
}

// Runs the worker's share of the cases; one record per case in `results`:
// "CASE <scenario> <kind> <K> ok|FAIL", then "  " detail lines.
int worker(int index, const std::vector<Scenario> &scns, const std::vector<Plan> &plans,
           const std::vector<Case> &cases, const std::string &outdir)
{
    if (std::string why = enter_private_namespaces(); !why.empty()) {
        std::fprintf(stderr, "worker %d: %s\n", index, why.c_str());
        return 1;
    }
    // Close-on-exec: the daemons must start with the descriptors of the dry
    // run, or every descriptor number in the trace would differ.
    const std::string path = outdir + "/results-" + std::to_string(index) + ".txt";
    FILE *results = std::fopen(path.c_str(), "we");
    if (results == nullptr) {
        std::fprintf(stderr, "worker %d: %s: %s\n", index, path.c_str(), std::strerror(errno));
        return 1;
    }
    for (const Case &cs : cases) {
        const Scenario &scn = scns[cs.scn];
        Outcome o;
        for (int attempt = 0; attempt < 3; attempt++) {
            try {
                o = (cs.kind == 'o' ? run_odd_case : run_case)(scn, plans[cs.scn], cs,
                                                               case_dir(outdir, scn, cs));
            } catch (const std::exception &e) {
                o = Outcome{};
                o.ok = false;
                o.problems.push_back(std::string("test error: ") + e.what());
            }
            if (!o.missed)
                break;
        }
        if (o.ok) {
            std::error_code ec;
            fs::remove_all(case_dir(outdir, scn, cs), ec);
        }
        std::fprintf(results, "CASE\t%zu\t%c\t%zu\t%s\n", cs.scn, cs.kind, cs.k,
                     o.ok ? "ok" : "FAIL");
        for (const auto &p : o.problems)
            std::fprintf(results, "  check:  %s\n", one_line(p).c_str());
        for (const auto &d : o.details)
            std::fprintf(results, "  %s\n", one_line(d).c_str());
        std::fflush(results);
    }
    return std::fclose(results) == 0 ? 0 : 1;
}

struct Options {
    int workers = 3;
    std::set<std::string> only;
    std::string kinds = "ab";
    size_t k = 0;       // 0: every K
    size_t max_k = 0;   // 0: no sampling
    size_t max_names = 0;  // likewise, for the names of the odd-file sweep
    std::string outdir;
};

// false on a usage error.
bool parse_options(int argc, char **argv, Options &opt)
{
    for (int i = 1; i < argc; i++) {
        const std::string a = argv[i];
        auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--workers") {
            opt.workers = std::max(1, std::atoi(value().c_str()));
        } else if (a == "--only") {
            std::stringstream ss(value());
            for (std::string id; std::getline(ss, id, ',');)
                opt.only.insert(id);
        } else if (a == "--kinds") {
            opt.kinds = value();
        } else if (a == "--k") {
            opt.k = size_t(std::atol(value().c_str()));
        } else if (a == "--max-k") {
            opt.max_k = size_t(std::atol(value().c_str()));
        } else if (a == "--max-names") {
            opt.max_names = size_t(std::atol(value().c_str()));
        } else if (!a.empty() && a[0] != '-' && opt.outdir.empty()) {
            opt.outdir = a;
        } else {
            return false;
        }
    }
    return !opt.outdir.empty() && !opt.kinds.empty() &&
           opt.kinds.find_first_not_of("abo") == std::string::npos;
}

// Of n (calls, names): all, only the one given, or max spread evenly (1-based).
std::vector<size_t> ks_for(size_t n, size_t only, size_t max)
{
    std::vector<size_t> ks;
    if (only != 0) {
        if (only <= n)
            ks.push_back(only);
        return ks;
    }
    if (max == 0 || n <= max) {
        for (size_t k = 1; k <= n; k++)
            ks.push_back(k);
        return ks;
    }
    for (size_t i = 0; i < max; i++)
        ks.push_back(1 + i * (n - 1) / std::max<size_t>(1, max - 1));
    return ks;
}

// Runs the cases in `workers` processes, each with every N-th case.  false
// when a worker ended abnormally.
bool run_workers(int workers, const std::vector<Scenario> &scns, const std::vector<Plan> &plans,
                 const std::vector<Case> &cases, const std::string &outdir)
{
    std::vector<pid_t> pids;
    for (int w = 0; w < workers; w++) {
        std::vector<Case> share;
        for (size_t i = size_t(w); i < cases.size(); i += size_t(workers))
            share.push_back(cases[i]);
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            const int rc = worker(w, scns, plans, share, outdir);
            std::fflush(nullptr);
            ::_exit(rc);
        }
        if (pid > 0)
            pids.push_back(pid);
        else
            std::perror("fork");
    }
    bool ok = int(pids.size()) == workers;
    for (pid_t pid : pids) {
        int st;
        if (::waitpid(pid, &st, 0) != pid || !WIFEXITED(st) || WEXITSTATUS(st) != 0)
            ok = false;
    }
    return ok;
}

// What the workers wrote: per scenario the cases run and passed, per failed
// case its lines.
struct Results {
    std::map<std::pair<size_t, bool>, std::pair<size_t, size_t>> counts;  // (scenario, odd) -> run, passed
    std::map<std::tuple<size_t, char, size_t>, std::vector<std::string>> failures;
    size_t cases = 0;
};

Results read_results(int workers, const std::string &outdir)
{
    Results r;
    for (int w = 0; w < workers; w++) {
        std::ifstream in(outdir + "/results-" + std::to_string(w) + ".txt");
        std::vector<std::string> *current = nullptr;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("CASE\t", 0) != 0) {
                if (current)
                    current->push_back(line);
                continue;
            }
            std::stringstream ss(line.substr(5));
            size_t s = 0, k = 0;
            char kind = '?';
            std::string verdict;
            ss >> s >> kind >> k >> verdict;
            r.cases++;
            auto &[run, passed] = r.counts[{s, kind == 'o'}];
            run++;
            current = nullptr;
            if (verdict == "ok")
                passed++;
            else
                current = &r.failures[{s, kind, k}];
        }
    }
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    Options opt;
    if (!parse_options(argc, argv, opt)) {
        std::fprintf(stderr, "usage: fault_sweep [--workers N] [--only ID,...] [--kinds ab] "
                             "[--k K] [--max-k N] [--max-names N] OUTDIR\n");
        return 2;
    }
    if (::geteuid() != 0) {
        std::printf("fault sweep skipped: it needs root (ptrace, mount and network namespaces)\n");
        return 0;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const auto t0 = std::chrono::steady_clock::now();
    opt.outdir = fs::absolute(opt.outdir).lexically_normal().string();
    if (opt.outdir == "/tmp" || opt.outdir.rfind("/tmp/", 0) == 0) {
        std::fprintf(stderr, "fault_sweep: OUTDIR must not lie under /tmp (each worker has its "
                             "own)\n");
        return 2;
    }
    std::error_code ec;
    fs::remove_all(opt.outdir, ec);
    fs::create_directories(opt.outdir, ec);
    if (ec) {
        std::fprintf(stderr, "fault_sweep: %s: %s\n", opt.outdir.c_str(), ec.message().c_str());
        return 1;
    }
    if (std::string why = enter_private_namespaces(); !why.empty()) {
        std::fprintf(stderr, "fault_sweep: %s\n", why.c_str());
        return 1;
    }

    // Plans: the calls of each message and the store without a fault.
    const std::vector<Scenario> scns = scenarios();
    std::vector<Plan> plans(scns.size());
    std::vector<Case> cases;
    bool failed = false;
    for (size_t s = 0; s < scns.size(); s++) {
        if (!opt.only.empty() && !opt.only.count(scns[s].id))
            continue;
        plans[s] = make_plan(scns[s]);
        if (!plans[s].why.empty()) {
            std::printf("FAIL %s: %s\n", scns[s].label.c_str(), plans[s].why.c_str());
            failed = true;
            continue;
        }
        std::string names;
        for (const auto &[name, n] : plans[s].by_name)
            names += " " + name + " " + std::to_string(n);
        std::printf("%-40s %3zu file-system calls:%s\n", scns[s].label.c_str(),
                    plans[s].calls.size(), names.c_str());
        if (!plans[s].door.empty())
            std::printf("FAIL %s: %zu calls like this: %s\n", scns[s].label.c_str(),
                        plans[s].door.size(), plans[s].door[0].c_str());
        failed = failed || !plans[s].door.empty();
        const auto ks = ks_for(plans[s].calls.size(), opt.k, opt.max_k);
        if (ks.size() < plans[s].calls.size() && opt.k == 0)
            std::printf("%-40s sampled: %zu of %zu calls, evenly spread\n", "", ks.size(),
                        plans[s].calls.size());
        for (size_t k : ks)
            for (char kind : opt.kinds)
                if (kind != 'o')
                    cases.push_back({s, kind, k});
        if (opt.kinds.find('o') == std::string::npos)
            continue;
        // The odd-file sweep: every odd kind at each (sampled) store name.
        const auto sampled = ks_for(plans[s].names.size(), 0, opt.max_names);
        std::printf("%-40s odd files at %zu of %zu store names\n", "", sampled.size(),
                    plans[s].names.size());
        // (A directory where one is is not odd.)
        for (size_t n : sampled)
            for (size_t odd = 0; odd < kOdd; odd++)
                if (kOddKinds[odd].name != std::string("directory") ||
                    !plans[s].seeded_dirs.count(plans[s].names[n - 1]))
                    cases.push_back({s, 'o', (n - 1) * kOdd + odd + 1});
    }
    if (cases.empty() && !failed) {
        std::fprintf(stderr, "fault_sweep: no case to run\n");
        return 2;
    }

    const int workers = std::min<int>(opt.workers, int(std::max<size_t>(1, cases.size())));
    std::printf("running %zu cases in %d workers\n", cases.size(), workers);
    if (!run_workers(workers, scns, plans, cases, opt.outdir)) {
        std::printf("FAIL a worker ended abnormally\n");
        failed = true;
    }

    // Every failure with what was seen, then the table.
    const Results r = read_results(workers, opt.outdir);
    for (const auto &[key, lines] : r.failures) {
        const auto &[s, kind, k] = key;
        const Plan &plan = plans[s];
        if (kind == 'o')
            std::printf("\nFAIL %s / %s at %s\n", scns[s].label.c_str(), kOddKinds[(k - 1) % kOdd].name,
                        plan.names.at((k - 1) / kOdd).c_str());
        else
            std::printf("\nFAIL %s / %s / K=%zu of %zu: %s\n", scns[s].label.c_str(), kind_name(kind),
                        k, plan.calls.size(), shown(plan.calls[k - 1].line, plan.tmpdir).c_str());
        for (const auto &l : lines)
            std::printf("%s\n", l.c_str());
        failed = true;
    }
    std::printf("\n| Message | Calls (store names) | Faults injected | Survived |\n|---|---|---|---|\n");
    size_t run_total = 0, passed_total = 0;
    for (const auto &[key, counts] : r.counts) {
        const auto &[s, odd] = key;
        std::printf("| %s%s | %zu | %zu | %zu |\n", scns[s].label.c_str(), odd ? ", odd files" : "",
                    odd ? plans[s].names.size() : plans[s].calls.size(), counts.first, counts.second);
        run_total += counts.first;
        passed_total += counts.second;
    }
    std::string kinds;
    for (char kind : opt.kinds)
        kinds += std::string(kinds.empty() ? "" : " and ") + kind_name(kind);
    const double minutes =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() / 60;
    std::printf("\nfault sweep: %zu of %zu faults survived (%s), %d workers, %.1f minutes\n",
                passed_total, run_total, kinds.c_str(), workers, minutes);
    if (r.cases != cases.size()) {
        std::printf("FAIL %zu cases have no result\n", cases.size() - r.cases);
        failed = true;
    }
    return failed ? 1 : 0;
}
