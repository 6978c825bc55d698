#!/usr/bin/python3
"""The Windows Installer package: its tables (msiinfo), its signatures (a
throwaway certificate, osslsigncode), and an install, upgrade, downgrade and
uninstall with msiexec in a throwaway Wine prefix, both installed programs
run from the install directory against an emulated display, and the
service vfdstartup the package installs, started by the service manager
against that display with the message set as machine policy.

Usage: msi_test.py BUILD_DIR   (the windows preset's build, e.g. build/windows)
"""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

Root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(Root, "tests", "fleet"))
sys.path.insert(0, os.path.join(Root, "tests", "cli"))
import fleet  # noqa: E402  (a signal unwinds like Ctrl-C)
from event_messages_test import MessageTable  # noqa: E402  (the program's message table, read with pefile)
from fleet_test import Check, Conclude, Failures  # noqa: E402  (tests/fleet's way of keeping failed checks)

BuildMsi = os.path.join(Root, "cmake", "msi", "build-msi.sh")
Rig = os.path.join(Root, "tools", "wine-rig", "rig.sh")
WineRun = os.path.join(Root, "tools", "wine-rig", "wine-run")
RunCase = os.path.join(Root, "tests", "e2e", "run_case.sh")

UpgradeCode = "{0EC000A8-5354-4CE7-88F9-01DA2DCB1A6F}"
DetectionComponent = "{D190B703-3C96-432D-A072-8283FBC8CBAC}"
Lower, Current, Higher = "1.0.2", "1.0.3", "1.0.4"
ProgramVersion = "vfdstartup-cli 1.0.0.3"
InstallDir = "C:\\Program Files (x86)\\vfdstartup\\"
DetectionKey = "HKLM\\Software\\vfdstartup"
UninstallKey = "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall"
ServiceKey = "HKLM\\System\\CurrentControlSet\\Services\\vfdstartup"
PolicyKey = "HKLM\\Software\\Policies\\vfdstartup"
EventSourceKey = "HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\vfdstartup"
EnvironmentKey = "HKLM\\System\\CurrentControlSet\\Control\\Session Manager\\Environment"
Password = "throwaway-pass"
# SYSTEM and Administrators full control, Users read and run, nothing inherited, owned by Administrators.
StateFolderAccess = "O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
SettleSeconds = 5  # the service acts once the policy and the folder have been still this long


def Run(command, **options):
    return subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True, **options)


def Table(msi, name):
    # msiinfo export: names, types, key line, then one row per line.
    lines = Run(["msiinfo", "export", msi, name]).stdout.splitlines()[3:]
    return [tuple(line.split("\t")) for line in lines]


def WindowsPath(path):
    return "Z:" + path.replace("/", "\\")


def Build(build, work, version, name, password=None):
    out = os.path.join(work, name)
    env = dict(os.environ)
    for key in ("VFDSTARTUP_SIGN_PFX", "VFDSTARTUP_SIGN_PASSWORD", "VFDSTARTUP_SIGN_TIMESTAMP_URL"):
        env.pop(key, None)
    if password is not None:
        env.update(VFDSTARTUP_SIGN_PFX=os.path.join(work, "signer.pfx"), VFDSTARTUP_SIGN_PASSWORD=password)
    done = Run(["bash", BuildMsi, "--version", version, "--out", out] + Inputs(build), env=env)
    if password not in (None, Password):
        Check(done.returncode != 0 and not os.path.exists(out), "a wrong password built " + name)
        return out
    said = "vfdstartup.msi not signed" if password is None else "sign: signed vfdstartup.msi"
    Check(done.returncode == 0 and said in done.stdout, "building %s: %s" % (name, done.stdout))
    return out


def Inputs(build):
    return [os.path.join(build, "src", "app", "vfdstartup.exe"), os.path.join(build, "src", "cli", "vfdstartup-cli.exe"),
            os.path.join(build, "README-Windows.txt")]


def MakeCertificate(work):
    key, cert = os.path.join(work, "signer.key"), os.path.join(work, "signer.pem")
    Run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2",
         "-subj", "/CN=vfdstartup test signer", "-addext", "extendedKeyUsage=codeSigning"], check=True)
    Run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", cert, "-out", os.path.join(work, "signer.pfx"),
         "-passout", "pass:" + Password], check=True)
    return cert


