#!/usr/bin/env bash
# Builds the daemon and runs it in the foreground on the demo configuration
# (demo/marlo.conf: loopback only, all files inside the checkout).  Log lines
# go to the terminal; stop it with Ctrl-C.
#
#     scripts/demo.sh
#
# Missing Debian packages are installed first when run as root; running the
# daemon itself needs no root.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=scripts/lib.sh
. scripts/lib.sh

PACKAGES=(cmake g++ libgtest-dev libsodium-dev make nlohmann-json3-dev)

install_missing_packages "${PACKAGES[@]}"

cmake -S . -B build
cmake --build build -j"$(nproc)" --target marlo
mkdir -p demo/run
# Seeded local node: node 101 with its datastore and vdisks (demo/seed_store.sh).
demo/seed_store.sh demo/run/DB
exec build/marlo -d -d -C demo/marlo.conf
