#!/bin/sh
# Checks that the Debian packages the module's build needs (and any named on
# the command line: what the tests or a tool need) are installed.
# As root it installs the missing ones with apt-get; otherwise it prints the
# exact command and fails. With everything present it costs a few ms.
set -eu
PACKAGES="g++ cmake ninja-build python3-dev libssl-dev $*"
missing=""
for p in $PACKAGES; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$p" 2>/dev/null || true)
    case "$status" in
        ii*) ;;
        *) missing="$missing $p" ;;
    esac
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
    echo "installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends $missing
else
    echo "missing packages:$missing"
    echo "run: sudo apt-get install -y$missing"
    exit 1
fi
