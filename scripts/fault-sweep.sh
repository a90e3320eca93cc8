#!/usr/bin/env bash
# Fault-injection sweep: an EIO, then a SIGKILL and restart, at each
# file-system call of applying six kinds of message; the store must converge
# every time.  With --kinds abo also the odd-file sweep: odd files (FIFOs,
# directories, links out, damaged and huge files) at the store names each
# message reaches.  Runs the sweep program of an existing build.
#
#     scripts/fault-sweep.sh [BUILD_DIR [SWEEP_ARGS...]]
#     scripts/fault-sweep.sh build --kinds o          # every name, odd files only
#
# BUILD_DIR defaults to build (scripts/test.sh builds it).  Needs root (ptrace,
# namespaces); as another user the program says so and exits 0.  Failing
# cases leave the daemon logs and traces in BUILD_DIR/fault-sweep/.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

# As another user the program only says that it skips.
if [ "$(id -u)" -eq 0 ]; then
    install_missing_packages strace
fi

BUILD_DIR=${1:-build}
shift || true
cmake --build "$BUILD_DIR" -j"$(nproc)" --target integration_fault_sweep
exec "$BUILD_DIR/tests/integration_fault_sweep" "$@" "$BUILD_DIR/fault-sweep"
