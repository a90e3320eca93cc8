#include "daemon/syslog.h"

#include <sys/stat.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "daemon/check.h"
#include "daemon/config.h"

int syslog_module_initialized = 0;
int syslog_mask = LOG_UPTO(LOG_DEBUG);  // every priority until set up
bool syslog_copy_stderr = false;

void syslog_module_setup()
{
    if (syslog_module_initialized) {
        syslog_module_teardown();
        MARLO_ASSERT(!syslog_module_initialized);
    }
    int options = LOG_PID | LOG_NDELAY;
    if (opt_debug >= 1 || syslog_copy_stderr)
        options |= LOG_PERROR;
    // openlog() keeps the pointer: the identity string belongs to the
    // configuration and the log is reopened whenever it is replaced.
    ::openlog(cfg_syslog_ident.c_str(), options, cfg_syslog_facility);
    if (opt_debug < 2) {
        syslog_mask = LOG_UPTO(cfg_syslog_priority & LOG_PRIMASK);
        ::setlogmask(syslog_mask);
    }
    syslog_module_initialized = 1;
}

void syslog_module_teardown()
{
    MARLO_ASSERT(syslog_module_initialized);
    ::closelog();
    syslog_module_initialized = 0;
}

void print_error(const char *fmt, ...)
{
    // "device:inode" of the journal's stream, in decimal.
    const char *stream = std::getenv("JOURNAL_STREAM");
    struct stat st;
    unsigned long long dev, ino;
    const bool journal = stream != nullptr && std::sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
                         fstat(2, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
    std::fputs(journal ? "<3>" : "", stderr);
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
}
