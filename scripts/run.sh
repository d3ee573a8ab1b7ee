#!/usr/bin/env bash
# Sets up the machine if needed, builds the agent, and runs it from the repository's folder
# (which holds html/) with the virtual scanner. Stop it with Ctrl+C, Shift+Esc or /api/close.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
"$here/scripts/setup.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j"$(nproc)"
cd "$here"
exec "$here/build/bin/webagent"
