#!/usr/bin/python3
"""status and the metrics file, from outside: the kept states and last runs
of a state directory written out here as the program keeps them, status
--json against its schema (written out here, and the one the package ships),
its exit code, and the metrics file a run rewrites, read by promtool and by
python3-prometheus-client's parser, never seen half written; then what
Debian's node_exporter serves of it after each of a table of runs on
emulated displays, against status --json.

Usage: status_test.py VFDSTARTUP_CLI VFD_EMULATOR MODEM_LINES_FIXTURE
"""
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import urllib.request

import jsonschema
from prometheus_client.parser import text_string_to_metric_families

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../fleet"))
import fleet  # noqa: E402  (the emulated displays)

Cli, Emulator, ModemLines = sys.argv[1:4]
NodeExporter = "/usr/bin/prometheus-node-exporter"
Failures = []

# The schema of status --json: each key and its JSON type ("str?" may be
# null); a nested dict is an object, [x] an array of x.
Kept = {"counts": "bool", "rows": ["str"], "speed": "str?", "product_type": "str", "written_at": "int?",
        "command": "str?"}
LastRun = {"command": "str", "outcome": "str", "success": "bool", "reason": "str?", "detail": "str", "time": "int"}
Port = {"port": "str?", "device": "str?", "state_key": "str", "kept": ("obj?", Kept), "last_run": ("obj?", LastRun),
        "success": "bool", "problems": ["str"]}
Status = {"command": "str", "state_dir": "str", "success": "bool", "configured": "bool", "ports": [Port],
          "warnings": ["str"]}
# The JSON Schema the package ships holds every answer too.
with open(os.path.join(os.path.dirname(__file__), "../../docs/schemas/status.schema.json")) as shipped:
    ShippedStatus = jsonschema.Draft202012Validator(json.load(shipped))

# "Sale" / "Open 8-22" at 100ms per character, as 128 record bytes.
SaleRecord = ("11" + "53616C65" + "00" * 59 + "11" + "4F70656E20382D3232" + "00" * 54)


def Check(condition, what):
    if not condition:
        Failures.append(what)
        print("FAIL: " + what)


def Matches(value, schema, where):
    """Whether value has exactly the schema's keys and types."""
    if isinstance(schema, dict):
        Check(isinstance(value, dict) and sorted(value) == sorted(schema), f"{where}: keys {value!r}")
        for key in schema:
            if isinstance(value, dict) and key in value:
                Matches(value[key], schema[key], f"{where}.{key}")
    elif isinstance(schema, list):
        Check(isinstance(value, list), f"{where}: not an array")
        for i, item in enumerate(value or []):
            Matches(item, schema[0], f"{where}[{i}]")
    elif isinstance(schema, tuple):
        if value is not None:
            Matches(value, schema[1], where)
    else:
        if schema.endswith("?") and value is None:
            return
        kinds = {"str": str, "bool": bool, "int": int}
        kind = kinds[schema.rstrip("?")]
        Check(isinstance(value, kind) and (kind is bool or not isinstance(value, bool)), f"{where}: {value!r} is no {schema}")


def Write(path, text):
    with open(path, "w") as out:
        out.write(text)


def FileKey(key):
    """A key in a file name: every byte but letters, digits, -, _ and . as %XX."""
    return "".join(c if c.isascii() and (c.isalnum() or c in "-_.") else "%%%02X" % ord(c) for c in key)


def AttachmentOf(port):
    """What the program keeps of a port's attachment: the boot and the node."""
    if not os.path.exists(port):
        return "gone"
    with open("/proc/sys/kernel/random/boot_id") as boot:
        boot_id = boot.read().strip()
    node = os.stat(port)
    return (f"boot {boot_id} device {os.major(node.st_rdev)}:{os.minor(node.st_rdev)} node {node.st_dev}:{node.st_ino}"
            f" changed {node.st_ctime_ns // 10**9}.{node.st_ctime_ns % 10**9:09d}")


