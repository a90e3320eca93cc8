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

PACKAGES=(cmake g++ libgtest-dev make)

install_missing_packages() {
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
            missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "missing packages: ${missing[*]} (run as root, or install them first)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update
    apt-get install -y --no-install-recommends "${missing[@]}"
}

install_missing_packages

cmake -S . -B build
cmake --build build -j"$(nproc)" --target marlo
mkdir -p demo/run
# Seeded local node: node 101 with its datastore and vdisks (demo/seed_store.sh).
demo/seed_store.sh demo/run/DB
exec build/marlo -d -d -C demo/marlo.conf