def CheckTables(msi):
    print("--- the package's tables")
    properties = dict(Table(msi, "Property"))
    for name, value in (("ALLUSERS", "1"), ("UpgradeCode", UpgradeCode), ("ARPNOMODIFY", "1"),
                        ("ADDTOPATH", "1"), ("ProductVersion", Current), ("Manufacturer", "vfdstartup")):
        Check(properties.get(name) == value, "property %s is %r" % (name, properties.get(name)))
    Check("ADDTOPATH" in properties["SecureCustomProperties"].split(";"), "ADDTOPATH is not secure")
    Check(sorted(Table(msi, "Upgrade")) == sorted([
        (UpgradeCode, "", Current, "", "513", "", "WIX_UPGRADE_DETECTED"),
        (UpgradeCode, Current, "", "", "2", "", "WIX_DOWNGRADE_DETECTED")]), "the Upgrade table")
    Check(("NOT WIX_DOWNGRADE_DETECTED", "A newer version of vfdstartup is already installed.")
          in Table(msi, "LaunchCondition"), "no launch condition refuses a downgrade")
    files = {row[2]: row[1] for row in Table(msi, "File")}
    Check(files == {"vfdstartup.exe": "DialogProgram", "vfdstartup-cli.exe": "ConsoleProgram",
                    "README-Windows.txt": "ReadMe", "vfdstartup.admx": "PolicyTemplate",
                    "vfdstartup.adml": "PolicyTexts"}, "the files and their components: %s" % files)
    components = {row[0]: row[1:] for row in Table(msi, "Component")}
    directories = {c: components[c][1] for c in files.values()}
    Check(directories == {"DialogProgram": "INSTALLDIR", "ConsoleProgram": "INSTALLDIR", "ReadMe": "INSTALLDIR",
                          "PolicyTemplate": "PolicyDefinitionsDir", "PolicyTexts": "PolicyDefinitionsEnUs"},
          "the files' directories: %s" % directories)
    Check({("PolicyDefinitionsDir", "INSTALLDIR", "PolicyDefinitions"),
           ("PolicyDefinitionsEnUs", "PolicyDefinitionsDir", "en-US")} <= set(Table(msi, "Directory")),
          "the templates' directories")
    Check(("INSTALLDIR", "ProgramFilesFolder", "vfdstartup") in Table(msi, "Directory"), "the install directory")
    shortcuts = [(row[1], row[4]) for row in Table(msi, "Shortcut")]
    Check(shortcuts == [("ProgramMenuDir", "[INSTALLDIR]vfdstartup.exe")], "the shortcut: %s" % shortcuts)
    registry = {row[3]: row[1:] for row in Table(msi, "Registry") if row[1] == "2"}
    version = registry.get("Version", ())
    Check(version == ("2", "Software\\vfdstartup", "Version", "[ProductVersion]", "Detection")
          and components["Detection"][0] == DetectionComponent, "the detection value: %s" % (version,))
    Check(Table(msi, "Environment") == [("PathEntry", "=-*PATH", "[~];[INSTALLDIR]", "PathEntry")]
          and components["PathEntry"][3] == 'ADDTOPATH = "1"', "the PATH entry and its condition")
    services = Table(msi, "ServiceInstall")
    Check([s[1:5] + (s[8], s[10], s[11]) for s in services]
          == [("vfdstartup", "vfdstartup: customer display message", "16", "2", "LocalSystem", "service",
               "ConsoleProgram")] and services[0][12], "the service: %s" % services)
    # Started at install, stopped at install (an upgrade's) and uninstall, removed at uninstall.
    Check(Table(msi, "ServiceControl") == [("ServiceControl", "vfdstartup", str(0x01 | 0x02 | 0x20 | 0x80), "", "1",
                                            "ConsoleProgram")], "the service's control: %s" % Table(msi, "ServiceControl"))
    # %ProgramData%\vfdstartup made by the package, kept at uninstall (16: permanent), its rights
    # set by Windows Installer's own permission table.
    Check(("STATEDIR", "CommonAppDataFolder", "vfdstartup") in Table(msi, "Directory")
          and Table(msi, "CreateFolder") == [("STATEDIR", "StateFolder")]
          and components.get("StateFolder", ())[1:3] == ("STATEDIR", "16"), "the state folder: %s" % Table(msi, "CreateFolder"))
    Check(Table(msi, "MsiLockPermissionsEx") == [("StateFolder", "STATEDIR", "CreateFolder", StateFolderAccess, "")]
          and "LockPermissions" not in Run(["msiinfo", "tables", msi]).stdout.split(),
          "the state folder's rights: %s" % Table(msi, "MsiLockPermissionsEx"))
    # Type 51 sets a property; every other kind of custom action runs something.
    kinds = [int(row[1]) & 0x3F for row in Table(msi, "CustomAction")]
    Check(kinds and set(kinds) == {51}, "custom actions of kinds %s" % kinds)