def KeepState(state_dir, key, port, attachment=None):
    attachment = AttachmentOf(port) if attachment is None else attachment
    Write(f"{state_dir}/vfd-{FileKey(key)}.state", f"device={key}\nport={port}\nproduct_type=CU20029T307A01 \n"
          f"record={SaleRecord}\nattachment={attachment}\nwritten_at=1765170000\ncommand=apply\n")


def KeepRun(state_dir, key, port, outcome, reason="none"):
    """A last run as the program keeps it: a backslash in a value doubled."""
    port = port.replace("\\", "\\\\")
    Write(f"{state_dir}/vfd-{FileKey(key)}.last", f"device={key}\nport={port}\ncommand=apply\noutcome={outcome}\n"
          f"reason={reason}\ndetail=what {outcome} says\ntime=1765170001\n")


def Run(*args):
    env = dict(os.environ, VFDSTARTUP_PORTS="", VFDSTARTUP_CONF="/nonexistent", VFDSTARTUP_METRICS_DIR="/nonexistent",
               LD_PRELOAD=ModemLines, ASAN_OPTIONS="verify_asan_link_order=0")
    return subprocess.run([Cli, *args], capture_output=True, text=True, env=env)


def StatusOf(state_dir, *args):
    run = Run("status", "--state-dir", state_dir, "--json", *args)
    status = json.loads(run.stdout)
    Matches(status, Status, "status")
    errors = [error.message for error in ShippedStatus.iter_errors(status)]
    Check(not errors, f"status.schema.json: {errors}")
    return run.returncode, status


def CheckStatus(work):
    state = f"{work}/state"
    os.makedirs(state)
    # Nothing kept: a failure while a message is configured, none while there is none.
    Write(f"{work}/message.conf", "row0 = Sale\n")
    code, status = StatusOf(state, "--config", f"{work}/message.conf")
    Check(code == 1 and status["ports"] == [] and status["success"] is False and status["configured"] is True,
          f"a message never stored: {code} {status}")
    code, status = StatusOf(state, "--config", f"{work}/none.conf")
    Check(code == 0 and status["ports"] == [] and status["success"] is True and status["configured"] is False,
          f"nothing configured, nothing kept: {code} {status}")
    human = Run("status", "--state-dir", state, "--config", f"{work}/none.conf")
    Check(human.returncode == 0 and human.stdout == f"no message is configured (no policy holds one and {work}/none.conf"
          f" is not there): nothing is known of any port in {state}\n", f"nothing configured, for a person: {human.stdout}")
    # A port that is a plain file here: its key is its whole path.
    port0 = os.path.realpath(f"{work}/ttyS0")
    Write(port0, "")
    KeepState(state, port0, port0)
    KeepRun(state, port0, port0, "stored")
    KeepState(state, "ttyS1", "/dev/ttyS1", "boot of another day")  # kept before last runs were recorded
    code, status = StatusOf(state)
    Check(code == 1 and [p["state_key"] for p in status["ports"]] == [port0, "ttyS1"], f"two ports: {code} {status}")
    first = status["ports"][0]
    Check(first["kept"] == {"counts": True, "rows": ["Sale", "Open 8-22"], "speed": "100ms",
                            "product_type": "CU20029T307A01 ", "written_at": 1765170000, "command": "apply"},
          f"the kept state: {first['kept']}")
    Check(first["last_run"] == {"command": "apply", "outcome": "stored", "success": True, "reason": None,
                                "detail": "what stored says", "time": 1765170001}, f"the last run: {first['last_run']}")
    Check(status["ports"][1]["kept"]["counts"] is False, f"a state of another attachment counts: {status['ports'][1]}")
    code, status = StatusOf(state, "--port", port0)
    Check(code == 0 and len(status["ports"]) == 1 and status["success"], f"--port of a stored port: {code} {status}")
    for outcome, code_wanted in (("unchanged", 0), ("no_answer", 1), ("open_failed", 1), ("state_error", 1)):
        KeepRun(state, "ttyS1", "/dev/ttyS1", outcome, "busy" if outcome == "open_failed" else "none")
        code, status = StatusOf(state)
        Check(code == code_wanted, f"ttyS0 stored, ttyS1 {outcome}: exit {code}")
    Write(f"{state}/vfd-ttyS1.last", "device=ttyS1\noutcome=stored\n")
    code, status = StatusOf(state)
    Check(code == 1 and status["ports"][1]["last_run"] is None and len(status["ports"][1]["problems"]) == 1,
          f"a damaged last run: {code} {status}")
    human = Run("status", "--state-dir", state, "--port", port0)
    Check(human.returncode == 0 and human.stdout.startswith(port0 + " (file ") and
          '  kept: "Sale" / "Open 8-22" at 100ms, stored 2025-12-08 05:00:00 UTC by apply (counts)\n' in human.stdout and
          "  last run: stored at 2025-12-08 05:00:01 UTC by apply: what stored says\n" in human.stdout,
          f"status for a person: {human.stdout}")
    for command in ("find", "status"):
        refused = Run(command, "--metrics-file", f"{work}/m.prom")
        Check(refused.returncode == 2, f"{command} took --metrics-file")


