#!/usr/bin/env bash
# Signs Windows programs and Windows Installer packages in place with the
# organisation's code-signing certificate (Authenticode, SHA-256, through
# osslsigncode). The certificate never comes from the repository:
#
#   VFDSTARTUP_SIGN_PFX            the certificate and its key (.pfx/.p12)
#   VFDSTARTUP_SIGN_PASSWORD       its password
#   VFDSTARTUP_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (optional):
#                                  the signature then stays valid after the
#                                  certificate expires
#
# Without VFDSTARTUP_SIGN_PFX nothing is signed, and it says so.
#
#   sign.sh FILE...
set -euo pipefail

[ $# -gt 0 ] || { echo "usage: sign.sh FILE..." >&2; exit 2; }

if [ -z "${VFDSTARTUP_SIGN_PFX:-}" ]; then
  names=()
  for file in "$@"; do names+=("$(basename "$file")"); done
  echo "sign: VFDSTARTUP_SIGN_PFX is not set: ${names[*]} not signed" >&2
  exit 0
fi
[ -r "$VFDSTARTUP_SIGN_PFX" ] || { echo "sign: cannot read $VFDSTARTUP_SIGN_PFX" >&2; exit 1; }

for file in "$@"; do
  args=(sign -pkcs12 "$VFDSTARTUP_SIGN_PFX" -h sha256 -n vfdstartup -in "$file" -out "$file.signed")
  [ -n "${VFDSTARTUP_SIGN_TIMESTAMP_URL:-}" ] && args+=(-ts "$VFDSTARTUP_SIGN_TIMESTAMP_URL")
  rm -f "$file.signed"
  # The password through a pipe, so that no process list shows it.
  if ! osslsigncode "${args[@]}" -readpass <(printf '%s' "${VFDSTARTUP_SIGN_PASSWORD:-}") >"$file.sign-log" 2>&1; then
    cat "$file.sign-log" >&2
    rm -f "$file.signed" "$file.sign-log"
    echo "sign: signing $(basename "$file") failed" >&2
    exit 1
  fi
  rm -f "$file.sign-log"
  mv "$file.signed" "$file"
  echo "sign: signed $(basename "$file")" >&2
done