def Verify(path, cert):
    return Run(["osslsigncode", "verify", "-CAfile", cert, "-in", path]).returncode == 0


def CheckSignatures(work, msi, cert):
    print("--- signatures")
    Check(Verify(msi, cert), "the signed package does not verify")
    extracted = os.path.join(work, "extracted")
    Run(["msiextract", "-C", extracted, msi], check=True)
    programs = {}
    for folder, _, names in os.walk(extracted):
        programs.update({n: os.path.join(folder, n) for n in names if n.endswith(".exe")})
    if not Check(sorted(programs) == ["vfdstartup-cli.exe", "vfdstartup.exe"], "programs in the package: %s" % programs):
        return
    for name, path in sorted(programs.items()):
        Check(Verify(path, cert), "%s in the package does not verify" % name)
    changed = os.path.join(work, "changed.exe")
    shutil.copy(programs["vfdstartup-cli.exe"], changed)
    with open(changed, "r+b") as program:
        program.seek(0x1000)
        byte = program.read(1)
        program.seek(0x1000)
        program.write(bytes([byte[0] ^ 0xFF]))
    Check(not Verify(changed, cert), "a program changed after signing verifies")
    changedMsi = os.path.join(work, "changed.msi")
    shutil.copy(msi, changedMsi)
    Run(["msibuild", changedMsi, "-q", "UPDATE `Property` SET `Value` = '0' WHERE `Property` = 'ARPNOMODIFY'"])
    Check(not Verify(changedMsi, cert), "a package changed after signing verifies")


class Prefix:
    """A rig with an emulated display on COM3; msiexec, reg and the programs in its prefix."""

    def __init__(self):
        self.dir = Run([Rig, "up", "--template", "--quiet", "--port", "COM3", "--opos-port", "COM3"],
                       check=True).stdout.strip()
        exported = Run(["bash", "-c", 'source "$1/env.sh" && env -0', "-", self.dir]).stdout
        self.env = dict(item.split("=", 1) for item in exported.split("\0") if "=" in item)
        self.driveC = os.path.join(self.env["WINEPREFIX"], "drive_c")
        self.runs = 0
        with open(os.path.join(self.dir, "msiexec.cmd"), "w", newline="\r\n") as batch:
            # The exact exit code (a shell sees it modulo 256).
            batch.write("@msiexec %*\n@echo exit=%ERRORLEVEL%\n")

    def Wine(self, *args, debug=None):
        # Output to a file, never a pipe: Wine's services would hold it open.
        env = dict(self.env, VFD_WINEDEBUG=debug) if debug else self.env
        with tempfile.TemporaryFile("w+", dir=self.dir) as output:
            done = subprocess.run([WineRun] + list(args), env=env, stdin=subprocess.DEVNULL,
                                  stdout=output, stderr=output)
            output.seek(0)
            return done.returncode, output.read()

    def Msiexec(self, *args):
        self.runs += 1
        log = WindowsPath(os.path.join(self.dir, "msiexec-%d.log" % self.runs))
        _, output = self.Wine("cmd", "/c", WindowsPath(self.dir + "/msiexec.cmd"), *args, "/l*v", log)
        found = re.search(r"exit=(\d+)", output)
        return int(found.group(1)) if found else None

    def Registry(self, key, *options):
        # {subkey: {name: data}} from reg query's "    name    TYPE    data" lines.
        _, output = self.Wine("reg", "query", key, *options)
        keys, current = {}, None
        for line in output.splitlines():
            if line.startswith("HKEY_"):
                current = keys.setdefault(line.split("\\")[-1], {})
            elif current is not None and line.startswith("    "):
                parts = line.strip().split("    ")
                current[parts[0]] = parts[-1] if len(parts) > 2 else ""
        return keys

    def Service(self, *args):
        _, output = self.Wine("sc", *args)
        return output

    def ServiceState(self):
        found = re.search(r"STATE\s*:\s*\d+\s+(\w+)", self.Service("query", "vfdstartup"))
        return found.group(1) if found else None

    def EmulatorWrites(self):
        # The records the emulated display on COM3 received.
        with open(os.path.join(self.dir, "vfd-com3.log"), encoding="utf-8", errors="replace") as log:
            return sum('"event":"command"' in line and '"name":"write"' in line for line in log)

    def StoredRows(self):
        with open(os.path.join(self.dir, "vfd-com3.rec"), "rb") as record:
            data = record.read()
        return tuple(data[1 + 64 * row:64 * (row + 1)].rstrip(b"\0").decode("ascii", "replace") for row in (0, 1))

    def State(self, *names):
        return os.path.join(self.driveC, "ProgramData", "vfdstartup", *names)

    def WriteMessageFile(self, row0):
        with open(self.State("message.conf"), "w") as conf:
            conf.write("row0 = %s\nrow1 = Replaced\nspeed = 200ms\nport = COM3\n" % row0)

    def Stamp(self, *names):
        # A file replaced (a new temporary renamed over it) gets a new inode.
        try:
            info = os.stat(self.State(*names))
            return info.st_ino, info.st_mtime_ns
        except FileNotFoundError:
            return None

    def Control(self, command):
        # sc stop is taken once an apply under way is over.
        self.Service(command, "vfdstartup")
        state = {"stop": "STOPPED", "start": "RUNNING"}[command]
        Check(WaitFor(lambda: self.ServiceState() == state), "the service is not %s" % state)

    def SetValues(self, pause, *values):
        # One process, the values pause ms apart: a reg.exe each takes seconds to start on a busy machine.
        self.Wine(os.path.join(self.env["VFD_RIG_TOOLS"], "rig-regkey.exe"), "set-sz",
                  "SOFTWARE\\Policies\\vfdstartup", str(pause), *values)

    def Products(self):
        return {key: values for key, values in self.Registry(UninstallKey, "/s", "/reg:32").items()
                if values.get("DisplayName") == "vfdstartup"}

    def OnPath(self):
        return InstallDir in self.Registry(EnvironmentKey, "/v", "PATH").get("Environment", {}).get("PATH", "")

    def Files(self):
        return {os.path.relpath(os.path.join(d, n), self.driveC) for d, dirs, names in os.walk(self.driveC)
                for n in dirs + names}

    def Down(self):
        Run([Rig, "down", self.dir])