Outcomes = ("stored", "unchanged", "not_confirmed", "incompatible", "no_answer", "no_display", "open_failed",
            "io_error", "interrupted", "bad_config", "state_error")


def Families(text):
    return {family.name: family for family in text_string_to_metric_families(text)}


def CheckMetrics(work):
    state, metrics = f"{work}/mstate", f"{work}/metrics/vfdstartup.prom"
    os.makedirs(state)
    os.makedirs(os.path.dirname(metrics))
    for i, outcome in enumerate(Outcomes):
        KeepRun(state, f"port{i}", f'/dev/port{i} "a\\b"' if i else f'{work}/port0 "a\\b"', outcome)
    port0 = f"{work}/port0 \"a\\b\""
    Write(port0, "")
    KeepState(state, "port0", port0)
    KeepState(state, "port1", '/dev/port1 "a\\b"', "boot of another day")
    missing = f"{work}/missing-port"
    run = Run("write", "--port", missing, "--state-dir", state, "--metrics-file", metrics)
    Check(run.returncode == 3 and "warning" not in run.stderr, f"the run: {run.returncode} {run.stderr}")
    with open(metrics) as text:
        exposition = text.read()
    promtool = subprocess.run(["promtool", "check", "metrics"], input=exposition, capture_output=True, text=True)
    Check(promtool.returncode == 0, f"promtool: {promtool.stdout} {promtool.stderr}")
    families = Families(exposition)
    Check(sorted(families) == ["vfdstartup_last_outcome", "vfdstartup_last_run_timestamp_seconds",
                               "vfdstartup_message_kept"], f"families: {sorted(families)}")
    outcomes = {s.labels["port"]: s.labels["outcome"] for s in families["vfdstartup_last_outcome"].samples}
    # A port mistyped at a prompt is reported on the spot and kept nowhere.
    wanted = {f'/dev/port{i} "a\\b"' if i else port0: outcome for i, outcome in enumerate(Outcomes)}
    Check(outcomes == wanted, f"one outcome a port: {outcomes}")
    kept = {s.labels["port"]: s.value for s in families["vfdstartup_message_kept"].samples}
    Check(kept == {port: 1.0 if port == port0 else 0.0 for port in wanted}, f"kept: {kept}")
    # The file cannot be written: one warning; the outcome and exit code stand.
    blocked = Run("write", "--port", missing, "--state-dir", state, "--metrics-file", f"{work}/none/x.prom")
    Check(blocked.returncode == 3 and blocked.stderr.count("warning: metrics not written") == 1,
          f"an unwritable metrics file: {blocked.returncode} {blocked.stderr}")
    CheckWhole(state, metrics, missing)


