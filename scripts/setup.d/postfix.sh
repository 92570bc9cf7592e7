#!/usr/bin/env bash
# SMTP test peer for the mail tests: postfix listening on 127.0.0.1 only (a free
# port, recorded in /var/lib/kvoomx-test/smtp.port), Cyrus SASL through sasldb
# verifying PLAIN, LOGIN, CRAM-MD5 and DIGEST-MD5 for one test user (recorded in
# smtp.auth), relaying nothing and keeping every accepted mail in the hold queue,
# where the tests read it with postqueue/postcat. Idempotent; needs root; works
# without an init system (postfix start / reload).
#
# TLS listeners beside the plain one (recorded in smtp.tls, the plain port and its
# files stay as they are): STARTTLS on a submission-style port and TLS from the
# first byte on a second port, both allowing authentication only after TLS, with
# a server certificate from a test authority made here (tls/ca.crt). Two more
# listeners serve the failure cases: a certificate from an authority nobody
# trusts (STARTTLS) and one for another host name (TLS from the start).
set -euo pipefail

STATE_DIR=/var/lib/kvoomx-test
PORT_FILE=$STATE_DIR/smtp.port
AUTH_FILE=$STATE_DIR/smtp.auth
REALM=kvotest.local
SASL_USER=kvotest
SASL_PASSWORD='Kvo-test-Passw0rd'
BANNER_TAG=kvoomx-test-peer
MARKER='# kvoomx test peer'
TLS_FILE=$STATE_DIR/smtp.tls
TLS_DIR=$STATE_DIR/tls

if [ "$(id -u)" -ne 0 ]; then
  echo "postfix setup: not root, skipped (the mail tests that need postfix will skip)"
  exit 0
fi
for tool in postfix postconf saslpasswd2 python3 openssl; do
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

# True when our postfix answers on 127.0.0.1:$1 (after a TLS handshake when $2 is "tls").
our_peer_on() {
  python3 - "$1" "$BANNER_TAG" "${2:-plain}" <<'EOF'
import socket, ssl, sys
try:
    s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=3)
    s.settimeout(3)
    if sys.argv[3] == "tls":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        context.check_hostname = False
        context.verify_mode = ssl.CERT_NONE
        s = context.wrap_socket(s)
    banner = s.recv(512).decode("ascii", "replace")
    s.sendall(b"QUIT\r\n")
    s.close()
    sys.exit(0 if banner.startswith("220 ") and sys.argv[2] in banner else 1)
except (OSError, ssl.SSLError):
    sys.exit(1)
EOF
}

pick_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}

# The port recorded before ($1, digits) when our peer still answers there
# (kind $2) or it is free; else a fresh one, not among the ports in $3.
choose_port() {
  local old=$1 kind=$2 taken=" ${3:-} " port
  if [ -n "$old" ] && [[ "$taken" != *" $old "* ]] && { our_peer_on "$old" "$kind" || [ "$(port_free "$old")" = 0 ]; }; then
    echo "$old"
    return
  fi
  for _ in $(seq 1 20); do
    port=$(pick_port)
    [[ "$taken" != *" $port "* ]] && { echo "$port"; return; }
  done
  echo "postfix setup: no free port" >&2
  exit 1
}

# Value of key $1 in the TLS record file, if any.
tls_record() {
  [ -r "$TLS_FILE" ] && sed -n "s/^$1=//p" "$TLS_FILE" | tr -dc '0-9' || true
}

# A self-signed certificate authority $1 with common name $2, kept while valid.
make_authority() {
  local name=$1 cn=$2
  local crt=$TLS_DIR/$name.crt key=$TLS_DIR/$name.key
  if [ -s "$crt" ] && [ -s "$key" ] && openssl x509 -in "$crt" -noout -checkend 86400 >/dev/null 2>&1; then
    return
  fi
  openssl req -x509 -new -newkey rsa:2048 -nodes -keyout "$key.new" -subj "/O=kvoomx test peer/CN=$cn" \
    -days 3650 -sha256 -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
    -out "$crt.new" 2>/dev/null
  chmod 0600 "$key.new"
  mv "$key.new" "$key"
  mv "$crt.new" "$crt"
}

# A key and a certificate for the subjectAltNames $2, signed by the authority
# $3 (its .crt and .key); kept while it still verifies and stays valid a day.
make_certificate() {
  local name=$1 san=$2 ca=$3
  local crt=$TLS_DIR/$name.crt key=$TLS_DIR/$name.key
  if [ -s "$crt" ] && [ -s "$key" ] && openssl x509 -in "$crt" -noout -checkend 86400 >/dev/null 2>&1 &&
     openssl verify -CAfile "$TLS_DIR/$ca.crt" "$crt" >/dev/null 2>&1; then
    return
  fi
  openssl req -new -newkey rsa:2048 -nodes -keyout "$key.new" -subj "/O=kvoomx test peer/CN=$name" \
    -out "$TLS_DIR/$name.csr" 2>/dev/null
  printf 'subjectAltName=%s\nbasicConstraints=CA:FALSE\nkeyUsage=digitalSignature,keyEncipherment\nextendedKeyUsage=serverAuth\n' \
    "$san" > "$TLS_DIR/$name.ext"
  openssl x509 -req -in "$TLS_DIR/$name.csr" -CA "$TLS_DIR/$ca.crt" -CAkey "$TLS_DIR/$ca.key" \
    -CAcreateserial -days 825 -sha256 -extfile "$TLS_DIR/$name.ext" -out "$crt.new" 2>/dev/null
  chmod 0600 "$key.new"
  mv "$key.new" "$key"
  mv "$crt.new" "$crt"
  rm -f "$TLS_DIR/$name.csr" "$TLS_DIR/$name.ext"
}

