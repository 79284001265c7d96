# SPDX-License-Identifier: MIT
################################################################################
#
# libchronels
#
################################################################################

LIBCHRONELS_VERSION = 1.1.0
LIBCHRONELS_SITE = https://releases.chronels.invalid
LIBCHRONELS_LICENSE = MIT
LIBCHRONELS_LICENSE_FILES = LICENSE
LIBCHRONELS_INSTALL_STAGING = YES
# cmake/recipe-test.sh builds with exactly these options.
LIBCHRONELS_CONF_OPTS = -DBUILD_TESTING=OFF -DCHRONELS_TOOLS=ON -DCHRONELS_EXAMPLES=OFF

$(eval $(cmake-package))