def ProductCode(msi):
    return dict(Table(msi, "Property"))["ProductCode"]


def CheckInstalled(prefix, msi, version, onPath):
    products = prefix.Products()
    code = ProductCode(msi)
    entry = products.get(code, {})
    Check(list(products) == [code] and entry.get("DisplayVersion") == version and entry.get("Publisher") == "vfdstartup"
          and entry.get("UninstallString") == "MsiExec.exe /X" + code, "Add/Remove entries: %s" % products)
    detection = prefix.Registry(DetectionKey, "/reg:32").get("vfdstartup", {})
    Check(detection.get("Version") == version and detection.get("InstallDir") == InstallDir,
          "the detection value and the install directory: %s" % detection)
    source = prefix.Registry(EventSourceKey).get("vfdstartup", {})
    Check(source.get("EventMessageFile") == InstallDir + "vfdstartup-cli.exe" and source.get("TypesSupported") == "0x7",
          "the event source: %s" % source)
    Check(prefix.OnPath() == onPath, "the install directory is%s on PATH" % ("" if prefix.OnPath() else " not"))


def WaitFor(what, seconds=30):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if what():
            return True
        time.sleep(0.25)
    return what()


def SetPolicy(prefix, row0):
    for name, data in (("Row0", row0), ("Row1", "Policy"), ("Speed", "100ms"), ("Port", "COM3")):
        prefix.Wine("reg", "add", PolicyKey, "/v", name, "/d", data, "/f", "/reg:64")


# Right after the install, no policy and no message file: nothing to keep,
# which is no failure. A stop is taken once the start's apply, if any, is over.
def CheckNothingConfigured(prefix):
    print("--- nothing configured")
    cli = InstallDir + "vfdstartup-cli.exe"
    Check(WaitFor(lambda: prefix.ServiceState() == "RUNNING"), "the service is not running after the install")
    prefix.Control("stop")
    made = os.listdir(prefix.State()) if os.path.isdir(prefix.State()) else None
    Check(made == [], "the state folder after the install: %s (the package makes it empty)" % made)
    rc, output = prefix.Wine(cli, "status")
    Check(rc == 0 and output.startswith("no message is configured (no policy holds one and "
                                        "C:\\ProgramData\\vfdstartup\\message.conf is not there)"),
          "status with nothing configured: %d %s" % (rc, output))
    # What an apply said of the missing message (an earlier version's
    # service, or a console apply) is dropped at the next start.
    rc, _ = prefix.Wine(cli, "apply")
    Check(rc == 2 and prefix.Stamp("vfd-.last"), "a console apply with no message: %d" % rc)
    prefix.Service("start", "vfdstartup")
    Check(WaitFor(lambda: prefix.Stamp("vfd-.last") is None), "a start with nothing configured kept the failed apply")


