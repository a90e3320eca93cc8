// The configuration target: one file through config_read, from a fresh set
// of defaults each time.  A file that is read without error leaves every
// setting within its accepted values; one that is refused leaves a message
// that ends in a newline.  Each accepted file is also logged (config_dump).
#include <cstdio>
#include <cstdlib>
#include <string>

#include "daemon/config.h"
#include "entries.h"

namespace {

[[noreturn]] void broken(const char *what)
{
    std::fprintf(stderr, "config_read: %s\n", what);
    std::abort();
}

bool within(int v, int lo, int hi) { return v >= lo && v <= hi; }

void check_settings()
{
    if (!within(cfg_bind_port, 1, 65535) || !within(cfg_ctrl_port, 1, 65535))
        broken("port out of range");
    if (cfg_unicast_mode < 0)
        broken("negative unicast_mode");
    if (!within(cfg_node_lock_timeout_ms, 0, 60000) ||
        !within(cfg_datastore_lock_timeout_ms, 0, 60000) ||
        !within(cfg_vdisk_lock_timeout_ms, 0, 60000))
        broken("lock time-out out of range");
    if (!within(cfg_ping_interval, 0, 3600) || !within(cfg_heartbeat_interval, 0, 3600) ||
        !within(cfg_stats_interval, 0, 86400))
        broken("interval out of range");
    if (cfg_bind_interface.size() > 15)
        broken("interface name longer than 15 characters");
    if (cfg_syslog_priority < 0 || cfg_syslog_facility < 0)
        broken("syslog name not resolved");
}

}  // namespace

void fuzz_config_init()
{
    if (!config_module_initialized)
        config_module_setup();
}

void fuzz_config_one(const uint8_t *data, size_t size)
{
    config_module_teardown();
    config_module_setup();
    if (size == 0)
        return;  // fmemopen refuses an empty buffer; an empty file is all defaults
    FILE *fp = fmemopen(const_cast<uint8_t *>(data), size, "r");
    if (!fp)
        broken("fmemopen failed");
    std::string error;
    int rc = config_read(fp, &error);
    std::fclose(fp);
    if (rc == 0) {
        check_settings();
        config_dump();
    } else if (rc != -1 || error.empty() || error.back() != '\n') {
        broken("refusal without a complete message");
    }
}
