// marloctl: the operator's tool beside the daemon.  It reads the daemon's
// configuration file to find the CTRL port, the pid file and the work
// directory, and then
//   - sends one command line on the CTRL port (single-vdisk-ping, ds-ping,
//     vdisk-deleted),
//   - signals the daemon (reload: SIGHUP, ping-now: SIGUSR1),
//   - shows the object database as tables, JSON or a DOT graph (status,
//     graph), reading without locks so that it never holds the daemon up,
//   - checks that the object database is whole and repairs it (check),
//   - exports its state for monitoring (metrics).
//
// Exit status: 0 done; 1 failure (configuration, connection, pid file, work
// directory, object not found, an inconsistency found); 2 misuse (unknown
// command or option, an argument the daemon would misread).
#include <getopt.h>
#include <signal.h>
#include <syslog.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/config.h"
#include "tools/auth.h"
#include "tools/check.h"
#include "tools/control.h"
#include "tools/escape.h"
#include "tools/metrics.h"
#include "tools/repair.h"
#include "tools/report.h"
#include "tools/status.h"

namespace {

constexpr int EXIT_OK = 0;
constexpr int EXIT_FAIL = 1;
constexpr int EXIT_USAGE = 2;

const char *const USAGE = "Usage: marloctl [-v] [-C config] command [arguments]\n";

const char *const HELP =
    "\n"
    "Commands:\n"
    "  status [--json] [--node ID] [--vdisk UUID]\n"
    "                         nodes, datastores and vdisks as this host sees them\n"
    "  graph [--node ID] [--vdisk UUID]\n"
    "                         the same as a Graphviz DOT graph (render: dot -Tsvg)\n"
    "  check [--json]         list every inconsistency of the object database and\n"
    "                         the lock files (exit status 1 when there is any)\n"
    "  check --repair [--stale-locks]\n"
    "                         repair what is safe, under the daemon's locks; with\n"
    "                         --stale-locks also remove lock files of processes\n"
    "                         that do not exist\n"
    "  metrics [--output FILE]\n"
    "                         the store's state in the Prometheus text format; with\n"
    "                         --output written atomically to FILE (mode 0644)\n"
    "  single-vdisk-ping NODE VDISK\n"
    "                         make marlo announce vdisk VDISK of its local node NODE now\n"
    "  ds-ping NODE           make marlo announce the datastore of its local node NODE now\n"
    "  vdisk-deleted NODE VDISK\n"
    "                         make marlo announce that local node NODE dropped VDISK\n"
    "  keygen [--output FILE] a new random key line for auth_keys; with --output\n"
    "                         appended to FILE (created with mode 0600)\n"
    "  reload                 SIGHUP: marlo re-reads its local nodes, unicast hosts\n"
    "                         and keys\n"
    "  ping-now               SIGUSR1: marlo sends all its pings now\n"
    "\n"
    "Options:\n"
    "  -C config   the daemon's configuration file (default /varnholt/etc/marlo.conf)\n"
    "  -v          show the errors met while reading the object database; -v -v\n"
    "              every log line of the readers\n"
    "  -h, --help  this text\n"
    "\n"
    "NODE is a decimal node id, VDISK a vdisk uuid of 1 to 14 characters without\n"
    "blanks.  The CTRL commands return once the line is written; marlo answers\n"
    "nothing (see its log).  status reads the work directory without locks:\n"
    "values caught half-written or damaged are marked, never fatal.\n"
    "Marks: - missing, ? unreadable (listed under Problems), ! names a missing\n"
    "object, * silent for more than three heartbeat intervals.\n"
    "\n"
    "Exit status: 0 done; 1 failure (configuration, connection, pid file, work\n"
    "directory, node or vdisk not found, an inconsistency found); 2 misuse or\n"
    "refused argument.\n";

[[noreturn]] void usage_error(const std::string &why)
{
    if (!why.empty())
        std::fprintf(stderr, "marloctl: %s\n", why.c_str());
    std::fputs(USAGE, stderr);
    std::exit(EXIT_USAGE);
}

int fail(const std::string &why)
{
    std::fprintf(stderr, "marloctl: %s\n", why.c_str());
    return EXIT_FAIL;
}

// The object readers log through syslog.  Their lines are for -v only, and
// then only on standard error's copy; without -v the mask lets no priority
// through (bit 8 is no priority, and a zero mask would mean "unchanged").
void open_log(int verbose)
{
    if (verbose == 0) {
        ::openlog("marloctl", 0, LOG_USER);
        ::setlogmask(1 << 8);
        return;
    }
    ::openlog("marloctl", LOG_PERROR, LOG_USER);
    ::setlogmask(verbose >= 2 ? LOG_UPTO(LOG_DEBUG) : LOG_UPTO(LOG_WARNING));
}

// Arguments of a command after its name.
using Args = std::vector<std::string>;

// The CTRL and signal commands take no options: an argument that starts
// with "-" is an argument (a vdisk uuid may), and the checks judge it.
void want_args(const std::string &cmd, const Args &args, size_t n)
{
    if (args.size() != n)
        usage_error(cmd + " takes " + std::to_string(n) + " argument" + (n == 1 ? "" : "s"));
}

std::string checked_node(const std::string &text)
{
    std::string canonical, why;
    if (node_arg_check(text, &canonical, &why) != 0)
        usage_error(why);
    return canonical;
}

std::string checked_uuid(const std::string &text)
{
    std::string why;
    if (uuid_arg_check(text, &why) != 0)
        usage_error(why);
    return text;
}

// A command checked against its arguments, ready to run once the
// configuration is read.
struct Command {
    enum class Kind { Ctrl, Signal, View, Check, Metrics, Keygen };
    Command(Kind k, const std::string &n) : kind(k), name(n) {}
    Kind kind;
    std::string name;
    std::string line;  // Ctrl: the command line without its newline
    bool json = false; // View, Check
    bool repair = false, stale_locks = false;  // Check
    std::string output;  // Metrics, Keygen: "" for standard output
    StatusFilter filter;
};

Command parse_ctrl(const std::string &cmd, const Args &args)
{
    Command c(Command::Kind::Ctrl, cmd);
    const size_t n = cmd == "ds-ping" ? 1 : 2;
    want_args(cmd, args, n);
    std::string why;
    if (ctrl_line_build(cmd, args[0], n == 2 ? args[1] : "", &c.line, &why) != 0)
        usage_error(why);
    return c;
}

Command parse_view(const std::string &cmd, const Args &args)
{
    Command c(Command::Kind::View, cmd);
    for (size_t i = 0; i < args.size(); i++) {
        std::string a = args[i];
        std::string value;
        bool has_value = false;
        if (size_t eq = a.find('='); a.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = a.substr(eq + 1);
            a = a.substr(0, eq);
            has_value = true;
        }
        if (a == "--json" && cmd == "status" && !has_value) {
            c.json = true;
        } else if (a == "--node" || a == "--vdisk") {
            if (!has_value) {
                if (i + 1 >= args.size())
                    usage_error(a + " needs a value");
                value = args[++i];
            }
            if (a == "--node") {
                c.filter.by_node = true;
                c.filter.node = uint32_t(std::stoul(checked_node(value)));
            } else {
                c.filter.by_vdisk = true;
                c.filter.vdisk = checked_uuid(value);
            }
        } else {
            usage_error(cmd + ": unknown argument " + args[i]);
        }
    }
    return c;
}

Command parse_check(const std::string &cmd, const Args &args)
{
    Command c(Command::Kind::Check, cmd);
    for (const std::string &a : args) {
        if (a == "--json")
            c.json = true;
        else if (a == "--repair")
            c.repair = true;
        else if (a == "--stale-locks")
            c.stale_locks = true;
        else
            usage_error(cmd + ": unknown argument " + a);
    }
    if (c.stale_locks && !c.repair)
        usage_error("--stale-locks goes with --repair");
    if (c.json && c.repair)
        usage_error("--json does not go with --repair");
    return c;
}

// A command whose one option is --output FILE.
Command parse_output(Command::Kind kind, const std::string &cmd, const Args &args)
{
    Command c(kind, cmd);
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--output" && i + 1 < args.size() && !args[i + 1].empty())
            c.output = args[++i];
        else if (args[i].rfind("--output=", 0) == 0 && args[i].size() > 9)
            c.output = args[i].substr(9);
        else
            usage_error(cmd + ": unknown argument " + args[i] +
                        (args[i] == "--output" ? " (needs a file)" : ""));
    }
    return c;
}