mkdir -p "$STATE_DIR"
OLD_PORT=""
[ -r "$PORT_FILE" ] && OLD_PORT=$(tr -dc '0-9' < "$PORT_FILE")
PORT=$(choose_port "$OLD_PORT" plain)
STARTTLS_PORT=$(choose_port "$(tls_record starttls_port)" plain "$PORT")
TLS_PORT=$(choose_port "$(tls_record tls_port)" tls "$PORT $STARTTLS_PORT")
UNTRUSTED_PORT=$(choose_port "$(tls_record untrusted_port)" plain "$PORT $STARTTLS_PORT $TLS_PORT")
WRONGHOST_PORT=$(choose_port "$(tls_record wronghost_port)" tls "$PORT $STARTTLS_PORT $TLS_PORT $UNTRUSTED_PORT")

# The test authority the tests trust, a second one nobody trusts, and the
# certificates the listeners present.
mkdir -p "$TLS_DIR"
chmod 0755 "$TLS_DIR"
make_authority ca "kvoomx test CA"
make_authority untrusted-ca "kvoomx untrusted CA"
make_certificate server "DNS:localhost,IP:127.0.0.1" ca
make_certificate untrusted "DNS:localhost,IP:127.0.0.1" untrusted-ca
make_certificate wronghost "DNS:wrong-host.kvotest.invalid" ca

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
127.0.0.1:$STARTTLS_PORT inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_tls_cert_file=$TLS_DIR/server.crt
  -o smtpd_tls_key_file=$TLS_DIR/server.key
127.0.0.1:$TLS_PORT inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_tls_cert_file=$TLS_DIR/server.crt
  -o smtpd_tls_key_file=$TLS_DIR/server.key
127.0.0.1:$UNTRUSTED_PORT inet n - n - - smtpd
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_tls_cert_file=$TLS_DIR/untrusted.crt
  -o smtpd_tls_key_file=$TLS_DIR/untrusted.key
127.0.0.1:$WRONGHOST_PORT inet n - n - - smtpd
  -o smtpd_tls_wrappermode=yes
  -o smtpd_tls_security_level=encrypt
  -o smtpd_tls_auth_only=yes
  -o smtpd_tls_cert_file=$TLS_DIR/wronghost.crt
  -o smtpd_tls_key_file=$TLS_DIR/wronghost.key
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
tlsmgr    unix  -       -       n       1000?   1       tlsmgr
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

# Bounded wait until a listener greets ($2: plain or tls).
wait_for_peer() {
  for _ in $(seq 1 100); do
    our_peer_on "$1" "$2" && return 0
    sleep 0.1
  done
  echo "postfix setup: no greeting on 127.0.0.1:$1 ($2)" >&2
  tail -n 20 /var/log/postfix-kvoomx-test.log >&2 || true
  exit 1
}
wait_for_peer "$PORT" plain

echo "$PORT" > "$PORT_FILE"
printf 'user=%s\npassword=%s\nrealm=%s\ndomain=%s\n' "$SASL_USER" "$SASL_PASSWORD" "$REALM" "$REALM" > "$AUTH_FILE"
chmod 0644 "$PORT_FILE" "$AUTH_FILE"
echo "postfix setup: SMTP test peer on 127.0.0.1:$PORT"

wait_for_peer "$STARTTLS_PORT" plain
wait_for_peer "$TLS_PORT" tls
wait_for_peer "$UNTRUSTED_PORT" plain
wait_for_peer "$WRONGHOST_PORT" tls
cat > "$TLS_FILE.new" <<EOF
starttls_port=$STARTTLS_PORT
tls_port=$TLS_PORT
untrusted_port=$UNTRUSTED_PORT
wronghost_port=$WRONGHOST_PORT
ca_file=$TLS_DIR/ca.crt
EOF
chmod 0644 "$TLS_FILE.new" "$TLS_DIR/ca.crt" "$TLS_DIR/untrusted-ca.crt"
mv "$TLS_FILE.new" "$TLS_FILE"
echo "postfix setup: STARTTLS on 127.0.0.1:$STARTTLS_PORT, TLS on 127.0.0.1:$TLS_PORT (authority $TLS_DIR/ca.crt)"
