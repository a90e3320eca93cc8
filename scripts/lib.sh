# shellcheck shell=bash
# Shared steps of the scripts in this folder; sourced, not run:
#
#     cd "$(dirname "$0")/.."   # the repository root
#     . scripts/lib.sh

# install_missing_packages PACKAGE...: installs with apt-get the Debian
# packages among the arguments that are not installed yet.  Returns when
# nothing is missing; exits with status 1 when something is missing and the
# caller is not root.
install_missing_packages() {
    local missing=()
    for p in "$@"; do
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
