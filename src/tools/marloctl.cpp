// marloctl: the operator's tool beside the daemon.  It reads the daemon's
// configuration file to find the CTRL port, the pid file and the work
// directory, and then
//   - sends one command line on the CTRL port (single-vdisk-ping, ds-ping,
//     vdisk-deleted),
//   - signals the daemon (reload: SIGHUP, ping-now: SIGUSR1),
//   - shows the object database as tables, JSON or a DOT graph (status,
//     graph), reading without locks so that it never holds the daemon up,
//   - checks that the object database is whole and repairs it (check), and
//     sums up what an operator must act on (health),
//   - exports its state for monitoring (metrics).
//
// Exit status: 0 done; 1 failure (configuration, connection, pid file, work
// directory, object not found, an inconsistency found); 2 misuse (unknown
// command or option, an argument the daemon would misread).
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "daemon/config.h"
#include "daemon/syslog.h"
#include "object/door.h"
#include "tools/auth.h"
#include "tools/check.h"
#include "tools/control.h"
#include "tools/escape.h"
#include "tools/health.h"
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
    "  health [-v] [--json]   one screen: OK, WARN or ERROR, then one line per kind\n"
    "                         of problem with the first few objects and what to do;\n"
    "                         -v lists every object (exit status 1 unless OK)\n"
    "  check [--json]         list every inconsistency of the object database and\n"
    "                         the lock files (exit status 1 when there is any)\n"
    "  check --repair [--stale-locks] [--dry-run|-n]\n"
    "                         repair what a removal cut short left and make missing\n"
    "                         links, under the daemon's locks; with --stale-locks\n"
    "                         also remove lock files of processes that do not\n"
    "                         exist; with --dry-run only say what would be done\n"
    "  retire-node NODE [--silent-for SECONDS] [--dry-run|-n]\n"
    "                         remove the record of a node gone for good (not heard\n"
    "                         for SECONDS, default a day; listed by no datastore\n"
    "                         or vdisk), under its lock; --dry-run only says so\n"
    "  metrics [--per-vdisk] [--output FILE]\n"
    "                         the store's state in the Prometheus text format; with\n"
    "                         --output written atomically to FILE (mode 0644)\n"
    "  metrics --check [--output FILE]\n"
    "                         the check's findings by kind, in the same format (the\n"
    "                         whole store is read: run it less often)\n"
    "  single-vdisk-ping NODE VDISK\n"
    "                         make marlo announce vdisk VDISK of its local node NODE now\n"
    "  ds-ping NODE           make marlo announce the datastore of its local node NODE now\n"
    "  vdisk-deleted NODE VDISK\n"
    "                         make marlo announce that local node NODE dropped VDISK\n"
    "  keygen [--output FILE] a new random key line for auth_keys; with --output\n"
    "                         appended to FILE (created with mode 0600)\n"
    "  reload                 SIGHUP: marlo re-reads its local nodes, unicast hosts\n"
    "                         and keys; refused, without the signal, when marlo\n"
    "                         would refuse one of them\n"
    "  ping-now               SIGUSR1: marlo sends all its pings now\n"
    "\n"
    "Options:\n"
    "  -C config   the daemon's configuration file (default /varnholt/etc/marlo.conf)\n"
    "  -v          show the errors met while reading the object database; -v -v\n"
    "              every log line of the readers\n"
    "  -h, --help  this text\n"
    "  --version   the release (marloctl VERSION)\n"
    "\n"
    "NODE is a decimal node id, VDISK a vdisk uuid of 1 to 14 characters without\n"
    "blanks; NODE must be in the local nodes file, and single-vdisk-ping's VDISK\n"
    "linked by NODE in the store.  The CTRL commands return once the line is\n"
    "written; marlo answers nothing (see its log).  status reads the work\n"
    "directory without locks: values caught half-written or damaged are\n"
    "marked, never fatal.\n"
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
    print_error("marloctl: %s\n", why.c_str());
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
    enum class Kind { Ctrl, Signal, View, Check, Metrics, Health, Keygen, Retire };
    Command(Kind k, const std::string &n) : kind(k), name(n) {}
    Kind kind;
    std::string name;
    std::string line;  // Ctrl: the command line without its newline
    std::string node, vdisk;  // Ctrl: the arguments, the node in canonical form
    bool json = false; // View, Check, Health
    bool repair = false, stale_locks = false, dry_run = false;  // Check; dry_run: Retire too
    std::string output;                         // Metrics, Keygen: "" for standard output
    bool per_vdisk = false;                     // Metrics
    bool check = false;                         // Metrics: the check's findings alone
    long long silent_for = 86400;               // Retire: seconds not heard
    bool every = false;                         // Health: every object, not the first few
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
    c.node = checked_node(args[0]);
    if (n == 2)
        c.vdisk = args[1];
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
        else if (a == "--dry-run" || a == "-n")
            c.dry_run = true;
        else
            usage_error(cmd + ": unknown argument " + a);
    }
    if (c.stale_locks && !c.repair)
        usage_error("--stale-locks goes with --repair");
    if (c.dry_run && !c.repair)
        usage_error("--dry-run goes with --repair");
    if (c.json && c.repair)
        usage_error("--json does not go with --repair");
    return c;
}

