#!/usr/bin/env bash
# scripts/sign-launcher with a certificate made here: the signed launcher
# verifies against that certificate and not against another one, and the
# unsigned program does not verify at all.
#   tests/sign_launcher_test.sh LAUNCHER.exe WORK
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
launcher=$1 work=$2
rm -rf "$work"
mkdir -p "$work"
cd "$work"

certificate() {  # NAME
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$1.key" -out "$1.pem" -days 2 -subj "/CN=$1" \
    -addext "extendedKeyUsage=codeSigning" -addext "keyUsage=digitalSignature" 2>/dev/null
}
certificate "KIV Test Publisher"
certificate "Someone Else"

cp "$launcher" unsigned.exe
cp "$launcher" launcher.exe
"$here/../scripts/sign-launcher" --cert "KIV Test Publisher.pem" --key "KIV Test Publisher.key" --url https://www.kiv.example/ \
  launcher.exe

failures=0
osslsigncode verify -in launcher.exe -CAfile "KIV Test Publisher.pem" >verify.out 2>&1 ||
  { cat verify.out; echo "FAIL: the signed launcher does not verify"; failures=1; }
grep -q "KIV Test Publisher" verify.out || { echo "FAIL: the signer is not named"; failures=1; }
if osslsigncode verify -in launcher.exe -CAfile "Someone Else.pem" >/dev/null 2>&1; then
  echo "FAIL: the signature verifies against another certificate"; failures=1
fi
if osslsigncode verify -in unsigned.exe -CAfile "KIV Test Publisher.pem" >/dev/null 2>&1; then
  echo "FAIL: the unsigned launcher verifies"; failures=1
fi
exit $failures
