#!/bin/bash
# SPDX-License-Identifier: MIT
# kernel.sh ppc|amd64|rt: makes the guest kernel once, in build/guest, and prints its path.
set -euo pipefail
here=$(dirname "$(realpath "$0")") kind=$1
cache=$(realpath -m "$here/../../build/guest") frag=$here/ppc.config log=$cache/$kind.log
mkdir -p "$cache"
if [ "$kind" = ppc ]; then
  dir=$cache/ppc-$( (cat "$frag"; dpkg-query -W -f='${Version}' linux-source-6.1) | sha256sum | cut -c1-12)
  if [ ! -f "$dir/vmlinux" ]; then
    src=$dir.src k=(ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu- -C "$dir.src")
    rm -rf "$src" && mkdir -p "$src" "$dir" && tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=1
    # The fragment's later lines override allnoconfig's; then new symbols take their defaults.
    { make "${k[@]}" allnoconfig && cat "$frag" >>"$src/.config" && make "${k[@]}" olddefconfig; } >"$log" 2>&1
    # A line the configuration dropped (a missing dependency) fails here, not as a guest without it.
    ! grep '^CONFIG_' "$frag" | grep -vxFf "$src/.config" >&2 || { echo "kernel.sh: the lines above were not taken by the configuration" >&2; exit 1; }
    make "${k[@]}" -j"$(nproc)" vmlinux >>"$log" 2>&1 || { tail -30 "$log" >&2; exit 1; }
    cp "$src/vmlinux" "$src/.config" "$dir/" && rm -rf "$src"
  fi
  echo "$dir/vmlinux"
else
  flavour=$([ "$kind" = rt ] && echo rt-amd64 || echo amd64)
  newest() { apt-cache search --names-only "^linux-image-6\.1[0-9.-]*-$flavour-unsigned\$" | cut -d' ' -f1 | sort -V | tail -1; }
  pkg=$(newest)
  [ -n "$pkg" ] || [ "$(id -u)" != 0 ] || { apt-get update -qq >"$log" 2>&1 && pkg=$(newest); }
  [ -n "$pkg" ] || { echo "kernel.sh: no Debian 6.1 kernel image in apt's lists (apt-get update?)" >&2; exit 1; }
  dir=$cache/$pkg
  if [ ! -f "$dir/vmlinuz" ]; then
    mkdir -p "$dir" && (cd "$dir" && apt-get download -q "$pkg" >"$log" 2>&1) || { cat "$log" >&2; exit 1; }
    dpkg-deb --fsys-tarfile "$dir"/*.deb | tar -xO --wildcards './boot/vmlinuz-*' >"$dir/part" && rm "$dir"/*.deb && mv "$dir/part" "$dir/vmlinuz"
  fi
  echo "$dir/vmlinuz"
fi
