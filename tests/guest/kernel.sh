#!/bin/bash
# kernel.sh ppc|amd64|rt CACHE_DIR: makes the guest kernel once and prints
# its path. ppc: Linux 6.1 from Debian's linux-source-6.1, allnoconfig plus
# ppc.config, cross-built; keyed on the fragment and the source's version.
# amd64, rt: Debian 12's newest 6.1 images (same ABI for both), unpacked,
# never installed.
set -euo pipefail
kind=$1 cache=$(realpath -m "$2")
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$cache"
log=$cache/$kind.log

case $kind in
ppc)
  frag=$here/ppc.config
  ver=$(dpkg-query -W -f='${Version}' linux-source-6.1)
  key=$( (cat "$frag"; echo "$ver") | sha256sum | cut -c1-12)
  dir=$cache/ppc-$key
  if [ ! -f "$dir/vmlinux" ]; then
    start=$SECONDS
    src=$dir.src && rm -rf "$src" && mkdir -p "$src"
    tar -xJf /usr/src/linux-source-6.1.tar.xz -C "$src" --strip-components=1
    k=(ARCH=powerpc CROSS_COMPILE=powerpc-linux-gnu- -C "$src")
    {
      make "${k[@]}" allnoconfig
      "$src/scripts/kconfig/merge_config.sh" -m -O "$src" "$src/.config" "$frag"
      make "${k[@]}" olddefconfig
    } >"$log" 2>&1
    # A line the configuration dropped (a missing dependency) fails here,
    # not as a guest that boots without it.
    missing=$(grep '^CONFIG_' "$frag" | grep -vxFf "$src/.config" || true)
    [ -z "$missing" ] || { echo "kernel.sh: not taken by the configuration: $missing" >&2; exit 1; }
    make "${k[@]}" -j"$(nproc)" vmlinux >>"$log" 2>&1 || { tail -30 "$log" >&2; exit 1; }
    mkdir -p "$dir" && cp "$src/vmlinux" "$src/.config" "$dir/" && rm -rf "$src"
    echo "kernel.sh: ppc kernel built in $((SECONDS - start)) s" >&2
  fi
  echo "$dir/vmlinux" ;;
amd64|rt)
  flavour=$([ "$kind" = rt ] && echo rt-amd64 || echo amd64)
  newest_abi() { # the newest ABI that has both flavours
    apt-cache pkgnames linux-image-6.1. | sed -nE 's/^linux-image-(6\.1\.[0-9.]+-[0-9]+)-rt-amd64-unsigned$/\1/p' |
      while read -r a; do apt-cache show "linux-image-$a-amd64-unsigned" >/dev/null 2>&1 && echo "$a"; done | sort -V | tail -1
  }
  abi=$(newest_abi)
  [ -n "$abi" ] || [ "$(id -u)" != 0 ] || { apt-get update -qq >"$log" 2>&1 && abi=$(newest_abi); }
  [ -n "$abi" ] || { echo "kernel.sh: no Debian 6.1 kernel image in apt's lists (apt-get update?)" >&2; exit 1; }
  pkg=linux-image-$abi-$flavour-unsigned
  dir=$cache/$pkg
  if [ ! -f "$dir/vmlinuz" ]; then
    rm -rf "$dir" && mkdir -p "$dir/deb"
    (cd "$dir/deb" && apt-get download -q "$pkg" >"$log" 2>&1) || { cat "$log" >&2; exit 1; }
    dpkg-deb -x "$dir"/deb/*.deb "$dir/root"
    cp "$dir"/root/boot/vmlinuz-* "$dir/vmlinuz" && rm -rf "$dir/deb" "$dir/root"
  fi
  echo "$dir/vmlinuz" ;;
*) echo "usage: kernel.sh ppc|amd64|rt CACHE_DIR" >&2; exit 2 ;;
esac
