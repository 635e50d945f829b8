#!/usr/bin/env bash
# Makes a throwaway certificate authority and a server certificate signed by
# it, for a Redis server on this machine that speaks TLS in a demo or a
# benchmark:
#
#   scripts/throwaway-tls.sh FOLDER
#
# writes FOLDER/ca.crt (what clients trust: KVPOOL_REDIS_TLS_CA) and
# FOLDER/server.crt with FOLDER/server.key (mode 0600), for localhost and
# 127.0.0.1, valid for a day.
set -euo pipefail
cd "$1"
for name in ca server; do
  openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$name.key" 2>/dev/null
  chmod 600 "$name.key"
done
openssl req -x509 -new -key ca.key -out ca.crt -days 1 -subj "/CN=throwaway CA"
openssl req -new -key server.key -out server.csr -subj "/CN=localhost"
echo "subjectAltName=DNS:localhost,IP:127.0.0.1" > server.ext
openssl x509 -req -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial -out server.crt \
  -days 1 -extfile server.ext 2>/dev/null
