#!/usr/bin/env python3
"""Side-by-side benchmark of the VIVOE MIB Server against two peers on loopback.

Starts, in one run, the agent, Net-SNMP's snmpd (private configuration, a few
modules, about as many objects as the agent) and snmpsim serving a recording
of the agent's own walk, then measures each with the compiled load client
(bench/bench_client.cpp) and prints one Markdown table with the ratios
agent/peer and the targets. Not a test: the exit status does not depend on
the targets, only on whether the agent could be measured at all.

Usage: python3 bench/run_benchmark.py --build build   (or `make bench`)
"""

import argparse
import collections
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

AGENT_ROOT = "1.3.6.1.4.1.35990"
AGENT_PROBE_OID = "1.3.6.1.4.1.35990.3.1.1.1.0"
COMMUNITY = "maplet"  # also the recording's file name, which snmpsim takes as community

# system, snmp and the SNMPv3 framework groups: about 100 objects under
# 1.3.6.1, machine-independent (no interface or process tables).
SNMPD_MODULES = "system_mib,sysORTable,snmp_mib,vacm_conf,vacm_vars,usmStats,snmpEngine,snmpMPDStats"
SNMPD_ROOT = "1.3.6.1"
SNMPD_PROBE_OID = "1.3.6.1.2.1.1.1.0"

START_TIMEOUT_S = 15.0
# taskset CPU lists for the servers and the load client; empty: unpinned.
SERVER_CPUS, CLIENT_CPUS = [], []
STOP_TIMEOUT_S = 5.0


@dataclass
class Peer:
    name: str
    port: int
    root: str
    probe_oid: str
    process: subprocess.Popen = None
    oids_file: str = ""
    log_path: str = ""
    failure: str = ""
    figures: dict = field(default_factory=dict)


class Interrupted(Exception):
    pass


def parse_arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build", help="CMake build directory (default: build)")
    parser.add_argument("--rounds", type=int, default=5, help="interleaved rounds over the three peers")
    parser.add_argument("--load-seconds", type=float, default=3.0, help="GET load per client count, all rounds")
    parser.add_argument("--walk-seconds", type=float, default=2.0, help="repeated walks of one kind, all rounds")
    parser.add_argument("--idle-seconds", type=float, default=10.0, help="idle CPU sampling window")
    parser.add_argument("--bulk-repetitions", type=int, default=10, help="GETBULK max-repetitions")
    parser.add_argument("--no-pin", action="store_true",
                        help="let the scheduler place servers and client (default: servers on the last CPU, "
                             "the client on the others)")
    args = parser.parse_args()
    # Where the scheduler puts client and server moves a round trip between two
    # figures; pinned, every peer is measured in the same placement.
    if not args.no_pin and len(os.sched_getaffinity(0)) >= 2:
        cpus = sorted(os.sched_getaffinity(0))
        SERVER_CPUS[:] = [str(cpus[-1])]
        CLIENT_CPUS[:] = [",".join(map(str, cpus[:-1]))]
    # keep a mistyped value from turning the run into an hour
    args.rounds = min(max(args.rounds, 1), 10)
    args.load_seconds = min(max(args.load_seconds, 0.3), 60.0)
    args.walk_seconds = min(max(args.walk_seconds, 0.3), 60.0)
    args.idle_seconds = min(max(args.idle_seconds, 1.0), 60.0)
    args.bulk_repetitions = min(max(args.bulk_repetitions, 1), 100)
    return args


def free_udp_ports(count):
    sockets = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(count)]
    try:
        for s in sockets:
            s.bind(("127.0.0.1", 0))
        return [s.getsockname()[1] for s in sockets]
    finally:
        for s in sockets:
            s.close()


def cpu_seconds(pid):
    # schedstat counts run time in nanoseconds; utime+stime in 10 ms ticks
    # would quantise an idle figure of about 1% into 0% or 1%.
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/schedstat") as f:
            total += int(f.read().split()[0])
    return total / 1e9


