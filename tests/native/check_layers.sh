#!/usr/bin/env bash
# The layers run one way: programs (app, cli) -> writing, discovery ->
# front-end seam, serial -> protocol. Fails on an include that runs the other
# way, or on the front-end seam's header included outside the code that
# drives it or realises it.
set -uo pipefail
cd "$(dirname "$0")/../../src" || exit 1
status=0

# includers PATTERN ALLOWED_REGEX: every file including PATTERN must match.
includers() {
  local bad
  bad="$(grep -rl --include='*.cpp' --include='*.h' "#include \"$1" . | sed 's|^\./||' | grep -Ev "$2")"
  if [ -n "$bad" ]; then
    echo "layers: $1 included by: $bad"
    status=1
  fi
}

includers "frontend/frontend_ops.h" '^(writing|discovery|frontend)/|^cli/console_frontend\.cpp$'
includers "frontend/" '^(writing|discovery|frontend|app)/|^cli/console_frontend\.cpp$'
includers "app/" '^app/'
includers "cli/" '^cli/'
includers "writing/" '^(writing|app|cli)/'
includers "discovery/" '^(discovery|app|cli)/'
includers "serial/" '^(serial|discovery|writing|app|cli)/'
exit "$status"