# The folder gone while the service is stopped (as where it was never made):
# a message file delivered after the start is stored within a few seconds,
# and so is the next one.
def CheckDeliveredLater(prefix):
    print("--- a message file delivered after the start")
    prefix.Control("stop")
    shutil.rmtree(prefix.State())
    prefix.Control("start")
    os.makedirs(prefix.State(), exist_ok=True)  # unless the service's start made it
    for row0 in ("Delivered", "Delivered again"):
        prefix.WriteMessageFile(row0)
        Check(WaitFor(lambda: prefix.StoredRows() == (row0, "Replaced"), 20),
              "the file delivered later stored %s" % (prefix.StoredRows(),))
    os.remove(prefix.State("message.conf"))


def CheckService(prefix):
    print("--- the service")
    # Wine's sc has no qc: the service manager's own record of the service.
    config = prefix.Registry(ServiceKey).get("vfdstartup", {})
    # Windows Installer quotes the program's path; Wine's writes it as it is.
    Check(config.get("Start") == "0x2" and config.get("ObjectName") == "LocalSystem"
          and config.get("DisplayName") == "vfdstartup: customer display message" and config.get("Description")
          and config.get("ImagePath", "").replace('"', "") == "%svfdstartup-cli.exe service" % InstallDir,
          "the service's configuration: %s" % config)
    Check(WaitFor(lambda: prefix.ServiceState() == "RUNNING"), "the service is not running after the install")
    # A start stores the policy's message; a second start sends nothing; a
    # change of the policy while it runs stores the new message.
    prefix.Service("stop", "vfdstartup")
    Check(WaitFor(lambda: prefix.ServiceState() == "STOPPED"), "the service did not stop")
    SetPolicy(prefix, "Service")
    writes = prefix.EmulatorWrites()
    prefix.Service("start", "vfdstartup")
    Check(WaitFor(lambda: prefix.StoredRows() == ("Service", "Policy")), "the start stored %s" % (prefix.StoredRows(),))
    Check(prefix.EmulatorWrites() == writes + 1, "the start wrote %d records" % (prefix.EmulatorWrites() - writes))
    # A restart with a kept state that counts records one run and sends
    # nothing; its own writes in the folder it watches never wake it again.
    before = prefix.Stamp("vfd-COM3.last")
    prefix.Control("stop")
    prefix.Control("start")
    Check(WaitFor(lambda: prefix.Stamp("vfd-COM3.last") != before), "the restart recorded no run")
    recorded = prefix.Stamp("vfd-COM3.last")
    time.sleep(SettleSeconds + 3)  # nothing is to happen: a wake would have acted by now
    Check(prefix.Stamp("vfd-COM3.last") == recorded and prefix.EmulatorWrites() == writes + 1,
          "after a restart the service recorded a run again (or wrote the display)")
    SetPolicy(prefix, "Changed")
    Check(WaitFor(lambda: prefix.StoredRows() == ("Changed", "Policy")), "the change stored %s" % (prefix.StoredRows(),))
    Check(prefix.EmulatorWrites() == writes + 2, "the second start and the change wrote %d records, not 1"
          % (prefix.EmulatorWrites() - writes - 1))
    CheckValueByValue(prefix)
    # With no policy, the message file written while the service runs.
    prefix.Wine("reg", "delete", PolicyKey, "/f", "/reg:64")
    prefix.WriteMessageFile("From file")
    Check(WaitFor(lambda: prefix.StoredRows() == ("From file", "Replaced")),
          "the written file stored %s" % (prefix.StoredRows(),))
    os.remove(prefix.State("message.conf"))
    CheckStopDuringExchange(prefix)


# A policy written one value at a time, 3 s apart (a script, the role's
# policy mode, a refresh): stored once, whole, never Row0 new and Row1 old.
# Row0 alone on a new key is one error once the key is still: one failed
# run of apply with no port, recorded once.
def CheckValueByValue(prefix):
    writes = prefix.EmulatorWrites()
    prefix.SetValues(3000, "Row0=Settled", "Row1=Whole")
    Check(WaitFor(lambda: prefix.StoredRows() == ("Settled", "Whole")), "the policy stored %s" % (prefix.StoredRows(),))
    Check(prefix.EmulatorWrites() == writes + 1, "a policy written value by value was written %d times"
          % (prefix.EmulatorWrites() - writes))
    prefix.Wine("reg", "delete", PolicyKey, "/f", "/reg:64")
    prefix.SetValues(0, "Row0=Alone")
    Check(WaitFor(lambda: prefix.Stamp("vfd-.last") is not None), "Row0 alone: no failed run recorded")
    failed = prefix.Stamp("vfd-.last")
    with open(prefix.State("vfd-.last")) as last:
        said = last.read()
    time.sleep(SettleSeconds + 3)
    Check("outcome=bad_config" in said and "Row1: missing" in said and prefix.Stamp("vfd-.last") == failed,
          "Row0 alone: %s, recorded again: %s" % (said, prefix.Stamp("vfd-.last") != failed))
    prefix.Wine("reg", "delete", PolicyKey, "/f", "/reg:64")
    SetPolicy(prefix, "Changed")
    Check(WaitFor(lambda: prefix.Stamp("vfd-.last") is None), "a stored message kept the failed run")


