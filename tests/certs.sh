#!/bin/sh
# certs.sh DIR: a throw-away CA and another one, with ECDSA P-256 keys made
# afresh: server (a.quavd.test, 127.0.0.1, ::1) and client (client.test)
# certificates from the CA, server2 and client2 from the other, and an
# expired client certificate.
set -e
cd "$1"
ec="-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes"
for ca in ca ca2; do
  openssl req -x509 $ec -keyout $ca.key -out $ca.pem -subj "/CN=test $ca" -days 2 2>/dev/null
done
cert() {  # NAME CA DAYS CN SAN
  openssl req -new $ec -keyout $1.key -subj "/CN=$4" -addext "subjectAltName=$5" 2>/dev/null |
    openssl x509 -req -CA $2.pem -CAkey $2.key -copy_extensions copy -days $3 -out $1.pem 2>/dev/null
}
cert server ca 2 quavd "DNS:a.quavd.test,IP:127.0.0.1,IP:::1"
cert server2 ca2 2 quavd "DNS:b.quavd.test,IP:127.0.0.1"
cert client ca 2 client "DNS:client.test,DNS:second.test"
cert client2 ca2 2 client "DNS:client.test"
cert expired ca -1 client "DNS:client.test"
