#!/usr/bin/env bash
# The role documents and lints itself, against the real ansible.windows
# collection of Debian's ansible package (the fleet test runs the Windows
# tasks with a stand-in for win_command): ansible-doc of both modules as the
# role's README gives it; ansible-playbook --syntax-check through a playbook
# that imports every task file the role includes (at run time, which a
# syntax check does not follow) and through the playbook itself; every task's options against its module's
# documentation (task_options.py); then ansible-lint over the playbook and
# the role. ansible-lint's own options check (args) runs a module to check
# it, which it cannot do with a PowerShell module and only warns "Unable to
# load module"; task_options.py checks those options instead, and any
# warning of ansible-lint fails the check.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
ANSIBLE_DIR="$ROOT/deploy/ansible"
ROLE="$ANSIBLE_DIR/roles/vfdstartup"
COLLECTIONS=/usr/lib/python3/dist-packages
[ -d "$COLLECTIONS/ansible_collections/ansible/windows" ] ||
  { echo "check_windows_tasks: no ansible.windows collection (Debian package ansible)" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/vfd-windows-tasks.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# Nothing from this machine's own Ansible set-up.
: >"$work/ansible.cfg"
export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_COLLECTIONS_PATH="$COLLECTIONS" \
  ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=0 ANSIBLE_LOCAL_TEMP="$work/tmp" ANSIBLE_NOCOLOR=1

for module in vfdstartup_message vfdstartup_report; do
  (cd "$ANSIBLE_DIR" && ansible-doc -M roles/vfdstartup/library "$module") >"$work/doc.txt" 2>&1 ||
    { cat "$work/doc.txt"; echo "check_windows_tasks: ansible-doc $module failed" >&2; exit 1; }
done

{
  echo "- name: The role's task files"
  echo "  hosts: all"
  echo "  gather_facts: false"
  echo "  vars_files: [$ROLE/defaults/main.yml]"
  echo "  tasks:"
  for file in "$ROLE"/tasks/*.yml; do
    [ "${file##*/}" = main.yml ] || echo "    - ansible.builtin.import_tasks: $file"
  done
} >"$work/tasks.yml"
ANSIBLE_LIBRARY="$ROLE/library" ansible-playbook --syntax-check -i localhost, "$work/tasks.yml"
ansible-playbook --syntax-check -i localhost, "$ANSIBLE_DIR/rollout.yml" "$ANSIBLE_DIR/keep-message.yml"

# The example inventory runs the program where the 32-bit MSI installs it on
# 64-bit Windows.
executable="$(ansible-inventory -i "$ANSIBLE_DIR/inventory.example.ini" --host pos-1202.store12.example |
  /usr/bin/python3 -c 'import json, sys; print(json.load(sys.stdin)["vfdstartup_executable"])')"
[ "$executable" = 'C:\Program Files (x86)\vfdstartup\vfdstartup-cli.exe' ] ||
  { echo "check_windows_tasks: the example inventory's vfdstartup_executable is $executable" >&2; exit 1; }

/usr/bin/python3 "$ROOT/tests/fleet/task_options.py" "$ROLE/library" "$ROLE"/tasks/*.yml

(cd "$ANSIBLE_DIR" && ansible-lint --offline --nocolor -x args) >"$work/lint.txt" 2>&1 ||
  { cat "$work/lint.txt"; exit 1; }
cat "$work/lint.txt"
if grep -q "WARNING" "$work/lint.txt"; then
  echo "check_windows_tasks: ansible-lint warned" >&2
  exit 1
fi