# A folder other accounts may change receives nothing: no state, no last
# run, no metrics file, not even a temporary. Wine reads a directory's Unix
# mode as its rights: o+w shows as Everyone may change it. (Wine's installer
# ignores MsiLockPermissionsEx: a folder made so before the install stays so.)
def CheckRefusedFolder(prefix):
    print("--- a state folder other accounts may change")
    cli = InstallDir + "vfdstartup-cli.exe"
    evil = os.path.join(prefix.driveC, "ProgramData", "evil")
    os.mkdir(evil)
    os.chmod(evil, 0o777)
    rc, output = prefix.Wine(cli, "write", "--port", "COM3", "--row0", "Evil", "--state-dir", "C:\\ProgramData\\evil",
                             "--metrics-file", "C:\\ProgramData\\evil\\vfdstartup.prom")
    Check(rc == 5 and "Everyone may change it" in output and os.listdir(evil) == [],
          "a write with a state folder Everyone may change: %d %s, left %s" % (rc, output, os.listdir(evil)))
    shutil.rmtree(evil)
    # The service's own folder so made: its start writes nothing there.
    prefix.Control("stop")
    SetPolicy(prefix, "Refused")
    kept = {name: prefix.Stamp(name) for name in os.listdir(prefix.State())}
    os.chmod(prefix.State(), 0o777)
    prefix.Control("start")
    prefix.Control("stop")
    Check({name: prefix.Stamp(name) for name in os.listdir(prefix.State())} == kept,
          "the service wrote in a folder Everyone may change: %s" % os.listdir(prefix.State()))
    os.chmod(prefix.State(), 0o755)
    # A kept state another account may change (left in the folder before the
    # package took it back) proves nothing: the start writes what it claims.
    SetPolicy(prefix, "Stopped")  # what the kept state holds
    os.chmod(prefix.State("vfd-COM3.state"), 0o666)
    writes = prefix.EmulatorWrites()
    prefix.Control("start")
    Check(WaitFor(lambda: prefix.EmulatorWrites() == writes + 1), "a kept state Everyone may change was trusted")
    prefix.Wine("reg", "delete", PolicyKey, "/f", "/reg:64")


def Commands(prefix):
    with open(os.path.join(prefix.dir, "vfd-com3.log"), encoding="utf-8", errors="replace") as log:
        return re.findall(r'"event":"command","name":"(\w+)"', log.read())


# A stop request while the display answers slowly: the exchange under way
# ends as it would (the record stored, set-up mode left), then the service stops.
def CheckStopDuringExchange(prefix):
    prefix.Service("stop", "vfdstartup")
    Check(WaitFor(lambda: prefix.ServiceState() == "STOPPED"), "the service did not stop")
    SetPolicy(prefix, "Stopped")
    Check(Run([Rig, "control", "COM3", "reply-delay 1500"], env=prefix.env).returncode == 0, "no reply delay")
    before = len(Commands(prefix))
    prefix.Service("start", "vfdstartup")
    Check(WaitFor(lambda: "enter" in Commands(prefix)[before:]), "the start began no exchange")
    prefix.Service("stop", "vfdstartup")
    Check(WaitFor(lambda: prefix.ServiceState() == "STOPPED", 60), "the service did not stop")
    Check(Commands(prefix)[before:] == ["enter", "query", "write", "exit"] and prefix.StoredRows()[0] == "Stopped",
          "the stopped exchange: %s, stored %s" % (Commands(prefix)[before:], prefix.StoredRows()))
    Run([Rig, "control", "COM3", "reply-delay 0"], env=prefix.env)
    prefix.Wine("reg", "delete", PolicyKey, "/f", "/reg:64")
    prefix.Service("start", "vfdstartup")  # no message now: it touches no display
    Check(WaitFor(lambda: prefix.ServiceState() == "RUNNING"), "the service did not start again")


