#!/usr/bin/env bash
# Test fixture: certificates from a private test CA, nginx on 127.0.0.1 over
# TLS with each kind of certificate a client must accept or refuse, and an
# HTTP proxy (tinyproxy) on 127.0.0.1 for the transfers through a proxy.
#
#   tests/tls_servers.sh start DIR NGINX_SERVE
#       Makes the certificates and the served files under DIR, starts the
#       servers and writes DIR/servers.txt, "name=value" lines: ca (the test
#       CA's PEM file), root (the served directory, holding file.bin), and
#       the ports of valid, expired, wronghost, unknownca (TLS) and plain
#       (HTTP), and proxy, the proxy's port. The valid server redirects
#       /down.bin to the plain server.
#   tests/tls_servers.sh stop DIR NGINX_SERVE
set -euo pipefail

[ $# -eq 3 ] || { sed -n '2,14p' "$0" >&2; exit 2; }
command=$1 dir=$2 serve=$(realpath "$3")
servers=(valid expired wronghost unknownca plain)

stop_proxy() {
  if [ -f "$dir/proxy.pid" ]; then
    kill "$(cat "$dir/proxy.pid")" 2>/dev/null || true
    rm -f "$dir/proxy.pid"
  fi
}

if [ "$command" = stop ]; then
  for name in "${servers[@]}"; do "$serve" stop "$dir/state-$name" & done
  stop_proxy
  wait
  exit 0
fi
[ "$command" = start ] || exit 2

for name in "${servers[@]}"; do "$serve" stop "$dir/state-$name" 2>/dev/null || true; done
stop_proxy
rm -rf "$dir"
mkdir -p "$dir/root" "$dir/ca"
dir=$(realpath "$dir")
cd "$dir"
head -c 300000 /dev/urandom >root/file.bin

# Two authorities: the test CA that the client trusts, and one it does not.
for ca in ca other; do
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$ca.key" -out "$ca.pem" -days 30 \
    -subj "/CN=KIV $ca test authority" -addext "basicConstraints=critical,CA:TRUE" \
    -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null
done
openssl req -newkey rsa:2048 -nodes -keyout server.key -out server.csr -subj "/CN=127.0.0.1" 2>/dev/null

cat >ca.cnf <<CNF
[ ca ]
default_ca = test
[ test ]
database = $dir/ca/index.txt
new_certs_dir = $dir/ca
serial = $dir/ca/serial
default_md = sha256
policy = any
unique_subject = no
[ any ]
commonName = supplied
CNF
: >ca/index.txt
echo 1000 >ca/serial

# sign NAME AUTHORITY SUBJECT-ALT-NAMES [openssl ca dates...]
# The address is also given as a DNS name, which is how Wine's certificate
# check matches a host given as an address.
sign() {
  local name=$1 authority=$2 names=$3
  shift 3
  {
    echo "basicConstraints=CA:FALSE"
    echo "keyUsage=digitalSignature,keyEncipherment"
    echo "extendedKeyUsage=serverAuth"
    echo "subjectAltName=$names"
  } >"$name.ext"
  openssl ca -batch -notext -config ca.cnf -cert "$authority.pem" -keyfile "$authority.key" -in server.csr \
    -out "$name.pem" -extfile "$name.ext" "$@" 2>/dev/null
}
sign valid ca "IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1" -days 30
sign expired ca "IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1" -startdate 20200101000000Z -enddate 20200201000000Z
sign wronghost ca "DNS:wrong.example" -days 30
sign unknownca other "IP:127.0.0.1,DNS:localhost,DNS:127.0.0.1" -days 30

# The proxy runs in the foreground of a background job, so that its process
# id is the one to stop; it is up once its port answers.
proxy=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()')
cat >proxy.conf <<CONF
Port $proxy
Listen 127.0.0.1
Allow 127.0.0.1
Timeout 60
MaxClients 50
LogFile "$dir/proxy.log"
LogLevel Info
CONF
tinyproxy -d -c proxy.conf </dev/null >/dev/null 2>&1 &
echo $! >proxy.pid
for _ in $(seq 50); do
  (exec 3<>"/dev/tcp/127.0.0.1/$proxy") 2>/dev/null && break
  sleep 0.1
done

plain=$("$serve" start state-plain root)
{
  echo "ca=$dir/ca.pem"
  echo "root=$dir/root"
  echo "plain=$plain"
  echo "proxy=$proxy"
  echo "valid=$("$serve" start state-valid root --tls valid.pem server.key \
    --redirect /down.bin "http://127.0.0.1:$plain/file.bin")"
  for name in expired wronghost unknownca; do
    echo "$name=$("$serve" start "state-$name" root --tls "$name.pem" server.key)"
  done
} >servers.txt.part
mv servers.txt.part servers.txt
