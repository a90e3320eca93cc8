#!/bin/sh
# Demo fence-check program.  The daemon runs it with "uuid=<vdisk>" and
# "member=<node id>" and an empty environment whenever a vdisk's membership
# generation rises; its output and exit status are ignored.
echo "fencecheck: $1 $2" >&2
exit 0
