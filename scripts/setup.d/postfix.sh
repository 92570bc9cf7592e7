#!/usr/bin/env bash
# SMTP test peer for the mail tests: postfix listening on 127.0.0.1 only (a free
# port, recorded in /var/lib/kvoomx-test/smtp.port), Cyrus SASL through sasldb
# verifying PLAIN, LOGIN, CRAM-MD5 and DIGEST-MD5 for one test user (recorded in
# smtp.auth), relaying nothing and keeping every accepted mail in the hold queue,
# where the tests read it with postqueue/postcat. Idempotent; needs root; works
# without an init system (postfix start / reload).
set -euo pipefail

STATE_DIR=/var/lib/kvoomx-test
PORT_FILE=$STATE_DIR/smtp.port
AUTH_FILE=$STATE_DIR/smtp.auth
REALM=kvotest.local
SASL_USER=kvotest
SASL_PASSWORD='Kvo-test-Passw0rd'
BANNER_TAG=kvoomx-test-peer
MARKER='# kvoomx test peer'

if [ "$(id -u)" -ne 0 ]; then
  echo "postfix setup: not root, skipped (the mail tests that need postfix will skip)"
  exit 0
fi
for tool in postfix postconf saslpasswd2 python3; do
  command -v "$tool" >/dev/null || { echo "postfix setup: $tool missing (run make deps)" >&2; exit 1; }
done

# Prints 0 when 127.0.0.1:$1 can be bound (free), 1 otherwise.
port_free() {
  python3 - "$1" <<'EOF'
import socket, sys
s = socket.socket()
try:
    s.bind(("127.0.0.1", int(sys.argv[1])))
    print(0)
except OSError:
    print(1)
EOF
}

# True when our postfix answers on 127.0.0.1:$1.
our_peer_on() {
  python3 - "$1" "$BANNER_TAG" <<'EOF'
import socket, sys
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=3)
    s.settimeout(3)
    banner = s.recv(512).decode("ascii", "replace")
    s.sendall(b"QUIT\r\n")
    s.close()
    sys.exit(0 if banner.startswith("220 ") and sys.argv[2] in banner else 1)
except OSError:
    sys.exit(1)
EOF
}

pick_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

choose_port() {
  local old=""
  [ -r "$PORT_FILE" ] && old=$(tr -dc '0-9' < "$PORT_FILE")
  if [ -n "$old" ] && { our_peer_on "$old" || [ "$(port_free "$old")" = 0 ]; }; then
    echo "$old"
  else
    pick_port
  fi
}

mkdir -p "$STATE_DIR"
PORT=$(choose_port)

# Keep a configuration that did not come from this script.
if [ -e /etc/postfix/main.cf ] && ! grep -qF "$MARKER" /etc/postfix/main.cf; then
  cp -n /etc/postfix/main.cf /etc/postfix/main.cf.before-kvoomx-test
fi
if [ -e /etc/postfix/master.cf ] && ! grep -qF "$MARKER" /etc/postfix/master.cf; then
  cp -n /etc/postfix/master.cf /etc/postfix/master.cf.before-kvoomx-test
fi

cat > /etc/postfix/main.cf <<EOF
$MARKER (scripts/setup.d/postfix.sh): loopback only, relays nothing,
# holds every accepted mail. Rewritten on every run.
compatibility_level = 3.6
myhostname = kvotest.localdomain
mydomain = localdomain
myorigin = \$myhostname
mydestination = $REALM, localhost
inet_interfaces = 127.0.0.1
inet_protocols = ipv4
mynetworks = 127.0.0.0/8
relay_domains =
local_recipient_maps =
alias_maps =
alias_database =
biff = no
# No name lookups for the loopback client.
smtpd_peername_lookup = no
smtpd_banner = \$myhostname ESMTP $BANNER_TAG
smtpd_sasl_auth_enable = yes
smtpd_sasl_type = cyrus
smtpd_sasl_path = smtpd
cyrus_sasl_config_path = /etc/postfix/sasl
smtpd_sasl_local_domain = $REALM
smtpd_sasl_security_options = noanonymous
smtpd_tls_security_level = none
smtpd_tls_auth_only = no
# Only the local test domain is accepted; nothing is relayed, not even after login.
smtpd_relay_restrictions = reject_unauth_destination
smtpd_recipient_restrictions = check_recipient_access static:HOLD
# Nothing ever leaves: mail stays held; released local mail is discarded and
# any other transport is an error.
default_transport = error:test peer delivers nothing
relay_transport = error:test peer delivers nothing
local_transport = discard:test peer delivers nothing
# Mail is stored as the client sent it (no Date or Message-Id added).
local_header_rewrite_clients =
maillog_file = /var/log/postfix-kvoomx-test.log
EOF

cat > /etc/postfix/master.cf <<EOF
$MARKER (scripts/setup.d/postfix.sh). Rewritten on every run.
127.0.0.1:$PORT inet n - n - - smtpd
pickup    unix  n       -       n       60      1       pickup
cleanup   unix  n       -       n       -       0       cleanup
qmgr      unix  n       -       n       300     1       qmgr
rewrite   unix  -       -       n       -       -       trivial-rewrite
bounce    unix  -       -       n       -       0       bounce
defer     unix  -       -       n       -       0       bounce
trace     unix  -       -       n       -       0       bounce
verify    unix  -       -       n       -       1       verify
flush     unix  n       -       n       1000?   0       flush
proxymap  unix  -       -       n       -       -       proxymap
proxywrite unix -       -       n       -       1       proxymap
smtp      unix  -       -       n       -       -       smtp
relay     unix  -       -       n       -       -       smtp
showq     unix  n       -       n       -       -       showq
error     unix  -       -       n       -       -       error
retry     unix  -       -       n       -       -       error
discard   unix  -       -       n       -       -       discard
local     unix  -       n       n       -       -       local
virtual   unix  -       n       n       -       -       virtual
lmtp      unix  -       -       n       -       -       lmtp
anvil     unix  -       -       n       -       1       anvil
scache    unix  -       -       n       -       1       scache
postlog   unix-dgram n  -       n       -       1       postlogd
EOF

mkdir -p /etc/postfix/sasl
cat > /etc/postfix/sasl/smtpd.conf <<EOF
pwcheck_method: auxprop
auxprop_plugin: sasldb
sasldb_path: /etc/sasldb2
mech_list: PLAIN LOGIN CRAM-MD5 DIGEST-MD5
EOF

printf '%s' "$SASL_PASSWORD" | saslpasswd2 -p -c -u "$REALM" "$SASL_USER"
chgrp sasl /etc/sasldb2 && chmod 0640 /etc/sasldb2
id -nG postfix | grep -qw sasl || usermod -a -G sasl postfix

postfix check
if postfix status >/dev/null 2>&1; then
  postfix reload
else
  postfix start
fi

# Bounded wait until the listener greets.
for _ in $(seq 1 100); do
  our_peer_on "$PORT" && break
  sleep 0.1
done
if ! our_peer_on "$PORT"; then
  echo "postfix setup: no greeting on 127.0.0.1:$PORT" >&2
  tail -n 20 /var/log/postfix-kvoomx-test.log >&2 || true
  exit 1
fi

echo "$PORT" > "$PORT_FILE"
printf 'user=%s\npassword=%s\nrealm=%s\ndomain=%s\n' "$SASL_USER" "$SASL_PASSWORD" "$REALM" "$REALM" > "$AUTH_FILE"
chmod 0644 "$PORT_FILE" "$AUTH_FILE"
echo "postfix setup: SMTP test peer on 127.0.0.1:$PORT"