Command parse_command(const std::string &cmd, const Args &args)
{
    if (cmd == "single-vdisk-ping" || cmd == "ds-ping" || cmd == "vdisk-deleted")
        return parse_ctrl(cmd, args);
    if (cmd == "reload" || cmd == "ping-now") {
        want_args(cmd, args, 0);
        return Command(Command::Kind::Signal, cmd);
    }
    if (cmd == "status" || cmd == "graph")
        return parse_view(cmd, args);
    if (cmd == "check")
        return parse_check(cmd, args);
    if (cmd == "metrics")
        return parse_output(Command::Kind::Metrics, cmd, args);
    if (cmd == "keygen")
        return parse_output(Command::Kind::Keygen, cmd, args);
    usage_error("unknown command `" + cmd + "'");
}

int run_ctrl(const Command &c)
{
    std::string why;
    if (ctrl_send(cfg_ctrl_address, cfg_ctrl_port, c.line + "\n", &why) != 0)
        return fail(why);
    return EXIT_OK;
}

int run_signal(const Command &c)
{
    std::string why;
    const int sig = c.name == "reload" ? SIGHUP : SIGUSR1;
    if (signal_daemon(sig, &why) != 0)
        return fail(why);
    return EXIT_OK;
}

// Writes text to standard output.  EXIT_OK, or EXIT_FAIL when it could not
// be written.
int print(const std::string &text)
{
    std::fputs(text.c_str(), stdout);
    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return fail(std::string("standard output: ") + strerror(errno));
    return EXIT_OK;
}

