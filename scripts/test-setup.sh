#!/usr/bin/env bash
# Prepares the test peers (each script in scripts/setup.d is idempotent).
set -euo pipefail
cd "$(dirname "$0")/.."
for s in scripts/setup.d/*.sh; do
  [ -e "$s" ] || continue
  echo "setup: $s"
  bash "$s"
done
