#!/usr/bin/env bash
# Runs the service in the foreground (filled in with the server manager).
set -euo pipefail
BUILD=${1:-build}
exec "$BUILD/bin/kvoomxsvr" -NODAEMON
