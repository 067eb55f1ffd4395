#!/usr/bin/env bash
# The demo: what the system's main job is on its defaults. It grows as the
# parts of the system land.
set -euo pipefail
build=${1:-build}
echo "Vantrel demo"
echo "Built so far (build/bin):"
ls -1 "$build/bin" | sed 's/^/  /'
echo
echo "The server (ZelServer) is not built yet; the demo starts it once it is."
