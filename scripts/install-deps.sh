#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/deps.d/ that are missing.
#   install-deps.sh run    what building and running need: build.list and run-*.list
#   install-deps.sh test   everything: the run lists and every other list (test peers,
#                          test frameworks, packaging tools)
# Debconf answers (X.debconf beside X.list) are preseeded first, so nothing asks.
# Works as root and as a user with sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-test}
lists=()
for f in scripts/deps.d/*.list; do
  name=$(basename "$f")
  case "$mode" in
    run) [[ "$name" == build.list || "$name" == run-*.list ]] && lists+=("$f") ;;
    test) lists+=("$f") ;;
    *) echo "install-deps: unknown mode '$mode' (run or test)" >&2; exit 2 ;;
  esac
done
[ ${#lists[@]} -eq 0 ] && exit 0

wanted=$(cat "${lists[@]}" | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in $wanted; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

# Root runs the tools itself; anyone else goes through sudo.
as_root=()
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: not root and no sudo; install: ${missing[*]}" >&2; exit 1; }
  as_root=(sudo)
fi

echo "Installing: ${missing[*]}"
for f in "${lists[@]}"; do
  answers="${f%.list}.debconf"
  [ -e "$answers" ] && "${as_root[@]}" debconf-set-selections < "$answers"
done
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