def context_switches(pid):
    """Voluntary and involuntary switches of all threads: an idle process
    switches once per wake-up."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        with open(f"/proc/{pid}/task/{task}/status") as f:
            total += sum(int(line.split()[1]) for line in f if "ctxt_switches:" in line)
    return total


def memory_kib(pid, field_name):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith(field_name + ":"):
                return int(line.split()[1])
    return 0


def alive(peer):
    return peer.process is not None and peer.process.poll() is None


def stop(process):
    if process is None or process.poll() is not None:
        return
    process.send_signal(signal.SIGTERM)
    try:
        process.wait(timeout=STOP_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait(timeout=STOP_TIMEOUT_S)


def pinned(cpus, command):
    return ["taskset", "-c", cpus[0], *command] if cpus else command


def run_client(client, mode, peer, *arguments, budget):
    command = pinned(CLIENT_CPUS, [client, mode, "--target", f"127.0.0.1:{peer.port}", "--community", COMMUNITY,
                                   *map(str, arguments)])
    try:
        done = subprocess.run(command, capture_output=True, text=True, timeout=budget + 30)
    except subprocess.TimeoutExpired:
        return None
    try:
        return json.loads(done.stdout.strip().splitlines()[-1])
    except (IndexError, ValueError):
        return None


def wait_for_line(path, text, process):
    deadline = time.monotonic() + START_TIMEOUT_S
    while time.monotonic() < deadline and process.poll() is None:
        with open(path, errors="replace") as f:
            if text in f.read():
                return True
        time.sleep(0.05)
    return False


def start_agent(binary, peer, workdir):
    home = os.path.join(workdir, "agent-home")
    os.makedirs(home)
    env = dict(os.environ, HOME=home, STATE_DIRECTORY=os.path.join(home, "state"))
    peer.log_path = os.path.join(workdir, "agent.log")
    with open(peer.log_path, "w") as log:
        peer.process = subprocess.Popen(pinned(SERVER_CPUS, [binary, "--port", str(peer.port)]), env=env,
                                        stdin=subprocess.DEVNULL,
                                        stdout=log, stderr=log, start_new_session=True)
    if not wait_for_line(peer.log_path, "VIVOE MIB Server started successfully", peer.process):
        peer.failure = "did not start: " + tail(peer.log_path)


def start_snmpd(peer, workdir):
    home = os.path.join(workdir, "snmpd")
    os.makedirs(os.path.join(home, "persist"))
    config = os.path.join(home, "snmpd.conf")
    with open(config, "w") as f:
        # the agent does not log each request either
        f.write(f"rocommunity {COMMUNITY} 127.0.0.1\ndontLogTCPWrappersConnects yes\n")
    # MIBS empty like Debian's /etc/snmp/snmp.conf ("mibs :"), which the agent
    # reads and -C makes snmpd skip
    env = dict(os.environ, SNMP_PERSISTENT_DIR=os.path.join(home, "persist"), SNMPCONFPATH=home, MIBS="")
    command = ["/usr/sbin/snmpd", "-f", "-Lf", "/dev/null", "-C", "-c", config, "-I", SNMPD_MODULES,
               f"udp:127.0.0.1:{peer.port}"]
    peer.log_path = os.path.join(home, "stderr.log")
    with open(peer.log_path, "w") as log:
        peer.process = subprocess.Popen(pinned(SERVER_CPUS, command), env=env, stdin=subprocess.DEVNULL, stdout=log,
                                        stderr=log, start_new_session=True)


def launch_snmpsim(workdir, recording, endpoints, log_path, cpus=(), open_files=None):
    """snmpsim in one process serving the recording on every endpoint (address:port),
    with open_files descriptors allowed when given."""
    # snmpsim refuses root: then it runs as nobody, in a directory nobody owns
    home = os.path.join(workdir, "snmpsim")
    data = os.path.join(home, "data")
    cache = os.path.join(home, "cache")
    os.makedirs(data)
    os.makedirs(cache)
    shutil.copy(recording, os.path.join(data, COMMUNITY + ".snmprec"))
    command = []
    if os.geteuid() == 0:
        for path in (home, data, cache, os.path.join(data, COMMUNITY + ".snmprec")):
            os.chown(path, 65534, 65534)
        command = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"]
    # --v2c-arch is snmpsim's faster v1/v2c-only engine: the stricter comparison
    if open_files:
        command += ["prlimit", f"--nofile={open_files}", "--"]
    command += ["env", f"HOME={home}", "snmpsimd", f"--data-dir={data}", f"--cache-dir={cache}",
                *(f"--agent-udpv4-endpoint={endpoint}" for endpoint in endpoints), "--logging-method=null",
                "--v2c-arch"]
    with open(log_path, "w") as log:
        return subprocess.Popen(pinned(cpus, command), cwd=home, stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                                start_new_session=True)


def start_snmpsim(peer, workdir, recording):
    peer.log_path = os.path.join(workdir, "snmpsim.log")
    peer.process = launch_snmpsim(workdir, recording, [f"127.0.0.1:{peer.port}"], peer.log_path, SERVER_CPUS)


def start_peer(start, peer, *arguments):
    try:
        start(peer, *arguments)
    except OSError as error:
        peer.failure = f"could not be started ({error})"


def tail(path):
    try:
        with open(path, errors="replace") as f:
            lines = [line.strip() for line in f if line.strip()]
        return " | ".join(lines[-3:])
    except OSError:
        return "(no log)"


def await_ready(client, peer):
    deadline = time.monotonic() + START_TIMEOUT_S
    while not peer.failure and time.monotonic() < deadline:
        if not alive(peer):
            peer.failure = "exited: " + tail(peer.log_path)
            return
        answer = run_client(client, "probe", peer, "--oid", peer.probe_oid, "--seconds", 1, budget=1)
        if answer and answer.get("ok"):
            return
    peer.failure = peer.failure or "did not answer within %.0f s" % START_TIMEOUT_S


def record_walk(client, peer, path):
    result = run_client(client, "walk", peer, "--root", peer.root, "--repeat", 1, "--seconds", 30,
                        "--record", path, budget=30)
    if not result or not result.get("ok"):
        peer.failure = peer.failure or "failed its first walk"
        return
    peer.oids_file = path


def measure_walks(client, peer, args, rounds):
    budget = args.walk_seconds / args.rounds
    for key, repetitions in (("walk", 0), ("bulk", args.bulk_repetitions)):
        result = run_client(client, "walk", peer, "--root", peer.root, "--bulk", repetitions, "--repeat", 500,
                            "--seconds", budget, budget=budget)
        if result and result.get("ok"):
            rounds[key + "_ms"].append(result["median_s"] * 1e3)
            rounds["objects"].append(result["objects"])
            if key == "walk":
                rounds["walk_us_per_object"].append(result["median_s"] * 1e6 / max(1, result["objects"]))


def measure_load(client, peer, clients, args, rounds):
    seconds = args.load_seconds / args.rounds
    pid = peer.process.pid
    cpu_before = cpu_seconds(pid)
    result = run_client(client, "load", peer, "--oids", peer.oids_file, "--clients", clients,
                        "--seconds", seconds, budget=seconds)
    server_cpu_s = cpu_seconds(pid) - cpu_before if alive(peer) else 0.0
    if not result or not result.get("ok"):
        return
    suffix = f"_{clients}c"
    rounds["p50_us" + suffix].append(result["p50_us"])
    rounds["p99_us" + suffix].append(result["p99_us"])
    for key, value in (("answered", result["answered"]), ("failed", result["timeouts"] + result["errors"]),
                       ("wall_s", result["wall_s"]), ("server_cpu_s", server_cpu_s),
                       ("client_cpu_s", result["client_cpu_s"])):
        rounds[key + suffix].append(value)


def summarize(peer, rounds):
    for key in ("objects", "walk_ms", "walk_us_per_object", "bulk_ms", "p50_us_1c", "p99_us_1c", "p50_us_4c",
                "p99_us_4c"):
        if rounds[key]:
            peer.figures[key] = statistics.median(rounds[key])
    for suffix in ("_1c", "_4c"):
        wall, answered = sum(rounds["wall_s" + suffix]), sum(rounds["answered" + suffix])
        if wall <= 0 or answered <= 0:
            continue
        peer.figures["rate" + suffix] = answered / wall
        peer.figures["failed" + suffix] = sum(rounds["failed" + suffix])
        for who in ("server", "client"):
            cpu = sum(rounds[f"{who}_cpu_s{suffix}"])
            peer.figures[f"{who}_cores{suffix}"] = cpu / wall
            peer.figures[f"{who}_us_per_req{suffix}"] = cpu * 1e6 / answered


# Rounds interleave the peers, so that a burst of other work on the machine
# weighs on all three alike instead of on whichever ran at that moment.
def measure(client, peers, args):
    rounds = {p.name: collections.defaultdict(list) for p in peers}
    for number in range(1, args.rounds + 1):
        for p in peers:
            if not p.failure and not alive(p):
                p.failure = "exited during the run: " + tail(p.log_path)
                print(f"warning: {p.name} {p.failure}", file=sys.stderr, flush=True)
            if p.failure:
                continue
            print(f"round {number}/{args.rounds}: {p.name} on 127.0.0.1:{p.port}", file=sys.stderr, flush=True)
            measure_walks(client, p, args, rounds[p.name])
            measure_load(client, p, 1, args, rounds[p.name])
            measure_load(client, p, 4, args, rounds[p.name])
    for p in peers:
        summarize(p, rounds[p.name])


def measure_idle_and_rss(peers, seconds):
    running = [p for p in peers if alive(p)]
    time.sleep(1.0)  # let the last load's stragglers drain
    before = {p.name: (cpu_seconds(p.process.pid), context_switches(p.process.pid)) for p in running}
    start = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    for p in running:
        if alive(p):
            p.figures["idle_cpu_pct"] = 100.0 * (cpu_seconds(p.process.pid) - before[p.name][0]) / elapsed
            p.figures["idle_wakeups"] = (context_switches(p.process.pid) - before[p.name][1]) / elapsed
            p.figures["rss_mib"] = memory_kib(p.process.pid, "VmRSS") / 1024.0
            p.figures["rss_anon_mib"] = memory_kib(p.process.pid, "RssAnon") / 1024.0


ROWS = [
    # (key, label, format, lower is better)
    ("objects", "objects in the walked subtree", "{:.0f}", None),
    ("walk_ms", "GETNEXT walk, median (ms)", "{:.2f}", True),
    ("walk_us_per_object", "GETNEXT walk per object (µs)", "{:.1f}", True),
    ("bulk_ms", "GETBULK walk, median (ms)", "{:.2f}", True),
    ("p50_us_1c", "GET latency p50 (µs)", "{:.0f}", True),
    ("p99_us_1c", "GET latency p99 (µs)", "{:.0f}", True),
    ("rate_1c", "GET throughput, 1 client (req/s)", "{:.0f}", False),
    ("rate_4c", "GET throughput, 4 clients (req/s)", "{:.0f}", False),
    ("server_cores_4c", "server CPU under 4 clients (cores)", "{:.2f}", None),
    ("server_us_per_req_4c", "server CPU per request, 4 clients (µs)", "{:.1f}", None),
    ("client_cores_4c", "load client CPU, 4 clients (cores)", "{:.2f}", None),
    ("client_us_per_req_4c", "load client CPU per request, 4 clients (µs)", "{:.1f}", None),
    ("idle_cpu_pct", "idle CPU (% of one core)", "{:.2f}", True),
    ("idle_wakeups", "idle wake-ups per second", "{:.1f}", True),
    ("rss_mib", "RSS (MiB)", "{:.1f}", True),
    ("rss_anon_mib", "of which anonymous, not shared library pages (MiB)", "{:.2f}", True),
]

SPEED_FIGURES = [("walk_us_per_object", "walk"), ("bulk_ms", "bulk walk"), ("p50_us_1c", "p50"),
                 ("p99_us_1c", "p99"), ("rate_1c", "1 client"), ("rate_4c", "4 clients")]


def ratio(agent, peer, key):
    a, p = agent.figures.get(key), peer.figures.get(key)
    if a is None or p is None or p == 0:
        return None
    return a / p


def cell(value, fmt):
    return "n/a" if value is None else fmt.format(value)


def print_table(agent, snmpd, snmpsim, args):
    print("| Figure | agent | snmpd | snmpsim | agent/snmpd | agent/snmpsim |")
    print("|---|---:|---:|---:|---:|---:|")
    for key, label, fmt, lower in ROWS:
        if key == "bulk_ms":
            label = f"GETBULK walk (max-repetitions {args.bulk_repetitions}), median (ms)"
        values = [cell(p.figures.get(key), fmt) for p in (agent, snmpd, snmpsim)]
        ratios = [cell(ratio(agent, p, key), "{:.2f}") if lower is not None else "" for p in (snmpd, snmpsim)]
        print(f"| {label} | " + " | ".join(values + ratios) + " |")


def verdict(ok):
    return "n/a " if ok is None else ("PASS" if ok else "FAIL")


def better(agent, peer, key):
    lower_is_better = next(row[3] for row in ROWS if row[0] == key)
    r = ratio(agent, peer, key)
    if r is None:
        return None
    return r < 1.0 if lower_is_better else r > 1.0


def print_targets(agent, snmpd, snmpsim):
    walk = ratio(agent, snmpd, "walk_us_per_object")
    rate = ratio(agent, snmpd, "rate_4c")
    idle = agent.figures.get("idle_cpu_pct")
    wakeups = agent.figures.get("idle_wakeups")
    rss = ratio(agent, snmpd, "rss_mib")
    anon = ratio(agent, snmpd, "rss_anon_mib")
    speed = [better(agent, snmpsim, key) for key, _ in SPEED_FIGURES]
    lost = [name for (_, name), ok in zip(SPEED_FIGURES, speed) if ok is False]
    speed_ok = None if None in speed else not lost
    lines = [
        (None if walk is None else walk <= 1.0, "GETNEXT walk per object <= snmpd's", walk, "x"),
        (None if rate is None else rate >= 1.0, "GET throughput with 4 clients >= snmpd's", rate, "x"),
        (None if idle is None else idle <= 1.0, "idle CPU <= 1% of one core", idle, "%"),
        (None if wakeups is None else wakeups <= 2.0, "idle wake-ups <= 2 per second", wakeups, "/s"),
        (None if anon is None else anon <= 1.3, "anonymous memory <= 1.3 x snmpd's", anon, "x"),
        (None if rss is None else rss <= 1.5, "RSS <= 1.5 x snmpd's", rss, "x"),
    ]
    print("\nTargets:")
    for ok, text, value, unit in lines:
        print(f"  {verdict(ok)}  {text}: {cell(value, '{:.2f}')}{unit if value is not None else ''}")
    print(f"  {verdict(speed_ok)}  faster than snmpsim on walk, bulk walk, p50, p99, 1 and 4 clients"
          + (f" (slower on: {', '.join(lost)})" if lost else ""))


def print_client_check(peers):
    print("\nLoad client check (4 clients):")
    for p in peers:
        client, server = p.figures.get("client_us_per_req_4c"), p.figures.get("server_us_per_req_4c")
        if client is None or server is None:
            continue
        if server <= 0:
            verdict_text = "server CPU below the /proc tick resolution"
        else:
            verdict_text = "not the bottleneck" if client < server else "possibly the bottleneck"
        failed = p.figures.get("failed_4c", 0) + p.figures.get("failed_1c", 0)
        print(f"  {p.name}: client {client:.1f} µs CPU per request vs server {server:.1f} µs: {verdict_text}"
              + (f"; {failed} requests timed out or failed" if failed else ""))


def describe_build(agent_binary):
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        head = subprocess.run(["git", "-C", root, "rev-parse", "--short", "HEAD"], capture_output=True,
                              text=True, timeout=10).stdout.strip()
        dirty = subprocess.run(["git", "--no-optional-locks", "-C", root, "status", "--porcelain",
                                "--untracked-files=no"],
                               capture_output=True, text=True, timeout=10).stdout.strip()
    except (OSError, subprocess.TimeoutExpired):
        head, dirty = "", ""
    built = time.strftime("%Y-%m-%d %H:%M", time.localtime(os.path.getmtime(agent_binary)))
    source = f"checkout at {head}{' with uncommitted changes' if dirty else ''}" if head else "no git checkout"
    load = os.getloadavg()[0]
    return f"{agent_binary} (built {built}, {source}); {os.cpu_count()} cores, load average {load:.1f} at the end"


# Starts the three side by side; snmpsim needs the agent's walk first. False
# when the agent itself cannot be measured; a peer that fails keeps a note.
def start_all(agent_binary, client, workdir, peers):
    agent, snmpd, snmpsim = peers
    start_agent(agent_binary, agent, workdir)
    start_peer(start_snmpd, snmpd, workdir)
    await_ready(client, agent)
    recording = os.path.join(workdir, "agent.snmprec")
    if not agent.failure:
        record_walk(client, agent, recording)
    if agent.failure:
        print(f"error: the agent {agent.failure}", file=sys.stderr, flush=True)
        return False
    start_peer(start_snmpsim, snmpsim, workdir, recording)
    snmpsim.oids_file = recording
    await_ready(client, snmpd)
    if not snmpd.failure:
        record_walk(client, snmpd, os.path.join(workdir, "snmpd.snmprec"))
    await_ready(client, snmpsim)
    for p in peers:
        if p.failure:
            print(f"warning: {p.name} {p.failure}; its column stays empty", file=sys.stderr, flush=True)
    return True


def report(agent_binary, peers, args):
    agent, snmpd, snmpsim = peers
    print(f"\nAgent: {describe_build(agent_binary)}")
    print(f"snmpd: -I {SNMPD_MODULES}, walked from {SNMPD_ROOT}; "
          "snmpsim: --v2c-arch, serving the agent's walk recorded in this run\n")
    print_table(agent, snmpd, snmpsim, args)
    print_targets(agent, snmpd, snmpsim)
    print_client_check(peers)


def benchmark(args, agent_binary, client, workdir):
    ports = free_udp_ports(3)
    peers = [Peer("agent", ports[0], AGENT_ROOT, AGENT_PROBE_OID),
             Peer("snmpd", ports[1], SNMPD_ROOT, SNMPD_PROBE_OID),
             Peer("snmpsim", ports[2], AGENT_ROOT, AGENT_PROBE_OID)]
    try:
        if not start_all(agent_binary, client, workdir, peers):
            return 1
        measure(client, peers, args)
        print(f"idle CPU and RSS over {args.idle_seconds:.0f} s ...", file=sys.stderr, flush=True)
        measure_idle_and_rss([p for p in peers if not p.failure], args.idle_seconds)
    finally:
        handle_stop_signals(signal.SIG_IGN)  # a second Ctrl+C must not orphan a peer
        for p in peers:
            stop(p.process)
        handle_stop_signals(raise_interrupted)
    report(agent_binary, peers, args)
    return 0


def raise_interrupted(signum, frame):
    raise Interrupted()


def handle_stop_signals(handler):
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, handler)


def main():
    args = parse_arguments()
    agent_binary = os.path.abspath(os.path.join(args.build, "src", "vivoe-mib-server"))
    client = os.path.abspath(os.path.join(args.build, "bench", "vivoe-bench-client"))
    for path in (agent_binary, client):
        if not os.access(path, os.X_OK):
            print(f"error: {path} is missing; run `make bench`", file=sys.stderr, flush=True)
            return 1
    # also when started in the background, where SIGINT comes in ignored
    handle_stop_signals(raise_interrupted)
    workdir = tempfile.mkdtemp(prefix="vivoe-bench-")
    os.chmod(workdir, 0o755)  # snmpsim, running as nobody, reads below it
    try:
        return benchmark(args, agent_binary, client, workdir)
    except Interrupted:
        print("interrupted; all started processes stopped", file=sys.stderr, flush=True)
        return 130
    finally:
        shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
