#!/usr/bin/env bash
# Installs what is missing, builds the game, starts the bundled local ad network and
# score board on 127.0.0.1:8765 and starts the game against them.
set -euo pipefail
cd "$(dirname "$0")"

tools/install-deps.sh
cmake -S . -B build/play -G Ninja -DCMAKE_BUILD_TYPE=Release -DTAMBORO_TESTS=OFF -DTAMBORO_BENCH=OFF >/dev/null
cmake --build build/play

server=""
if ! python3 - <<'PY'
import socket, sys
s = socket.socket()
sys.exit(0 if s.connect_ex(("127.0.0.1", 8765)) == 0 else 1)
PY
then
    python3 tools/adnet.py --port 8765 --quiet >/dev/null &
    server=$!
    trap 'kill "$server" 2>/dev/null || true' EXIT
    for _ in $(seq 50); do
        python3 -c 'import socket,sys; sys.exit(socket.socket().connect_ex(("127.0.0.1", 8765)))' && break
        sleep 0.1
    done
fi

build/play/tamboro