// metrics [--per-vdisk] [--output FILE], keygen [--output FILE].
Command parse_output(Command::Kind kind, const std::string &cmd, const Args &args)
{
    Command c(kind, cmd);
    for (size_t i = 0; i < args.size(); i++) {
        if (args[i] == "--output" && i + 1 < args.size() && !args[i + 1].empty())
            c.output = args[++i];
        else if (args[i] == "--per-vdisk" && kind == Command::Kind::Metrics)
            c.per_vdisk = true;
        else if (args[i] == "--check" && kind == Command::Kind::Metrics)
            c.check = true;
        else if (args[i].rfind("--output=", 0) == 0 && args[i].size() > 9)
            c.output = args[i].substr(9);
        else
            usage_error(cmd + ": unknown argument " + args[i] +
                        (args[i] == "--output" ? " (needs a file)" : ""));
    }
    return c;
}

// retire-node NODE [--silent-for SECONDS] [--dry-run|-n]
Command parse_retire(const std::string &cmd, const Args &args)
{
    Command c(Command::Kind::Retire, cmd);
    for (size_t i = 0; i < args.size(); i++) {
        const std::string &a = args[i];
        if (a == "--dry-run" || a == "-n") {
            c.dry_run = true;
        } else if (a == "--silent-for" && i + 1 < args.size()) {
            const std::string &v = args[++i];
            if (v.empty() || v.size() > 9 || v.find_first_not_of("0123456789") != std::string::npos)
                usage_error("--silent-for takes seconds, not " + v);
            c.silent_for = std::stoll(v);
        } else if (c.node.empty() && a.rfind("-", 0) != 0) {
            c.node = checked_node(a);
        } else {
            usage_error(cmd + ": unknown argument " + a);
        }
    }
    if (c.node.empty())
        usage_error(cmd + " takes a node id");
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
    if (cmd == "health") {
        Command c(Command::Kind::Health, cmd);
        for (const std::string &a : args)
            if (a == "--json")
                c.json = true;
            else if (a == "-v" || a == "--verbose")
                c.every = true;
            else
                usage_error(cmd + ": unknown argument " + a);
        return c;
    }
    if (cmd == "retire-node")
        return parse_retire(cmd, args);
    usage_error("unknown command `" + cmd + "'");
}

// Whether the daemon would act on the command: its node is a local node,
// and single-vdisk-ping's vdisk one that node links in the store.  The
// daemon would end such a command without a word.  "" when it would act.
std::string ctrl_refusal(const Command &c)
{
    std::vector<std::string> local;
    std::string why;
    if (local_nodes_file(&local, &why) != 0)
        return why;
    if (std::find(local.begin(), local.end(), c.node) == local.end())
        return "node " + c.node + " is not in the local nodes file " +
               work_path(cfg_work_directory, cfg_local_nodes) + ": marlo announces only those";
    if (c.name != "single-vdisk-ping")
        return "";
    const std::string rel = c.node + "/vdisks/" + c.vdisk;
    const int found = door_lookup(StoreTop::NODE, rel.c_str());
    if (found > 0)
        return "";
    return found == 0 ? "node " + c.node + " has no vdisk " + c.vdisk + " in " +
                            cfg_work_directory + " (no Node/" + rel + ")"
                      : cfg_work_directory + "/Node/" + rel + ": " + strerror(errno);
}

int run_ctrl(const Command &c)
{
    std::string why = ctrl_refusal(c);
    if (!why.empty())
        return fail(why);
    if (ctrl_send(cfg_ctrl_address, cfg_ctrl_port, c.line + "\n", &why) != 0)
        return fail(why);
    return EXIT_OK;
}