def CheckWhole(state, metrics, missing):
    """A reader reading the file over and over while runs rewrite it never
    sees half of it."""
    done = threading.Event()
    reads = []

    def Reader():
        while not done.is_set():
            with open(metrics) as text:
                reads.append(text.read())

    reader = threading.Thread(target=Reader)
    reader.start()
    for _ in range(20):
        Run("write", "--port", missing, "--state-dir", state, "--metrics-file", metrics)
    done.set()
    reader.join()
    whole = [r for r in reads if r.endswith("\n") and len(Families(r)) == 3 and "vfdstartup_message_kept{" in r]
    Check(len(reads) > 0 and len(whole) == len(reads), f"{len(reads) - len(whole)} of {len(reads)} reads not whole")


MessageIds = {
    "stored": "8bb47087b923442dbcd113afa25173c0",
    "unchanged": "7b1b2b689be643f39a0e6b36e42a5edd",
    "not_confirmed": "44ba50bcf75e480a9ec00fbfbc350489",
    "incompatible": "b788082bd5eb476b9be0876c02dc53b0",
    "usage": "b093b0dc92fc4b48930f49ed97dbf14b",
    "refused": "4d30449832804764abdf21d2e26ff256",
    "no_answer": "982b026b8d6f4f90b26f9f087b2e0831",
    "no_display": "bd601b1007554098871357501334248c",
    "open_failed": "e54ff064a7c94d4da641a524ecbacbce",
    "io_error": "36911b185ed24673a1576ada820d1f67",
    "interrupted": "13a4af743af64847bb68cc579cb9f763",
    "left_alone": "d31284abff6a40c3ad2593fdf9f74906",
    "bad_config": "7e37aae5d20c40908fda74e774cbdc8f",
    "state_error": "6a240bf4c61844afb3a47d947e360d46",
}


def CheckCatalog(work, catalog):
    """The catalog explains each outcome's message id, and journalctl takes it."""
    with open(catalog) as text:
        ids = [line[3:].strip() for line in text if line.startswith("-- ")]
    Check(sorted(ids) == sorted(MessageIds.values()), f"the catalog's ids: {ids}")
    if shutil.which("journalctl") is None:
        print("status test: no journalctl; the catalog's index not built")
        return
    root = f"{work}/root"
    os.makedirs(f"{root}/usr/lib/systemd/catalog")
    os.makedirs(f"{root}/var/lib/systemd/catalog")
    shutil.copy(catalog, f"{root}/usr/lib/systemd/catalog/")
    update = subprocess.run(["journalctl", f"--root={root}", "--update-catalog"], capture_output=True, text=True)
    listed = subprocess.run(["journalctl", f"--root={root}", "--list-catalog"], capture_output=True, text=True)
    Check(update.returncode == 0 and sorted(line.split()[0] for line in listed.stdout.splitlines()) ==
          sorted(MessageIds.values()), f"journalctl's catalog: {update.stderr} {listed.stdout}")


def Scrape(url):
    try:
        with urllib.request.urlopen(url, timeout=5) as answer:
            return answer.read().decode()
    except OSError:
        return None


def StartExporter(directory, log):
    """node_exporter with only its text file collector, on directory and a
    free loopback port (tried again when another taker got it first)."""
    for _ in range(5):
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            address = "127.0.0.1:%d" % probe.getsockname()[1]
        process = subprocess.Popen([NodeExporter, "--web.listen-address=" + address, "--collector.disable-defaults",
                                    "--collector.textfile", "--collector.textfile.directory=" + directory],
                                   stdout=log, stderr=log, preexec_fn=fleet.EndWithParent)
        url = "http://%s/metrics" % address
        if fleet.WaitUntil(lambda: process.poll() is not None or Scrape(url) is not None) and process.poll() is None:
            return process, url
    return process, url


