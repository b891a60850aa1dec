#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the game, installs it under build/play/root and starts
# it there as the menu does: the launcher brings up the bundled local ad network and score
# board on 127.0.0.1:8765 unless one already listens, and it stops with the game.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh
cmake -S . -B build/play -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBORO_TESTS=OFF -DTAMBORO_BENCH=OFF >/dev/null
cmake --build build/play
cmake --install build/play --prefix build/play/root >/dev/null

exec build/play/root/games/tamboro "$@"
