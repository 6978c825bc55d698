#!/usr/bin/env bash
# Builds the Windows Installer package of the two Windows programs with wixl
# (msitools): signs the programs (sign.sh; unsigned without a certificate),
# builds vfdstartup.wxs around them, adds what wixl cannot express, and
# signs the package.
#
#   build-msi.sh --version X.Y.Z --out FILE.msi DIALOG.exe CLI.exe README-Windows.txt
#
# X.Y.Z is the package's product version. Windows Installer compares only
# these three fields (X, Y up to 255, Z up to 65535); a fourth would be
# ignored, and two builds differing only there would be installed side by
# side. The programs' own version resources are left as they are.
set -euo pipefail

HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
ROOT="$(cd "$HERE/../.." && pwd)"

usage() { echo "usage: build-msi.sh --version X.Y.Z --out FILE.msi DIALOG.exe CLI.exe README-Windows.txt" >&2; exit 2; }

version="" out=""
while [ $# -gt 0 ]; do
  case "$1" in
    --version) version="${2:-}"; shift 2 || usage ;;
    --out) out="${2:-}"; shift 2 || usage ;;
    --) shift; break ;;
    -*) usage ;;
    *) break ;;
  esac
done
[ $# -eq 3 ] && [ -n "$out" ] || usage
if ! [[ "$version" =~ ^([0-9]{1,3})\.([0-9]{1,3})\.([0-9]{1,5})$ ]] ||
   [ "${BASH_REMATCH[1]}" -gt 255 ] || [ "${BASH_REMATCH[2]}" -gt 255 ] || [ "${BASH_REMATCH[3]}" -gt 65535 ]; then
  echo "build-msi: the product version must be X.Y.Z (X and Y up to 255, Z up to 65535): '$version'" >&2
  exit 2
fi

stage="$(mktemp -d "${TMPDIR:-/tmp}/vfd-msi.XXXXXX")"
trap 'rm -rf "$stage"' EXIT
cp "$1" "$stage/vfdstartup.exe"
cp "$2" "$stage/vfdstartup-cli.exe"
cp "$3" "$stage/README-Windows.txt"
cp "$ROOT/src/app/resources/vfdstartup.ico" "$stage/vfdstartup.ico"
cp "$ROOT/deploy/windows/PolicyDefinitions/vfdstartup.admx" "$stage/vfdstartup.admx"
cp "$ROOT/deploy/windows/PolicyDefinitions/en-US/vfdstartup.adml" "$stage/vfdstartup.adml"

bash "$HERE/sign.sh" "$stage/vfdstartup.exe" "$stage/vfdstartup-cli.exe"

msi="$stage/vfdstartup.msi"
(cd "$stage" && wixl -a x86 -D Version="$version" -o "$msi" "$HERE/vfdstartup.wxs")

# wixl 0.101 has no Environment element: the PATH entry goes in as a table
# row ('=-*': create, remove on uninstall, system-wide; '[~];' appends), with
# the two actions that process it, and ADDTOPATH as its component's
# condition.
printf '%s\n' $'Environment\tName\tValue\tComponent_' $'s72\tl255\tL255\ts72' $'Environment\tEnvironment' \
  $'PathEntry\t=-*PATH\t[~];[INSTALLDIR]\tPathEntry' >"$stage/Environment.idt"
# wixl has no PermissionEx either: the state folder's access list goes in as
# a MsiLockPermissionsEx row (Windows Installer 5.0, which the package asks
# for), applied by CreateFolders to the folder whether it existed or not.
# The same rights as the program gives a state folder it makes, with
# Administrators as the owner: an account that made the folder first loses
# it. P: nothing inherited from %ProgramData%, where every user may add.
# wixl drops Permanent="yes": the attribute (16) is set below.
printf '%s\n' $'MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition' $'s72\ts72\ts32\ts0\tS255' \
  $'MsiLockPermissionsEx\tMsiLockPermissionsEx' \
  $'StateFolder\tSTATEDIR\tCreateFolder\tO:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)\t' \
  >"$stage/MsiLockPermissionsEx.idt"
# ADDTOPATH is made secure (see the .wxs). MajorUpgrade in wixl leaves out
# the installed version itself: a rebuild of the same version would be
# installed beside it. IncludeMaximum (512) makes it replace it; 1 keeps
# migrating the feature states.
property() { msiinfo export "$1" Property | tr -d '\r' | awk -F'\t' -v name="$2" '$1 == name { print $2 }'; }
upgradeCode="$(property "$msi" UpgradeCode)"
secure="$(property "$msi" SecureCustomProperties)"
msibuild "$msi" -i "$stage/Environment.idt" -i "$stage/MsiLockPermissionsEx.idt" \
  -q "UPDATE \`Property\` SET \`Value\` = '$secure;ADDTOPATH' WHERE \`Property\` = 'SecureCustomProperties'" \
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('RemoveEnvironmentStrings', 3300)" \
  -q "INSERT INTO InstallExecuteSequence (Action, Sequence) VALUES ('WriteEnvironmentStrings', 5200)" \
  -q "UPDATE Component SET Condition = 'ADDTOPATH = \"1\"' WHERE Component = 'PathEntry'" \
  -q "UPDATE Component SET Attributes = 16 WHERE Component = 'StateFolder'" \
  -q "DELETE FROM Upgrade WHERE ActionProperty = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO Upgrade (UpgradeCode, VersionMax, Attributes, ActionProperty)
      VALUES ('$upgradeCode', '$version', 513, 'WIX_UPGRADE_DETECTED')"

bash "$HERE/sign.sh" "$msi"
mkdir -p "$(dirname "$out")"
mv "$msi" "$out"
echo "build-msi: $out ($(stat -c %s "$out") bytes, product version $version," \
  "product code $(property "$out" ProductCode))" >&2
