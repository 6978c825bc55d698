#!/usr/bin/env bash
# The layers run one way: programs (app, cli) -> jobs -> records, writing,
# discovery -> front-end seam, serial -> protocol, text. Each rule: a header
# path prefix, and the files that may include it; the front-end seam's
# operations only for the code that drives them or realises them; the jobs
# ask the records' room (port_records.h, port_identity.h), never its files.
cd "$(dirname "$0")/../../src" || exit 1
status=0
while read -r header allowed; do
  bad="$(grep -rl --include='*.cpp' --include='*.h' "#include \"$header" . | sed 's|^\./||' | grep -Ev "$allowed")"
  [ -z "$bad" ] || { echo "layers: $header included by: $bad"; status=1; }
done <<'RULES'
frontend/frontend_ops.h ^(writing|discovery|frontend|job)/|^cli/console_frontend\.cpp$
frontend/ ^(writing|discovery|frontend|job|app)/|^cli/console_frontend\.cpp$
app/ ^app/
cli/ ^cli/
job/ ^(job|cli)/
records/ ^(records|job|cli)/
records/last_run.h ^records/
records/run_exports.h ^records/
records/port_status.h ^(records|cli)/
records/record_platform.h ^(records|cli)/
records/run_platform.h ^(records|cli)/
records/state_store.h ^(records|cli)/|^job/job_report\.cpp$
writing/ ^(writing|job|app|cli)/
discovery/ ^(discovery|job|app|cli)/
serial/ ^(serial|discovery|writing|job|app|cli)/
text/ ^(text|serial|discovery|records|job|cli)/
RULES
# Text for the display stands alone.
bad="$(grep -rn '#include "' text | grep -v '#include "text/')"
[ -z "$bad" ] || { echo "layers: text/ includes from elsewhere: $bad"; status=1; }
exit "$status"
