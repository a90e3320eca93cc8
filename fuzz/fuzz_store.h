// A scratch object store for the fuzz entry points: a private root directory
// under /tmp holding the work directory DB/ and an empty canary directory
// beside it.  After every input the entry points check that nothing was
// written outside DB/: the root holds only DB/ and canary/, canary/ is empty,
// and /tmp holds nothing that was not there at set-up (a lock file left
// behind is a lock that was never released).  A failed check aborts, which
// the fuzzer reports as a finding.
#pragma once

#include <string>

// Creates the root and the work directory and installs the settings the
// entry points run with (fuzz_store_settings).  strict_tmp: /tmp is private
// to this process, so any new entry there counts; otherwise only names of
// the daemon's lock families do.  Aborts when the directories cannot be made.
void fuzz_store_setup(bool strict_tmp);

// The work directory (root/DB).
const std::string &fuzz_store_work();

// (Re)installs the settings: work directory, lock time-outs of 0 ms (a held
// lock gives up at once), fence check /bin/true, unicast mode with no hosts.
void fuzz_store_settings();

// Aborts with a message naming the stray entry when anything was written
// outside the work directory or a lock file was left in /tmp.
void fuzz_store_check();

// Number of descriptors the process has open.
int fuzz_open_fds();

// Lowers RLIMIT_NOFILE for its lifetime so that only `headroom` more
// descriptors can be opened, as when CTRL connections have used up the
// daemon's descriptors while datagrams still arrive.
class FdPressure {
public:
    explicit FdPressure(int headroom);
    ~FdPressure();
    FdPressure(const FdPressure &) = delete;
    FdPressure &operator=(const FdPressure &) = delete;

private:
    unsigned long cur_ = 0, max_ = 0;
};

// Empties the work directory (bounded disk use over a long run).
void fuzz_store_clear();

// Quiets the log unless $MARLO_FUZZ_LOG is set, in which case every line,
// debug included, goes to standard error.
void fuzz_log_setup();
