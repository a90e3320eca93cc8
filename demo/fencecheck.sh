#!/bin/sh
# Demo fence-check program.  The daemon runs it with "uuid=<vdisk>" and
# "member=<node id>" and an empty environment whenever a vdisk's membership
# generation rises; each line it writes goes to the daemon's log, and so does
# an exit status other than 0.
echo "fencecheck: $1 $2" >&2
exit 0
