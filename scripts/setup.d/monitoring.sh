#!/usr/bin/env bash
# Monitoring test peers: the tests start prometheus and alertmanager themselves,
# privately, on free loopback ports. Debian's packages enable system instances
# that would hold 9090, 9093 and 9094 on every interface: stop and disable them
# so nothing else answers there. Idempotent; without root or systemd there is
# nothing to stop (the package's start is refused where no init system runs).
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
  echo "monitoring setup: not root, skipped"
  exit 0
fi
units=(prometheus.service prometheus-alertmanager.service prometheus-node-exporter.service)
if [ -d /run/systemd/system ] && command -v systemctl >/dev/null; then
  for unit in "${units[@]}"; do
    if systemctl list-unit-files "$unit" >/dev/null 2>&1 && systemctl cat "$unit" >/dev/null 2>&1; then
      systemctl disable --now "$unit" >/dev/null 2>&1 || true
    fi
  done
else
  # Only an instance the init script started (its pid file), never a test's own.
  for service in prometheus prometheus-alertmanager prometheus-node-exporter; do
    if [ -x "/etc/init.d/$service" ] && [ -s "/run/$service/$service.pid" ]; then
      "/etc/init.d/$service" stop >/dev/null 2>&1 || true
    fi
  done
fi
echo "monitoring setup: packaged prometheus/alertmanager instances stopped"