int run_view(const Command &c)
{
    ClusterView view;
    view.heartbeat_interval = cfg_heartbeat_interval;
    std::string why;
    if (status_read(cfg_work_directory, &view, &why) != 0)
        return fail(why);
    if (status_filter(&view, c.filter) != 0) {
        std::string what;
        if (c.filter.by_node)
            what = "node " + std::to_string(c.filter.node);
        if (c.filter.by_vdisk)
            what += (what.empty() ? "" : " or ") + std::string("vdisk ") + c.filter.vdisk;
        return fail(what + " not found in " + cfg_work_directory);
    }
    std::string out = c.name == "graph" ? render_dot(view)
                      : c.json          ? render_json(view)
                                        : render_table(view);
    // With authentication on, the table ends with the daemon's counters of it.
    if (c.name == "status" && !c.json && cfg_auth_mode != AUTH_OFF) {
        DaemonState d;
        d.up = ctrl_counters(cfg_ctrl_address, cfg_ctrl_port, &d.counters, &d.why, 1000) == 0;
        out += render_auth(cfg_auth_mode == AUTH_SIGN ? "sign" : "require", d);
    }
    return print(out);
}

// Repairs in rounds (a repair may leave what the next one finishes, such as
// the links of a vdisk whose removal it finished) until a round changes
// nothing, printing each change; then the check of what is left.
int run_repair(const Command &c)
{
    const RepairOptions options{c.stale_locks};
    std::vector<std::string> tried;
    RepairLog log;
    CheckReport report;
    std::string why;
    constexpr int MAX_ROUNDS = 8;
    for (int round = 0; round < MAX_ROUNDS; round++) {
        if (check_store(cfg_work_directory, LOCK_DIR, &report, &why) != 0)
            return fail(why);
        const size_t shown = log.lines.size();
        const int changes = log.changes;
        repair_findings(report, options, &tried, &log);
        std::string lines;
        for (size_t i = shown; i < log.lines.size(); i++)
            lines += cell_text(log.lines[i]) + "\n";
        if (print(lines) != EXIT_OK)
            return EXIT_FAIL;
        if (log.changes == changes)
            break;
    }
    if (log.changes != 0 && check_store(cfg_work_directory, LOCK_DIR, &report, &why) != 0)
        return fail(why);
    const std::string summary = log.changes == 0 ? "Nothing repaired.\n"
                                                 : std::to_string(log.changes) + " repaired.\n";
    if (print(summary + "\n" + render_check_table(report)) != EXIT_OK)
        return EXIT_FAIL;
    return report.findings.empty() ? EXIT_OK : EXIT_FAIL;
}

