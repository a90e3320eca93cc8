// The configuration: twenty-three process-wide settings, their defaults, the
// key=value file reader and the one-line dump of the effective values.
#include "daemon/config.h"

#include <regex.h>
#include <strings.h>
#include <syslog.h>

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "daemon/check.h"
#include "daemon/syslog.h"

std::string opt_config = "/varnholt/etc/marlo.conf";
int opt_debug = 0;

std::string cfg_syslog_ident;
int cfg_syslog_facility = -1;
int cfg_syslog_priority = -1;
std::string cfg_pid_file;
std::string cfg_work_directory;
std::string cfg_local_nodes;
int cfg_unicast_mode = -1;
std::string cfg_unicast_hosts;
std::string cfg_bind_interface;
int cfg_bind_port = -1;
std::string cfg_ctrl_address;
int cfg_ctrl_port = -1;
std::string cfg_multicast_address;
int cfg_node_lock_timeout_ms = -1;
int cfg_datastore_lock_timeout_ms = -1;
int cfg_vdisk_lock_timeout_ms = -1;
std::string cfg_fence_check;
int cfg_ping_interval = -1;
int cfg_heartbeat_interval = -1;
int cfg_stats_interval = -1;
int cfg_auth_mode = -1;
std::string cfg_auth_keys;
int cfg_auth_window = -1;

int config_module_initialized = 0;

