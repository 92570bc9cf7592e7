#!/usr/bin/env bash
# The HTTP parser's harness, now one of all the harnesses scripts/fuzz.sh builds and runs.
#   tests/http/fuzz/build.sh [OUTDIR] [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/../../.." && pwd)"
FUZZ_BUILD="${1:-$root/build-fuzz}" exec "$root/scripts/fuzz.sh" "${2:-1}" http_parser
