#!/bin/sh
# Makes a throw-away certificate authority and a server certificate it signs, for the
# cloud stand-in. Usage: make_test_ca.sh OUTDIR [HOST]...
# Writes OUTDIR/ca.pem (install it as the client's CA bundle), OUTDIR/ca.key,
# OUTDIR/server.pem and OUTDIR/server.key. The server certificate names every HOST
# (default: the three cloud endpoint hosts), localhost and 127.0.0.1.
set -eu

[ $# -ge 1 ] || { echo "usage: $0 OUTDIR [HOST]..." >&2; exit 2; }
out=$1; shift
if [ $# -eq 0 ]; then
  set -- "${SM_API_HOST:-monitor-api.cloud.example}" "${SM_UPLOAD_HOST:-metrics.cloud.example}" \
         "${SM_PRE_UPLOAD_HOST:-metrics-pre.cloud.example}"
fi
mkdir -p "$out"
cd "$out"

san="DNS:localhost,IP:127.0.0.1"
for host in "$@"; do san="$san,DNS:$host"; done

openssl req -x509 -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout ca.key -out ca.pem -days 30 -subj "/CN=Cloud stand-in test CA $$" \
  -addext "basicConstraints=critical,CA:TRUE" \
  -addext "keyUsage=critical,keyCertSign,cRLSign" 2>/dev/null

openssl req -new -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
  -keyout server.key -out server.csr -subj "/CN=$1" 2>/dev/null

cat > server.ext <<EXT
basicConstraints=CA:FALSE
keyUsage=critical,digitalSignature
extendedKeyUsage=serverAuth
subjectAltName=$san
EXT
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial \
  -out server.pem -days 30 -extfile server.ext 2>/dev/null
rm -f server.csr server.ext ca.srl
chmod 600 ca.key server.key
