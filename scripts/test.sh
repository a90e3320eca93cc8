#!/usr/bin/env bash
# Builds everything and runs every test.
#
#     scripts/test.sh
#
# Missing Debian packages are installed first when run as root.  Optional
# environment: BUILD_DIR (default build, shared with scripts/demo.sh),
# BUILD_TYPE (default: the project's, RelWithDebInfo) and CMAKE_ARGS (extra
# configure arguments, e.g. -DMARLO_SANITIZE=ON).
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

# iproute2: the multi-host cluster test; tshark: the dissector test;
# graphviz: marloctl's DOT output is checked with dot; nlohmann-json3-dev:
# marloctl's JSON; prometheus (promtool) and prometheus-node-exporter:
# marloctl's metrics are checked with both; nftables: the control port rule
# of marlo(8); strace: the fault sweep (scripts/fault-sweep.sh) on this build.
PACKAGES=(cmake g++ libgtest-dev libsodium-dev make nlohmann-json3-dev iproute2 tshark graphviz
    prometheus prometheus-node-exporter nftables strace)

install_missing_packages "${PACKAGES[@]}"

BUILD_DIR=${BUILD_DIR:-build}
args=(-DBUILD_TESTING=ON)
[ -n "${BUILD_TYPE:-}" ] && args+=(-DCMAKE_BUILD_TYPE="$BUILD_TYPE")
# shellcheck disable=SC2206  # CMAKE_ARGS is a list of words
args+=(${CMAKE_ARGS:-})
cmake -S . -B "$BUILD_DIR" "${args[@]}"
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
ctest --output-on-failure -j2
