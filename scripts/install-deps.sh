#!/usr/bin/env bash
# Installs the Debian packages listed in scripts/deps.d/*.list that are missing.
# Debconf answers (scripts/deps.d/*.debconf) are preseeded first, so nothing asks.
set -euo pipefail
cd "$(dirname "$0")/.."

wanted=$(cat scripts/deps.d/*.list | sed 's/#.*//' | tr -s ' \t' '\n' | sed '/^$/d' | sort -u)
missing=()
for pkg in $wanted; do
  status=$(dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$pkg")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
for f in scripts/deps.d/*.debconf; do
  [ -e "$f" ] && $SUDO debconf-set-selections < "$f"
done
$SUDO apt-get update -qq
$SUDO -E apt-get install -y -qq --no-install-recommends "${missing[@]}"
