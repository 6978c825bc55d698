#!/usr/bin/env bash
# The role's Windows task files against the real ansible.windows collection
# of Debian's ansible package (the fleet test runs them with a stand-in for
# win_command): ansible-playbook --syntax-check through a playbook that
# imports them (the role includes them at run time, which a syntax check
# does not follow), then ansible-lint.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
ROLE="$ROOT/deploy/ansible/roles/vfdstartup"
COLLECTIONS=/usr/lib/python3/dist-packages
[ -d "$COLLECTIONS/ansible_collections/ansible/windows" ] ||
  { echo "check_windows_tasks: no ansible.windows collection (Debian package ansible)" >&2; exit 1; }

work="$(mktemp -d "${TMPDIR:-/tmp}/vfd-windows-tasks.XXXXXX")"
trap 'rm -rf "$work"' EXIT
# Nothing from this machine's own Ansible set-up.
: >"$work/ansible.cfg"
export ANSIBLE_CONFIG="$work/ansible.cfg" ANSIBLE_COLLECTIONS_PATH="$COLLECTIONS" \
  ANSIBLE_COLLECTIONS_SCAN_SYS_PATH=0 ANSIBLE_LOCAL_TEMP="$work/tmp" ANSIBLE_NOCOLOR=1

cat >"$work/windows.yml" <<PLAY
- name: The role's Windows tasks
  hosts: all
  gather_facts: false
  vars_files: [$ROLE/defaults/main.yml]
  tasks:
    - ansible.builtin.import_tasks: $ROLE/tasks/windows.yml
    - ansible.builtin.import_tasks: $ROLE/tasks/windows_msi.yml
    - ansible.builtin.import_tasks: $ROLE/tasks/windows_policy.yml
PLAY
ansible-playbook --syntax-check -i localhost, "$work/windows.yml"
(cd "$ROLE" && ansible-lint --offline --nocolor tasks/windows.yml tasks/windows_msi.yml tasks/windows_policy.yml)
