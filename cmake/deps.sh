#!/bin/sh
# SPDX-License-Identifier: MIT
# Installs what building, testing and the demo need, when run as root on
# Debian; elsewhere it only says what is missing.
set -e
need="cmake g++ make libgtest-dev $*"
missing=""
for p in $need; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
if [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq && apt-get install -y -qq --no-install-recommends $missing >/dev/null
else
  echo "missing packages:$missing (run as root, or install them)" >&2
  exit 1
fi