int run_check(const Command &c)
{
    if (c.repair)
        return run_repair(c);
    CheckReport report;
    std::string why;
    if (check_store(cfg_work_directory, LOCK_DIR, &report, &why) != 0)
        return fail(why);
    if (print(c.json ? render_check_json(report) : render_check_table(report)) != EXIT_OK)
        return EXIT_FAIL;
    return report.findings.empty() ? EXIT_OK : EXIT_FAIL;
}

int run_metrics(const Command &c)
{
    ClusterView view;
    view.heartbeat_interval = cfg_heartbeat_interval;
    CheckReport report;
    std::string why;
    if (status_read(cfg_work_directory, &view, &why) != 0 ||
        check_store(cfg_work_directory, LOCK_DIR, &report, &why) != 0)
        return fail(why);
    const std::string text = render_metrics(view, report, daemon_state());
    if (c.output.empty())
        return print(text);
    if (write_file_atomically(c.output, text, &why) != 0)
        return fail(why);
    return EXIT_OK;
}

}  // namespace

int main(int argc, char **argv)
{
    int verbose = 0;
    static const struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;  // the usage line is the complaint
    int c;
    // "+": options end at the command word.
    while ((c = getopt_long(argc, argv, "+vC:h", long_options, nullptr)) != -1) {
        switch (c) {
        case 'v':
            verbose++;
            break;
        case 'C':
            opt_config = optarg;
            break;
        case 'h':
            std::fputs(USAGE, stdout);
            std::fputs(HELP, stdout);
            return EXIT_OK;
        default:
            if (optopt == 'C')
                usage_error("-C needs a path");
            usage_error(optopt != 0 ? std::string("unknown option -") + char(optopt)
                                    : std::string("unknown option ") + argv[optind - 1]);
        }
    }
    if (optind >= argc)
        usage_error("no command given");
    const Args args(argv + optind + 1, argv + argc);
    for (const std::string &a : args) {
        if (a == "-h" || a == "--help") {
            std::fputs(USAGE, stdout);
            std::fputs(HELP, stdout);
            return EXIT_OK;
        }
    }
    // Arguments are checked before the configuration is read: misuse is
    // reported the same way whatever the configuration says.
    const Command command = parse_command(argv[optind], args);

    open_log(verbose);
    // A new key needs no configuration.
    if (command.kind == Command::Kind::Keygen) {
        std::string why;
        return keygen(command.output, &why) == 0 ? EXIT_OK : fail(why);
    }
    config_module_setup();
    config_load();  // the daemon's reader: any error prints and exits with 1

    switch (command.kind) {
    case Command::Kind::Ctrl: return run_ctrl(command);
    case Command::Kind::Signal: return run_signal(command);
    case Command::Kind::View: return run_view(command);
    case Command::Kind::Check: return run_check(command);
    case Command::Kind::Metrics: return run_metrics(command);
    case Command::Kind::Keygen: break;
    }
    return EXIT_FAIL;
}
