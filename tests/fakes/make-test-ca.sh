#!/bin/sh
# Makes a test certificate authority and a server certificate for "localhost" signed by it:
#   make-test-ca DIR  ->  DIR/ca.pem, DIR/server.pem, DIR/server.key
set -eu
dir=$1
mkdir -p "$dir"
cd "$dir"
openssl req -x509 -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 -keyout ca.key \
  -out ca.pem -subj "/CN=Tavrin Test CA" -days 2 \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign" 2>/dev/null
openssl req -new -nodes -newkey ec -pkeyopt ec_paramgen_curve:P-256 -keyout server.key \
  -out server.csr -subj "/CN=localhost" 2>/dev/null
printf 'subjectAltName=DNS:localhost\n' > server.ext
openssl x509 -req -in server.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out server.pem \
  -days 2 -extfile server.ext 2>/dev/null