// reload first reads what the daemon would read, with its readers: a file it
// would refuse fails the command, and the daemon is left alone.
int run_signal(const Command &c)
{
    std::string why;
    if (c.name == "reload" && reload_check(&why) != 0)
        return fail("reload refused, marlo not signalled: " + why);
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

// What a check looks at: the store, the lock files, the daemon and this
// host's nodes.
CheckScope check_scope(const DaemonState &daemon)
{
    CheckScope scope;
    scope.work_directory = cfg_work_directory;
    scope.daemon_pid = daemon.up ? daemon.pid : 0;
    scope.local_nodes = local_node_ids(daemon);
    return scope;
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
    DaemonState daemon;
    if (c.name == "status") {
        daemon = daemon_state();
        view.daemon_known = true;
        view.daemon_up = daemon.up;
        view.daemon_why = daemon.why;
        if (daemon.busy)
            view.daemon_busy = "fence check for vdisk " + daemon.fence.vdisk + " member " +
                               daemon.fence.member + " running for " +
                               std::to_string(daemon.fence.seconds) + " s";
    }
    std::string out = c.name == "graph" ? render_dot(view)
                      : c.json          ? render_json(view)
                                        : render_table(view);
    // With authentication on, the table ends with the daemon's counters of it.
    if (c.name == "status" && !c.json && cfg_auth_mode != AUTH_OFF)
        out += render_auth(cfg_auth_mode == AUTH_SIGN ? "sign" : "require", daemon);
    return print(out);
}

// Repairs in rounds (a repair may leave what the next one finishes, such as
// the links of a vdisk whose removal it finished) until a round changes
// nothing, printing each change; then the check of what is left.  A dry run
// makes one round and shows what no repair would mend.
int run_repair(const Command &c)
{
    const RepairOptions options{c.stale_locks, c.dry_run};
    const CheckScope scope = check_scope(daemon_state());
    std::vector<std::string> tried;
    RepairLog log;
    CheckReport report;
    std::string why;
    const int max_rounds = c.dry_run ? 1 : 8;
    for (int round = 0; round < max_rounds; round++) {
        if (check_store(scope, &report, &why) != 0)
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
    if (c.dry_run) {
        auto &found = report.findings;
        found.erase(std::remove_if(found.begin(), found.end(),
                                   [&](const Finding &f) {
                                       return std::find(log.changed.begin(), log.changed.end(),
                                                        finding_key(f)) != log.changed.end();
                                   }),
                    found.end());
    } else if (log.changes != 0 && check_store(scope, &report, &why) != 0) {
        return fail(why);
    }
    std::string summary = log.changes == 0 ? std::string("Nothing repaired.\n")
                          : c.dry_run ? std::to_string(log.changes) + " would be repaired; nothing changed.\n"
                                      : std::to_string(log.changes) + " repaired.\n";
    if (log.stale_locks_left != 0)
        summary += std::to_string(log.stale_locks_left) + " stale lock" +
                   (log.stale_locks_left == 1 ? "" : "s") +
                   " left: --stale-locks removes the lock files of processes that do not exist.\n";
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
    if (check_store(check_scope(daemon_state()), &report, &why) != 0)
        return fail(why);
    if (print(c.json ? render_check_json(report) : render_check_table(report)) != EXIT_OK)
        return EXIT_FAIL;
    return report.findings.empty() ? EXIT_OK : EXIT_FAIL;
}

// Everything metrics and health look at: the daemon, the store and the
// check of both.  store_error says why the store could not be read ("" when
// it was); what was read of it is kept either way.
struct Observed {
    DaemonState daemon;
    CheckScope scope;
    ClusterView view;
    CheckReport report;
    std::string store_error;
};

// full: the whole check too, not only what status reads.
Observed observe(bool full)
{
    Observed o;
    o.daemon = daemon_state();
    o.scope = check_scope(o.daemon);
    o.view.heartbeat_interval = cfg_heartbeat_interval;
    if (status_read(cfg_work_directory, &o.view, &o.store_error) == 0 && full)
        check_store(o.scope, &o.report, &o.store_error);
    return o;
}

int run_metrics(const Command &c)
{
    MetricsRun run;
    run.started = metrics_clock();
    run.per_vdisk = c.per_vdisk;
    run.check = c.check;
    const Observed o = observe(c.check);
    run.local_nodes = o.scope.local_nodes;
    run.store_readable = o.store_error.empty();
    const std::string text = render_metrics(o.view, o.report, o.daemon, run);
    std::string why;
    if (!c.output.empty() && write_file_atomically(c.output, text, &why) != 0)
        return fail(why);
    if (c.output.empty() && print(text) != EXIT_OK)
        return EXIT_FAIL;
    // The file says the store is unreadable; the status says it too.
    return o.store_error.empty() ? EXIT_OK : fail(o.store_error);
}

int run_retire(const Command &c)
{
    // A node silent for less than three heartbeat intervals is not silent.
    if (c.silent_for < 3LL * cfg_heartbeat_interval)
        return fail("--silent-for " + std::to_string(c.silent_for) +
                    " is within three heartbeat intervals (" +
                    std::to_string(3LL * cfg_heartbeat_interval) + "s)");
    RetireOptions options;
    options.dry_run = c.dry_run;
    options.silent_for = c.silent_for;
    options.local_nodes = local_node_ids(daemon_state());
    std::string said;
    const int refused = retire_node(c.node, options, &said);
    if (print(said + "\n") != EXIT_OK)
        return EXIT_FAIL;
    return refused ? EXIT_FAIL : EXIT_OK;
}

int run_health(const Command &c)
{
    const Observed o = observe(true);
    const Health health = health_of({&o.view, &o.report, &o.daemon, o.scope.local_nodes,
                                     o.store_error, config_health(o.scope.local_nodes)});
    if (print(c.json ? render_health_json(health) : render_health(health, c.every)) != EXIT_OK)
        return EXIT_FAIL;
    return health.level == HealthLevel::Ok ? EXIT_OK : EXIT_FAIL;
}

}  // namespace

int main(int argc, char **argv)
{
    int verbose = 0;
    static const struct option long_options[] = {
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, 'V'},
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
        case 'V':
            return print(std::string("marloctl ") + MARLO_VERSION + "\n");
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
    case Command::Kind::Health: return run_health(command);
    case Command::Kind::Retire: return run_retire(command);
    case Command::Kind::Keygen: break;
    }
    return EXIT_FAIL;
}