def Served(text):
    """Each of the program's series node_exporter serves, and its scrape
    error gauge."""
    served, errors = {}, []
    for family in Families(text).values():
        for sample in family.samples:
            if family.name == "node_textfile_scrape_error":
                errors.append(sample.value)
            elif family.name.startswith("vfdstartup_"):
                served[(family.name,) + tuple(sorted(sample.labels.items()))] = sample.value
    return served, errors


def FromStatus(status):
    """The same series as status --json gives them."""
    wanted = {}
    for port in status["ports"]:
        name, run, kept = port["port"], port["last_run"], port["kept"]
        if run:
            wanted[("vfdstartup_last_run_timestamp_seconds", ("port", name))] = float(run["time"])
            wanted[("vfdstartup_last_outcome", ("outcome", run["outcome"]), ("port", name))] = 1.0
        if port["state_key"]:
            wanted[("vfdstartup_message_kept", ("port", name))] = float(bool(kept and kept["counts"]))
    return wanted


def CheckNodeExporter(work):
    """After each run, node_exporter serves what status --json says, one
    series per port: no scrape error, nothing "collected before"."""
    state, metrics = f"{work}/nstate", f"{work}/textfile"
    os.makedirs(metrics)
    displays = {name: fleet.Terminal(work, name) for name in ("a", "b", "c")}
    link_a, link_b = displays["a"].link, f"{work}/display-b"
    conf = f"{work}/message.conf"
    Write(conf, f"row0 = Sale\nrow1 = Open 8-22\nspeed = 100ms\nport = {link_b}\n")
    common = ("--state-dir", state, "--metrics-file", f"{metrics}/vfdstartup.prom")

    def Start(name, link):
        displays[name].link = link
        displays[name].Start(Emulator)
        return fleet.WaitUntil(lambda: '"event":"start"' in fleet.TextOf(displays[name].log))

    rows = (
        ("stored", lambda: Start("a", link_a), ("write", "--port", link_a), {link_a: "stored"}),
        ("failed", lambda: displays["a"].Control("mode silent"), ("write", "--port", link_a),
         {link_a: "no_answer"}),
        ("named before it is plugged in", lambda: True, ("apply", "--config", conf),
         {link_a: "no_answer", link_b: "open_failed"}),
        ("plugged in", lambda: Start("b", link_b), ("apply", "--config", conf), {link_a: "no_answer", link_b: "stored"}),
        ("one name, two devices", lambda: displays["b"].Stop() or Start("c", link_b), ("apply", "--config", conf),
         {link_a: "no_answer", link_b: "stored"}),
        ("forgotten", lambda: True, ("forget", "--port", link_a), {link_b: "stored"}),
    )
    log = open(f"{work}/node-exporter.log", "w")
    exporter, url = StartExporter(metrics, log)
    try:
        for what, world, args, shown in rows:
            Check(world() is not False, f"{what}: the display did not start")
            run = Run(*args, *common)
            _, status = StatusOf(state)
            outcomes = {port["port"]: port["last_run"]["outcome"] for port in status["ports"] if port["last_run"]}
            Check(outcomes == shown and len(status["ports"]) == len(shown),
                  f"{what}: status shows {status['ports']} ({run.stderr})")
            served, errors = Served(Scrape(url) or "")
            said = fleet.TextOf(log.name)
            Check(served == FromStatus(status) and errors == [0.0] and "collected before" not in said and
                  "level=error" not in said, f"{what}: node_exporter serves {served}, {errors}\n{said}")
    finally:
        exporter.terminate()
        exporter.wait()
        log.close()
        for display in displays.values():
            display.Stop()


def main():
    work = tempfile.mkdtemp(prefix="vfd-status-test-")
    try:
        CheckStatus(work)
        CheckMetrics(work)
        CheckNodeExporter(work)
        CheckCatalog(work, os.path.join(os.path.dirname(os.path.abspath(__file__)), "../../deploy/systemd/vfdstartup.catalog"))
    finally:
        shutil.rmtree(work)
    print("status test: " + ("FAILED" if Failures else "passed"))
    return 1 if Failures else 0


if __name__ == "__main__":
    sys.exit(main())
