#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds Tarnwick, prepares a default configuration when there is none, and starts it.
# With no display it runs headless on every usable adapter and prints what it catches.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/deps.sh
tarnwick_install_packages

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target tarnwick

# What an installer would do: point the player at ffplay and give Tarnwick a temporary folder.
config_base="${APPDATA:-${XDG_CONFIG_HOME:-$HOME/.config}}"
config="$config_base/Tarnwick/Tarnwick.ini"
if [ ! -f "$config" ]; then
  mkdir -p "$config_base/Tarnwick" "$config_base/Tarnwick/temp"
  cat > "$config" <<INI
[Tarnwick]
FFPlayExe=$(command -v ffplay)
TempDir=$config_base/Tarnwick/temp
ProjectFilePath=$HOME
CurrentFilePath=$HOME
INI
  echo "Wrote a default configuration to $config"
fi

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  echo "No display: running headless (Ctrl-C to stop)." >&2
  exec ./build/tarnwick --headless "$@"
fi
exec ./build/tarnwick "$@"