# Wine keeps no event log to read back: its record of each ReportEventW
# ("ReportEventW (source,TYPE,category,ID,...)", then one line per insert)
# shows the events an apply reports.
def CheckEvents(prefix):
    print("--- the Application log's events")
    cli = InstallDir + "vfdstartup-cli.exe"
    prefix.Service("stop", "vfdstartup")
    Check(WaitFor(lambda: prefix.ServiceState() == "STOPPED"), "the service did not stop")
    SetPolicy(prefix, "Events")
    prefix.Wine("reg", "add", PolicyKey, "/v", "Speed", "/d", "250ms", "/f", "/reg:64")
    rc, output = prefix.Wine(cli, "apply", debug="fixme+advapi,+eventlog")
    reported = re.findall(r"ReportEventW \(\w+,(0x\w+),0x\w+,(0x\w+),", output)
    Check(rc == 2 and reported == [("0x0001", "0x0000000f")]
          and "err:eventlog:ReportEventW L\"HKLM\\\\SOFTWARE\\\\Policies\\\\vfdstartup\\\\Speed: unknown speed '250ms'" in output,
          "a bad policy value's event (error, ID 15, naming the value): %d %s" % (rc, output))
    CheckInsertsStayText(prefix)
    SetPolicy(prefix, "Events")  # Speed 100ms again
    rc, output = prefix.Wine(cli, "apply", debug="fixme+advapi,+eventlog")
    reported = re.findall(r"ReportEventW \(\w+,(0x\w+),0x\w+,(0x\w+),", output)
    Check(rc == 0 and reported == [("0x0004", "0x00000001")] and 'ReportEventW L"stored on COM3"' in output
          and 'ReportEventW L"COM3"' in output and 'ReportEventW L"policy"' in output,
          "a stored message's event (information, ID 1, the port): %d %s" % (rc, output))
    rc, output = prefix.Wine(cli, "apply", "--validate", debug="fixme+advapi,+eventlog")
    Check(rc == 0 and "ReportEventW (" not in output, "apply --validate reported an event: %s" % output)
    prefix.Wine("reg", "delete", PolicyKey, "/f", "/reg:64")
    prefix.Service("start", "vfdstartup")
    Check(WaitFor(lambda: prefix.ServiceState() == "RUNNING"), "the service did not start again")


def Inserts(output):
    # Wine's record of each insert: L"..." with \\, \" and \XXXX (hex) escapes.
    escapes = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "t": "\t"}
    return [re.sub(r'\\([0-9a-f]{4}|.)', lambda m: chr(int(m.group(1), 16)) if len(m.group(1)) == 4
                   else escapes.get(m.group(1), m.group(1)), found)
            for found in re.findall(r'ReportEventW L"((?:[^"\\]|\\.)*)"', output)]


def ViewerText(message, inserts):
    # As an event viewer expands a message: %N and %%N (a parameter string),
    # again in what was inserted, until nothing changes (or ten rounds).
    for _ in range(10):
        expanded = re.sub(r"%%(\d+)", r"[parameter \1]", message)
        expanded = re.sub(r"%(\d+)", lambda m: inserts[int(m.group(1)) - 1] if 0 < int(m.group(1)) <= len(inserts)
                          else m.group(0), expanded)
        if expanded == message:
            break
        message = expanded
    return message.replace("\u2060", "")  # WORD JOINER: nothing to see


# Text from the terminal in an event (here a Speed value) is shown as typed,
# %1, %n and %%5 included, never expanded by the viewer.
def CheckInsertsStayText(prefix):
    typed = "%1%n%%5"
    prefix.Wine("reg", "add", PolicyKey, "/v", "Speed", "/d", typed, "/f", "/reg:64")
    rc, output = prefix.Wine(InstallDir + "vfdstartup-cli.exe", "apply", debug="fixme+advapi,+eventlog")
    table = MessageTable(os.path.join(prefix.driveC, "Program Files (x86)", "vfdstartup", "vfdstartup-cli.exe"))
    shown = ViewerText(table.get(15, ""), Inserts(output))
    Check(rc == 2 and "Speed: unknown speed '%s' (" % typed in shown and "[parameter" not in shown,
          "an event's text as a viewer shows it: %s" % shown)


def RunInstalledPrograms(prefix, build, work, folder):
    program = os.path.join(folder, "vfdstartup.exe")
    rc, output = prefix.Wine(InstallDir + "vfdstartup-cli.exe", "--version")
    Check(rc == 0 and output.strip() == ProgramVersion, "--version of the installed program: %d %r" % (rc, output))
    rc, output = prefix.Wine(InstallDir + "vfdstartup-cli.exe", "write", "--port", "COM3", "--row0", "Installed")
    Check(rc == 0, "a write with the installed program: %d %s" % (rc, output))
    # The end-to-end start-up case, pointed at the installed dialog.
    driver = os.path.join(build, "tests", "e2e", "vfd_e2e_driver.exe")
    # Its output to a file: if this test is stopped, the case still ends and takes its rig down.
    with open(os.path.join(work, "e2e.out"), "w+") as output:
        rc = subprocess.run(["bash", RunCase, "startup-configured-port", program, driver, os.path.join(work, "e2e")],
                            stdin=subprocess.DEVNULL, stdout=output, stderr=output).returncode
        output.seek(0)
        lines = output.read().strip().splitlines()
    if Check(rc == 0, "the installed dialog's start-up case:\n" + "\n".join(lines)):
        print("  " + lines[-1])


