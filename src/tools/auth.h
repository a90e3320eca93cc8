// The operator tool's share of datagram authentication: new keys (keygen)
// and the daemon's authentication counters in `status`.  The tool reads the
// key file nowhere: keygen only appends to it.
#pragma once

#include <string>

#include "tools/control.h"

// Appends one new random key line ("ID KEY\n", keys.h) to the key file at
// path, creating it with mode 0600; an existing file must be a regular file
// that neither group nor others may use.  With an empty path the line goes
// to standard output.  0; -1 with *why set (nothing written).
int keygen(const std::string &path, std::string *why);

// The "Authentication" section of `status` for auth_mode `mode` (its name):
// a table of the daemon's auth_* counters, or why they are not known.
std::string render_auth(const char *mode, const DaemonState &daemon);
