#!/bin/sh
# dpkg-shlibdeps for a PowerPC cross build. The target's libraries are those
# of the host's cross packages (libc6-powerpc-cross, whose shlibs file says
# libc6:powerpc); inside a powerpc package they are the plain packages.
set -e
out=$(dpkg-shlibdeps "$@")
printf '%s\n' "$out" | sed -e 's/:powerpc\b//g' -e 's/-powerpc-cross\b//g'
