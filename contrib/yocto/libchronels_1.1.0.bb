# SPDX-License-Identifier: MIT
SUMMARY = "Callback timers on one timer thread, built on POSIX timers and real-time signals"
LICENSE = "MIT"
LIC_FILES_CHKSUM = "file://LICENSE;md5=d018c717427a054662ef8050fd7b9235"

# The project's repository and the commit of the 1.1.0 release.
SRC_URI = "git://git.chronels.invalid/libchronels.git;protocol=https;branch=main"
SRCREV = "0000000000000000000000000000000000000000"
S = "${WORKDIR}/git"

inherit cmake pkgconfig

# cmake/recipe-test.sh builds with these options and the default PACKAGECONFIG.
EXTRA_OECMAKE = "-DCHRONELS_EXAMPLES=OFF"
PACKAGECONFIG ??= "tools"
PACKAGECONFIG[tools] = "-DCHRONELS_TOOLS=ON,-DCHRONELS_TOOLS=OFF"
PACKAGECONFIG[tests] = "-DBUILD_TESTING=ON,-DBUILD_TESTING=OFF,googletest"

PACKAGES =+ "${PN}-tools"
FILES:${PN}-tools = "${bindir}/chronels-latency"
