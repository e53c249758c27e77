#!/usr/bin/env bash
# Starts the program from a build folder.
set -euo pipefail
build=${1:-build/release}
shift || true
exec "$build/ZEVControllerHost/app/jolto-host" "$@"