namespace {

// Syslog facility and priority names, in the order of the system's tables
// (when a value has several names the first one is shown), and the
// authentication modes.
struct SyslogName {
    const char *name;
    int value;
};

constexpr SyslogName facility_names[] = {
    {"auth", LOG_AUTH},         {"authpriv", LOG_AUTHPRIV}, {"cron", LOG_CRON},
    {"daemon", LOG_DAEMON},     {"ftp", LOG_FTP},           {"kern", LOG_KERN},
    {"lpr", LOG_LPR},           {"mail", LOG_MAIL},         {"mark", 24 << 3},
    {"news", LOG_NEWS},         {"security", LOG_AUTH},     {"syslog", LOG_SYSLOG},
    {"user", LOG_USER},         {"uucp", LOG_UUCP},         {"local0", LOG_LOCAL0},
    {"local1", LOG_LOCAL1},     {"local2", LOG_LOCAL2},     {"local3", LOG_LOCAL3},
    {"local4", LOG_LOCAL4},     {"local5", LOG_LOCAL5},     {"local6", LOG_LOCAL6},
    {"local7", LOG_LOCAL7},
};

constexpr SyslogName priority_names[] = {
    {"alert", LOG_ALERT},     {"crit", LOG_CRIT},   {"debug", LOG_DEBUG},
    {"emerg", LOG_EMERG},     {"err", LOG_ERR},     {"error", LOG_ERR},
    {"info", LOG_INFO},       {"none", 0x10},       {"notice", LOG_NOTICE},
    {"panic", LOG_EMERG},     {"warn", LOG_WARNING}, {"warning", LOG_WARNING},
};

constexpr SyslogName auth_mode_names[] = {
    {"off", AUTH_OFF}, {"sign", AUTH_SIGN}, {"require", AUTH_REQUIRE},
};

static_assert(LOG_DAEMON == 24 && LOG_AUTH == 32 && LOG_LOCAL7 == 184);

template <size_t N>
const SyslogName *name_by_text(const SyslogName (&table)[N], const char *text)
{
    for (const auto &e : table)
        if (strcasecmp(e.name, text) == 0)
            return &e;
    return nullptr;
}

template <size_t N>
const char *name_of_value(const SyslogName (&table)[N], int value)
{
    for (const auto &e : table)
        if (e.value == value)
            return e.name;
    return "?";
}

// How a value is applied.
enum class Kind {
    String,     // replaces the stored copy
    Ident,      // replaces the stored copy, then reopens the log
    Facility,   // facility name, then reopens the log
    Priority,   // priority name, then reopens the log
    AuthMode,   // off, sign or require
    Interface,  // string of at most 15 characters
    Int,        // decimal number within [min, max]
};

struct Setting {
    const char *key;
    Kind kind;
    std::string *str;
    int *num;
    int min;
    int max;
};

// In the order of the documentation: keys are compared in this order.
const Setting settings[] = {
    {"syslog_ident", Kind::Ident, &cfg_syslog_ident, nullptr, 0, 0},
    {"syslog_facility", Kind::Facility, nullptr, &cfg_syslog_facility, 0, 0},
    {"syslog_priority", Kind::Priority, nullptr, &cfg_syslog_priority, 0, 0},
    {"pid_file", Kind::String, &cfg_pid_file, nullptr, 0, 0},
    {"work_directory", Kind::String, &cfg_work_directory, nullptr, 0, 0},
    {"local_nodes", Kind::String, &cfg_local_nodes, nullptr, 0, 0},
    {"unicast_mode", Kind::Int, nullptr, &cfg_unicast_mode, 0, INT_MAX},
    {"unicast_hosts", Kind::String, &cfg_unicast_hosts, nullptr, 0, 0},
    {"bind_interface", Kind::Interface, &cfg_bind_interface, nullptr, 0, 0},
    {"bind_port", Kind::Int, nullptr, &cfg_bind_port, 1, 65535},
    {"ctrl_address", Kind::String, &cfg_ctrl_address, nullptr, 0, 0},
    {"ctrl_port", Kind::Int, nullptr, &cfg_ctrl_port, 1, 65535},
    {"multicast_address", Kind::String, &cfg_multicast_address, nullptr, 0, 0},
    {"node_lock_timeout_ms", Kind::Int, nullptr, &cfg_node_lock_timeout_ms, 0, 60000},
    {"datastore_lock_timeout_ms", Kind::Int, nullptr, &cfg_datastore_lock_timeout_ms, 0, 60000},
    {"vdisk_lock_timeout_ms", Kind::Int, nullptr, &cfg_vdisk_lock_timeout_ms, 0, 60000},
    {"fence_check", Kind::String, &cfg_fence_check, nullptr, 0, 0},
    {"ping_interval", Kind::Int, nullptr, &cfg_ping_interval, 0, 3600},
    {"heartbeat_interval", Kind::Int, nullptr, &cfg_heartbeat_interval, 0, 3600},
    {"stats_interval", Kind::Int, nullptr, &cfg_stats_interval, 0, 86400},
    {"auth_mode", Kind::AuthMode, nullptr, &cfg_auth_mode, 0, 0},
    {"auth_keys", Kind::String, &cfg_auth_keys, nullptr, 0, 0},
    {"auth_window", Kind::Int, nullptr, &cfg_auth_window, 1, 3600},
};

constexpr size_t IFACE_NAME_MAX = 15;
constexpr size_t LINE_BUF_LEN = 1024;

const char *const comment_pattern = "^(#|;)|^[[:blank:]]*$";
const char *const unquoted_pattern =
    "^[[:blank:]]*([[:alnum:]_.]+)[[:blank:]]*=[[:blank:]]*([[:graph:]]+)[[:blank:]]*$";
const char *const quoted_pattern =
    "^[[:blank:]]*([[:alnum:]_.]+)[[:blank:]]*=[[:blank:]]*\"([[:print:]]*)\"[[:blank:]]*$";

regex_t comment_re, unquoted_re, quoted_re;

void compile(regex_t *re, const char *pattern, int flags)
{
    int rc = regcomp(re, pattern, REG_EXTENDED | flags);
    if (rc != 0) {
        char msg[1024];
        regerror(rc, re, msg, sizeof msg);
        std::fprintf(stderr, "regcomp(%s): %s\n", pattern, msg);
        std::exit(1);
    }
}

// Formats a reader error into *error; always -1.
int fail(std::string *error, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
int fail(std::string *error, const char *fmt, ...)
{
    char msg[LINE_BUF_LEN + 128];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    *error = msg;
    return -1;
}

void reopen_log()
{
    if (syslog_module_initialized)
        syslog_module_setup();
}

// Decimal conversion as the file format defines it: the leading digits (an
// optional sign first), anything after them ignored, no digits giving 0.
// Values beyond the int range are clamped, so they fail every range check
// instead of wrapping into it.
int convert_number(const char *text)
{
    long v = std::strtol(text, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return int(v);
}

int apply(const Setting &s, const char *value, std::string *error)
{
    switch (s.kind) {
    case Kind::String:
        *s.str = value;
        return 0;
    case Kind::Ident:
        *s.str = value;
        reopen_log();
        return 0;
    case Kind::Facility:
    case Kind::Priority:
    case Kind::AuthMode: {
        const SyslogName *e = s.kind == Kind::Facility   ? name_by_text(facility_names, value)
                              : s.kind == Kind::Priority ? name_by_text(priority_names, value)
                                                         : name_by_text(auth_mode_names, value);
        if (!e)
            return fail(error, "error: %s(): Incorrect %s value: `%s'\n", "config_load", s.key,
                        value);
        *s.num = e->value;
        if (s.kind != Kind::AuthMode)
            reopen_log();
        return 0;
    }
    case Kind::Interface:
        if (std::strlen(value) > IFACE_NAME_MAX)
            return fail(error, "error: %s(): Incorrect %s value: `%s'\n", "config_load", s.key,
                        value);
        *s.str = value;
        return 0;
    case Kind::Int: {
        int v = convert_number(value);
        if (v < s.min || v > s.max)
            return fail(error, "error: %s(): Incorrect %s value: %d\n", "config_load", s.key, v);
        *s.num = v;
        return 0;
    }
    }
    MARLO_ASSERT(!"unknown setting kind");
    return -1;
}

// One line without its newline.  0, or -1 with *error set.
int config_line(char *line, std::string *error)
{
    if (regexec(&comment_re, line, 0, nullptr, 0) == 0)
        return 0;
    regmatch_t m[3];
    if (regexec(&quoted_re, line, 3, m, 0) != 0 && regexec(&unquoted_re, line, 3, m, 0) != 0)
        return fail(error, "error: %s(): Broken config line `%s'\n", "config_load", line);
    char *key = line + m[1].rm_so;
    char *value = line + m[2].rm_so;
    line[m[1].rm_eo] = '\0';
    line[m[2].rm_eo] = '\0';
    for (const Setting &s : settings)
        if (std::strcmp(key, s.key) == 0)
            return apply(s, value, error);
    return fail(error, "error: %s(): Unknown config option `%s'\n", "config_load", key);
}

}  // namespace

void config_module_setup()
{
    MARLO_ASSERT(!config_module_initialized);
    compile(&comment_re, comment_pattern, REG_NOSUB);
    compile(&unquoted_re, unquoted_pattern, 0);
    compile(&quoted_re, quoted_pattern, 0);

    cfg_syslog_ident = "marlo";
    cfg_syslog_facility = LOG_DAEMON;
    cfg_syslog_priority = LOG_INFO;
    cfg_pid_file = "/var/run/marlo.pid";
    cfg_work_directory = "/varnholt/DB";
    cfg_local_nodes = "/varnholt/local_nodes";
    cfg_unicast_mode = 0;
    cfg_unicast_hosts = "/varnholt/unicast_hosts";
    cfg_bind_interface = "eth0";
    cfg_bind_port = 8000;
    cfg_ctrl_address = "127.0.0.1";
    cfg_ctrl_port = 31337;
    cfg_multicast_address = "224.123.123.123";
    cfg_node_lock_timeout_ms = 750;
    cfg_datastore_lock_timeout_ms = 750;
    cfg_vdisk_lock_timeout_ms = 750;
    cfg_fence_check = "/usr/harrowgate/fencecheck";
    cfg_ping_interval = 90;
    cfg_heartbeat_interval = 30;
    cfg_stats_interval = 60;
    cfg_auth_mode = AUTH_OFF;
    cfg_auth_keys = "/varnholt/auth_keys";
    cfg_auth_window = 30;

    config_module_initialized = 1;
}

int config_read(FILE *fp, std::string *error)
{
    MARLO_ASSERT(config_module_initialized);
    // 1022 characters and the newline fit; a longer line arrives without
    // its newline and is refused, and so is a last line without one.
    char line[LINE_BUF_LEN];
    while (std::fgets(line, sizeof line, fp)) {
        char *nl = std::strchr(line, '\n');
        if (!nl)
            return fail(error, "error: %s(): Config line too long\n", "config_load");
        *nl = '\0';
        if (config_line(line, error) < 0)
            return -1;
    }
    if (std::ferror(fp))
        return fail(error, "error: %s(): Error reading config\n", "config_load");
    return 0;
}

void config_load()
{
    MARLO_ASSERT(config_module_initialized);
    FILE *fp = std::fopen(opt_config.c_str(), "re");
    std::string error;
    int rc;
    if (!fp) {
        rc = fail(&error, "error: %s(): fopen(%s): %s\n", "config_load", opt_config.c_str(),
                  strerror(errno));
    } else {
        rc = config_read(fp, &error);
        std::fclose(fp);
    }
    if (rc < 0) {
        print_error("%s", error.c_str());  // at err in the journal
        std::exit(1);
    }
}

void config_dump()
{
    MARLO_ASSERT(config_module_initialized);
    // The signing settings follow only when signing is on: with it off the
    // line is the one every daemon has always logged.
    std::string auth;
    if (cfg_auth_mode != AUTH_OFF)
        auth = std::string(" auth_mode=") + name_of_value(auth_mode_names, cfg_auth_mode) +
               " auth_keys=" + cfg_auth_keys + " auth_window=" + std::to_string(cfg_auth_window);
    ::syslog(LOG_INFO,
             "syslog_ident=%s syslog_facility=%s syslog_priority=%s pid_file=%s "
             "work_directory=%s local_nodes=%s unicast_mode=%d unicast_hosts=%s "
             "bind_interface=%s bind_port=%d ctrl_address=%s ctrl_port=%d multicast_address=%s "
             "node_lock_timeout_ms=%d datastore_lock_timeout_ms=%d vdisk_lock_timeout_ms=%d "
             "fence_check=%s ping_interval=%d heartbeat_interval=%d stats_interval=%d%s",
             cfg_syslog_ident.c_str(), name_of_value(facility_names, cfg_syslog_facility),
             name_of_value(priority_names, cfg_syslog_priority), cfg_pid_file.c_str(),
             cfg_work_directory.c_str(), cfg_local_nodes.c_str(), cfg_unicast_mode,
             cfg_unicast_hosts.c_str(), cfg_bind_interface.c_str(), cfg_bind_port,
             cfg_ctrl_address.c_str(), cfg_ctrl_port, cfg_multicast_address.c_str(),
             cfg_node_lock_timeout_ms, cfg_datastore_lock_timeout_ms, cfg_vdisk_lock_timeout_ms,
             cfg_fence_check.c_str(), cfg_ping_interval, cfg_heartbeat_interval,
             cfg_stats_interval, auth.c_str());
}

void config_module_teardown()
{
    MARLO_ASSERT(config_module_initialized);
    // The log may still hold the identity text until it is closed, so it is
    // released here but never logged with in between.
    for (const Setting &s : settings)
        if (s.str)
            std::string().swap(*s.str);
    regfree(&comment_re);
    regfree(&unquoted_re);
    regfree(&quoted_re);
    config_module_initialized = 0;
}
