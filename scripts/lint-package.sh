#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Checks what distributions and software centres read of Tarnwick: the menu entry
# (desktop-file-validate), the AppStream description (appstreamcli, offline), and the Debian package
# that `cpack -G DEB` builds from BUILD_DIR (lintian: no error, no warning).
#
#   bash scripts/lint-package.sh [BUILD_DIR]
#
# scripts/check-package.sh goes further: it installs the package into a clean Debian 12 root.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}

desktop-file-validate packaging/tarnwick.desktop
echo "desktop entry: valid"
appstreamcli validate --no-net --explain packaging/io.github.tarnwick.Tarnwick.metainfo.xml

(cd "$build" && cpack -G DEB >/dev/null)
package=$(ls -t "$build"/tarnwick_*_amd64.deb | head -1)
# Tags of the "info" and "pedantic" kinds are advice, shown but not failed on.
lintian --fail-on error,warning --display-info "$package"
echo "lintian: $(basename "$package") has no error and no warning"