def WineCycle(build, work, signed, lower, higher, rebuilt):
    print("--- install, upgrade, downgrade, uninstall under Wine")
    prefix = Prefix()
    try:
        before = prefix.Files()
        Check(prefix.Msiexec("/i", WindowsPath(signed), "/qn") == 0, "install did not return 0")
        folder = os.path.join(prefix.driveC, "Program Files (x86)", "vfdstartup")
        installed = sorted(os.listdir(folder)) if os.path.isdir(folder) else []
        Check(installed == ["PolicyDefinitions", "README-Windows.txt", "vfdstartup-cli.exe", "vfdstartup.exe"],
              "installed: %s" % installed)
        templates = os.path.join(folder, "PolicyDefinitions")
        Check(os.path.isfile(os.path.join(templates, "vfdstartup.admx"))
              and os.path.isfile(os.path.join(templates, "en-US", "vfdstartup.adml")), "the templates are not installed")
        shortcut = "Microsoft/Windows/Start Menu/Programs/vfdstartup/vfdstartup.lnk"
        Check(any(f.endswith(shortcut) for f in prefix.Files()), "no Start-menu shortcut")
        CheckInstalled(prefix, signed, Current, True)
        CheckNothingConfigured(prefix)
        CheckDeliveredLater(prefix)
        CheckService(prefix)
        CheckRefusedFolder(prefix)
        CheckEvents(prefix)
        RunInstalledPrograms(prefix, build, work, folder)
        Check(prefix.Msiexec("/i", WindowsPath(higher), "/qn", "ADDTOPATH=0") == 0, "upgrade did not return 0")
        CheckInstalled(prefix, higher, Higher, False)
        Check(prefix.Msiexec("/i", WindowsPath(rebuilt), "/qn") == 0, "a rebuild of the same version did not return 0")
        CheckInstalled(prefix, rebuilt, Higher, True)
        Check(prefix.Msiexec("/i", WindowsPath(lower), "/qn") == 1603, "downgrade did not return 1603")
        CheckInstalled(prefix, rebuilt, Higher, True)
        Check(prefix.Msiexec("/x", ProductCode(rebuilt), "/qn") == 0, "uninstall did not return 0")
        # Windows Installer's own cache folder is always there on Windows.
        left = sorted(prefix.Files() - before - {"windows/Installer"})
        Check(left and all(f.startswith("ProgramData/vfdstartup") for f in left), "left after uninstall: %s" % left)
        Check(not prefix.Products() and not prefix.Registry(DetectionKey, "/reg:32") and not prefix.OnPath(),
              "the Add/Remove entry, the detection value or the PATH entry stayed")
        Check(not prefix.Registry(EventSourceKey), "the event source stayed: %s" % prefix.Registry(EventSourceKey))
        Check(prefix.ServiceState() is None, "the service stayed: %s" % prefix.Service("query", "vfdstartup"))
    finally:
        prefix.Down()


def Main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    fleet.StopOnSignals()  # so that the rig is taken down
    start = time.monotonic()
    build = os.path.abspath(sys.argv[1])
    work = tempfile.mkdtemp(prefix="vfd-msi-")
    cert = MakeCertificate(work)
    signed = Build(build, work, Current, "current.msi", Password)
    Build(build, work, Current, "wrong-password.msi", "not-" + Password)
    lower, higher = Build(build, work, Lower, "lower.msi"), Build(build, work, Higher, "higher.msi")
    rebuilt = Build(build, work, Higher, "higher-rebuilt.msi")
    refused = Run(["bash", BuildMsi, "--version", "1.0.0.3", "--out", work + "/x.msi"] + Inputs(build))
    Check(refused.returncode == 2, "a four-field product version was taken")
    if not Failures:
        print("msi test: the package holds %d bytes" % os.path.getsize(signed))
        CheckTables(signed)
        CheckSignatures(work, signed, cert)
        WineCycle(build, work, signed, lower, higher, rebuilt)
    print("msi test: %.0f s" % (time.monotonic() - start))
    return Conclude("msi test", work)


if __name__ == "__main__":
    sys.exit(Main())
