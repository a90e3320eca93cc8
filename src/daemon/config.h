// Process-wide settings, read once at start-up from a key=value file.
#pragma once

#include <cstdio>
#include <string>

// Command-line state (set by main).
extern std::string opt_config;  // path of the configuration file
extern int opt_debug;           // number of -d options

// The twenty-three settings.  Before config_module_setup() the integers hold -1 and
// the strings are empty; config_module_setup() installs the defaults.
extern std::string cfg_syslog_ident;
extern int cfg_syslog_facility;  // numeric facility (LOG_DAEMON ...)
extern int cfg_syslog_priority;  // numeric priority (LOG_INFO ...)
extern std::string cfg_pid_file;
extern std::string cfg_work_directory;
extern std::string cfg_local_nodes;
extern int cfg_unicast_mode;
extern std::string cfg_unicast_hosts;
extern std::string cfg_bind_interface;
extern int cfg_bind_port;
extern std::string cfg_ctrl_address;
extern int cfg_ctrl_port;
extern std::string cfg_multicast_address;
extern int cfg_node_lock_timeout_ms;
extern int cfg_datastore_lock_timeout_ms;
extern int cfg_vdisk_lock_timeout_ms;
extern std::string cfg_fence_check;
extern int cfg_ping_interval;
extern int cfg_heartbeat_interval;
extern int cfg_stats_interval;
// Datagram authentication (controller/auth.h): off, sign or require; the key
// file; the accepted distance in seconds between a datagram's time and ours.
enum AuthMode { AUTH_OFF = 0, AUTH_SIGN = 1, AUTH_REQUIRE = 2 };
extern int cfg_auth_mode;
extern std::string cfg_auth_keys;
extern int cfg_auth_window;

extern int config_module_initialized;

// Compiles the line patterns and installs the defaults; asserts not yet set up.
void config_module_setup();
// Reads opt_config and applies every line in order.  Returns only when the
// whole file was good; any error prints its message to stderr and exits(1).
void config_load();
// The reader behind config_load, for callers that must not exit (tests): reads
// fp line by line and applies every setting in order, stopping at the first
// bad line.  0 at end of file; -1 with *error set to the complete message
// (with its newline) that config_load prints.  A syslog_* line reopens the
// log only while the log module is set up.  Asserts set up.
int config_read(FILE *fp, std::string *error);
// Logs the effective configuration in one info line.
void config_dump();
// Frees the settings and the patterns; asserts set up.
void config_module_teardown();
