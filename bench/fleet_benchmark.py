#!/usr/bin/env python3
"""Fleet figures: agents on one host, one per simulated device, each on an
address of its own (127.0.0.2, 127.0.0.3, ...) and one port. In one run:

1. N agents (--agents), each with a profile of its own, started together: the
   time until every one answers with its own deviceDesc, one walk of each (with
   the compiled load client), and their total private memory.
2. 100 idle agents beside snmpsim serving the same 100 addresses from one
   process (on another port): CPU and wake-ups of each side over the same
   10 s, and their private memory.
3. 300 agents started at once: the time until every one answers.
4. 1,000 devices (--devices) three ways, one after the other: one fleet file
   (--fleet), as many separate agents, and snmpsim serving as many endpoints
   from one process: the time until all answer, private memory per device,
   idle CPU over 20 s, a GET round over all devices with 8 workers, and the
   time to stop them all.

Not a test: the targets are printed, the exit status does not depend on them.

Usage: python3 bench/fleet_benchmark.py --build build [--agents 50] [--devices 1000]   (or `make bench`)
"""

import argparse
import json
import os
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from ipaddress import IPv4Address

from pyasn1.codec.ber import decoder, encoder
from pysnmp.proto import api

from run_benchmark import COMMUNITY, context_switches, cpu_seconds, free_udp_ports, launch_snmpsim, memory_kib, stop

V2C = api.protoModules[api.protoVersion2c]
DEVICE_DESC = "1.3.6.1.4.1.35990.3.1.1.1.0"
START_TIMEOUT_S = 60.0
IDLE_AGENTS, IDLE_SECONDS, CROWD = 100, 10.0, 300
IDLE_CPU_TARGET_PCT, IDLE_START_TARGET_S, CROWD_START_TARGET_S = 3.0, 5.0, 10.0
LARGE_IDLE_SECONDS, GET_WORKERS, GET_ROUNDS, LARGE_START_TIMEOUT_S = 20.0, 8, 3, 300.0
FLEET_START_TARGET_S, FLEET_PRIVATE_TARGET_KIB = 3.0, 600.0


def get_request(oid):
    pdu = V2C.GetRequestPDU()
    V2C.apiPDU.setDefaults(pdu)
    V2C.apiPDU.setVarBinds(pdu, [(oid, V2C.Null(""))])
    message = V2C.Message()
    V2C.apiMessage.setDefaults(message)
    V2C.apiMessage.setCommunity(message, COMMUNITY)
    V2C.apiMessage.setPDU(message, pdu)
    return encoder.encode(message)


def address(k):
    """The k-th device's address: 127.0.0.2-251, then 127.0.1.2-251, ..."""
    return "127.0.%d.%d" % (k // 250, k % 250 + 2)


def span(count):
    last = address(count - 1)
    return "%s-%s" % (address(0), last.rsplit(".", 1)[1] if count <= 250 else last)


def device_desc(k):
    return "Fleet camera %d" % (k + 1)


def start_fleet(binary, count, port, workdir, addresses=None):
    """Agents started together; returns the moment, their processes and {address: deviceDesc}."""
    addresses = addresses or [address(k) for k in range(count)]
    profile = json.loads(subprocess.run([binary, "--print-profile"], capture_output=True, check=True).stdout)
    homes = []
    for k in range(count):
        home = tempfile.mkdtemp(prefix="agent%d-" % k, dir=workdir)
        profile["deviceDesc"] = device_desc(k)
        with open(os.path.join(home, "device.json"), "w") as f:
            json.dump(profile, f)
        homes.append(home)
    started = time.monotonic()
    processes = [subprocess.Popen([binary, "--address", addresses[k], "--port", str(port),
                                   "--profile", home + "/device.json"],
                                  env=dict(os.environ, HOME=home, STATE_DIRECTORY=home + "/state"),
                                  stdout=subprocess.DEVNULL, stderr=open(home + "/log", "w"), stdin=subprocess.DEVNULL)
                 for k, home in enumerate(homes)]
    return started, processes, {addresses[k]: device_desc(k) for k in range(count)}


def wait_until_all_answer(expected, port, started, timeout=START_TIMEOUT_S):
    """Seconds from the start until the last address answered its deviceDesc
    (any value where expected gives None), or None after timeout."""
    request, pending = get_request(DEVICE_DESC), set(expected)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(0.02)
        while pending and time.monotonic() - started < timeout:
            for target in pending:
                sock.sendto(request, (target, port))
            deadline = time.monotonic() + 0.05
            while time.monotonic() < deadline:
                try:
                    reply, (source, _) = sock.recvfrom(4096)
                except OSError:
                    continue
                binds = V2C.apiPDU.getVarBinds(V2C.apiMessage.getPDU(decoder.decode(reply, asn1Spec=V2C.Message())[0]))
                if expected.get(source) in (None, str(binds[0][1])):
                    pending.discard(source)
    return None if pending else time.monotonic() - started


def private_kib(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        return sum(int(line.split()[1]) for line in f if line.startswith(("Private_Clean:", "Private_Dirty:")))


def stop_all(processes):
    for process in processes:
        if process.poll() is None:
            process.terminate()
    for process in processes:
        stop(process)


def walk_each(client, addresses, port, record=None):
    walks = []
    for target in addresses:
        command = [client, "walk", "--target", "%s:%d" % (target, port), "--community", COMMUNITY,
                   "--root", "1.3.6.1.4.1.35990", "--repeat", "1", "--seconds", "10"]
        if record and not walks:
            command += ["--record", record]
        done = subprocess.run(command, capture_output=True, text=True, timeout=60)
        walks.append(json.loads(done.stdout.splitlines()[-1]))
    return walks


def measure_walked_fleet(binary, client, count, workdir, recording):
    """Figure 1; also records the first agent's walk for snmpsim."""
    port = free_udp_ports(1)[0]
    started, processes, expected = start_fleet(binary, count, port, workdir)
    try:
        ready_s = wait_until_all_answer(expected, port, started)
        if ready_s is None:
            return None
        walks = walk_each(client, expected, port, recording)
        private_mib = sum(private_kib(p.pid) for p in processes) / 1024.0
    finally:
        stop_all(processes)
    return {"count": count, "ready_s": ready_s, "walks": walks, "private_mib": private_mib}


def idle_window(sides, seconds):
    """CPU (% of one core), wake-ups per second and memory of each side's
    processes together, over one window shared by all sides, so that other
    work on the host weighs on each alike."""
    pids = [pid for side_pids in sides.values() for pid in side_pids]
    before = {pid: (cpu_seconds(pid), context_switches(pid)) for pid in pids}
    start = time.monotonic()
    time.sleep(seconds)
    elapsed = time.monotonic() - start
    return {side: {"cpu_pct": 100.0 * sum(cpu_seconds(pid) - before[pid][0] for pid in side_pids) / elapsed,
                   "wakeups": sum(context_switches(pid) - before[pid][1] for pid in side_pids) / elapsed,
                   "private_mib": sum(private_kib(pid) for pid in side_pids) / 1024.0,
                   "anon_mib": sum(memory_kib(pid, "RssAnon") for pid in side_pids) / 1024.0}
            for side, side_pids in sides.items()}


def measure_idle_fleet(binary, workdir, recording):
    """Figure 2: snmpsim first (its start timed alone), then the agents."""
    port, simulator_port = free_udp_ports(2)
    expected = {address(k): device_desc(k) for k in range(IDLE_AGENTS)}
    started = time.monotonic()
    simulator = launch_snmpsim(workdir, recording, ["%s:%d" % (a, simulator_port) for a in expected],
                               os.path.join(workdir, "snmpsim.log"))
    processes = []
    try:
        simulator_ready_s = wait_until_all_answer(dict.fromkeys(expected), simulator_port, started)
        started, processes, _ = start_fleet(binary, IDLE_AGENTS, port, workdir)
        agents_ready_s = wait_until_all_answer(expected, port, started)
        if agents_ready_s is None or simulator_ready_s is None:
            return {"agents": {"ready_s": agents_ready_s}, "snmpsim": {"ready_s": simulator_ready_s}}
        time.sleep(1.0)  # the probes' last answers
        figures = idle_window({"agents": [p.pid for p in processes], "snmpsim": [simulator.pid]}, IDLE_SECONDS)
        figures["agents"]["ready_s"], figures["snmpsim"]["ready_s"] = agents_ready_s, simulator_ready_s
        return figures
    finally:
        stop_all(processes + [simulator])


def measure_crowd_start(binary, workdir):
    """Figure 3: seconds until all CROWD agents answered, or None."""
    port = free_udp_ports(1)[0]
    started, processes, expected = start_fleet(binary, CROWD, port, workdir)
    try:
        return wait_until_all_answer(expected, port, started)
    finally:
        stop_all(processes)


def large_addresses(count):
    """127.0.0.2 onwards, one after the other, as a fleet file's range gives them."""
    return [str(IPv4Address("127.0.0.2") + k) for k in range(count)]


def get_round(targets, port, expected):
    """One GET of deviceDesc to every target, split among GET_WORKERS threads:
    (requests/s, p50 ms, p99 ms, unanswered), over GET_ROUNDS rounds."""
    request, latencies, lost = get_request(DEVICE_DESC), [], [0]
    lock = threading.Lock()

    def worker(share):
        mine, missed = [], 0
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
            sock.settimeout(2.0)
            for target in share:
                began = time.perf_counter()
                sock.sendto(request, (target, port))
                try:
                    while sock.recvfrom(4096)[1][0] != target:
                        pass
                    mine.append(time.perf_counter() - began)
                except OSError:
                    missed += 1
        with lock:
            latencies.extend(mine)
            lost[0] += missed

    began = time.monotonic()
    for _ in range(GET_ROUNDS):
        threads = [threading.Thread(target=worker, args=(targets[w::GET_WORKERS],)) for w in range(GET_WORKERS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    elapsed = time.monotonic() - began
    latencies.sort()
    pick = lambda q: 1e3 * latencies[min(len(latencies) - 1, int(q * len(latencies)))] if latencies else None
    return {"rps": len(latencies) / elapsed, "p50_ms": pick(0.50), "p99_ms": pick(0.99), "lost": lost[0]}


def fleet_children(pid):
    with open("/proc/%d/task/%d/children" % (pid, pid)) as f:
        return [int(child) for child in f.read().split()]


def launch_large(side, binary, count, port, workdir, recording):
    """(the moment, the processes to stop) for one side of figure 4."""
    addresses = large_addresses(count)
    home = tempfile.mkdtemp(prefix=side + "-", dir=workdir)
    os.chmod(home, 0o755)  # snmpsim, running as nobody, reads below it
    env = dict(os.environ, HOME=home, STATE_DIRECTORY=home + "/state")
    if side == "fleet":
        path = os.path.join(home, "fleet.json")
        with open(path, "w") as f:
            json.dump(large_fleet_file(count, port), f, indent=2)
        started = time.monotonic()
        parent = subprocess.Popen([binary, "--fleet", path], env=env, stdout=subprocess.DEVNULL,
                                  stderr=open(home + "/log", "w"), stdin=subprocess.DEVNULL)
        return started, [parent]
    if side == "agents":
        started, processes, _ = start_fleet(binary, count, port, workdir, addresses)
        return started, processes
    started = time.monotonic()
    # One descriptor per endpoint: the default limit of 1,024 would end it.
    simulator = launch_snmpsim(home, recording, ["%s:%d" % (a, port) for a in addresses], home + "/log",
                               open_files=count + 256)
    return started, [simulator]


def large_fleet_file(count, port):
    return {"devices": [{"count": count, "address": "127.0.0.2", "port": port, "deviceDesc": "Fleet camera {n}",
                         "deviceSerialNumber": "CAM-{n:04}", "deviceUserDesc": "Lab camera {n}",
                         "channelMulticastAddresses": ["239.192.0.1", "239.193.0.1"]}]}


def measure_large(side, binary, count, workdir, recording):
    """Figure 4 for one side: the fleet, separate agents, or snmpsim."""
    port = free_udp_ports(1)[0]
    addresses = large_addresses(count)
    expected = {a: (None if side == "snmpsim" else device_desc(k)) for k, a in enumerate(addresses)}
    started, processes = launch_large(side, binary, count, port, workdir, recording)
    figures = {}
    try:
        # A thousand separate agents need a minute or more on a busy 2-core machine.
        figures["ready_s"] = wait_until_all_answer(expected, port, started, LARGE_START_TIMEOUT_S)
        if figures["ready_s"] is None:
            return figures
        pids = [p.pid for p in processes] + (fleet_children(processes[0].pid) if side == "fleet" else [])
        # What the start cost, whatever else ran on the machine meanwhile.
        figures["start_cpu_s"] = sum(cpu_seconds(pid) for pid in pids)
        time.sleep(1.0)  # the probes' last answers
        idle = idle_window({side: pids}, LARGE_IDLE_SECONDS)[side]
        figures.update(cpu_pct=idle["cpu_pct"], wakeups=idle["wakeups"],
                       private_kib=1024.0 * idle["private_mib"] / count)
        if side == "fleet":
            figures["parent_kib"] = private_kib(processes[0].pid)
        figures.update(get_round(addresses, port, expected))
        began = time.monotonic()
        stop_all(processes)
        figures["stop_s"] = time.monotonic() - began
        figures["left"] = sum(os.path.exists("/proc/%d" % pid) for pid in pids[1:] if side == "fleet")
        figures["status"] = processes[0].returncode if side == "fleet" else None
        return figures
    finally:
        stop_all(processes)


def report_large(count, large):
    sides = ("fleet", "agents", "snmpsim")
    print("\n| %d devices on 127.0.0.2 onwards | one fleet file | %d separate agents | snmpsim, one process |"
          % (count, count))
    print("|---|---:|---:|---:|")
    for key, label, fmt in (("ready_s", "time until every device answered (s)", "%.2f"),
                            ("start_cpu_s", "CPU the start took, all processes (s)", "%.2f"),
                            ("private_kib", "private memory per device (KiB)", "%.0f"),
                            ("cpu_pct", "idle CPU over %.0f s, together (%% of one core)" % LARGE_IDLE_SECONDS,
                             "%.2f"),
                            ("wakeups", "idle wake-ups per second, together", "%.1f"),
                            ("rps", "GET round, %d workers: requests/s" % GET_WORKERS, "%.0f"),
                            ("p50_ms", "GET round: p50 (ms)", "%.2f"),
                            ("p99_ms", "GET round: p99 (ms)", "%.2f"),
                            ("lost", "GET round: unanswered of %d" % (GET_ROUNDS * count), "%d"),
                            ("stop_s", "time to stop all (s)", "%.2f")):
        print("| %s | %s |" % (label, " | ".join(cell(large[side].get(key), fmt) for side in sides)))
    fleet = large["fleet"]
    if "parent_kib" in fleet:
        print("\nOf the fleet's private memory, the parent holds %.0f KiB (%.1f KiB per device)."
              % (fleet["parent_kib"], fleet["parent_kib"] / count))
    print("\nTargets:")
    print("  %s  %d devices of one fleet file all answering within %.0f s: %s s" % (
        verdict(fleet.get("ready_s"), FLEET_START_TARGET_S), count, FLEET_START_TARGET_S,
        cell(fleet.get("ready_s"), "%.2f")))
    print("  %s  private memory per fleet device <= %.0f KiB: %s KiB" % (
        verdict(fleet.get("private_kib"), FLEET_PRIVATE_TARGET_KIB), FLEET_PRIVATE_TARGET_KIB,
        cell(fleet.get("private_kib"), "%.0f")))
    print("  %s  idle fleet takes no CPU: %s%%" % (verdict(fleet.get("cpu_pct"), 0.005),
                                                   cell(fleet.get("cpu_pct"), "%.2f")))
    print("  %s  nothing of the fleet left running after its stop: %s" % (
        "PASS" if fleet.get("left") == 0 else "FAIL", cell(fleet.get("left"), "%d")))
    print("  %s  the fleet stopped within 2 s, exit status 0: %s s, status %s" % (
        "PASS" if fleet.get("stop_s", 9) <= 2.0 and fleet.get("status") == 0 else "FAIL",
        cell(fleet.get("stop_s"), "%.2f"), cell(fleet.get("status"), "%d")))


def cell(value, fmt):
    return "n/a" if value is None else fmt % value


def verdict(value, limit):
    return "FAIL" if value is None or value > limit else "PASS"


def report(walked, idle, crowd_s):
    count, walks = walked["count"], walked["walks"]
    print("| Fleet figure (%d agents on %s, one port) | value |" % (count, span(count)))
    print("|---|---:|")
    print("| time until every agent answered its own deviceDesc (s) | %.2f |" % walked["ready_s"])
    print("| walks of 1.3.6.1.4.1.35990 that came back complete | %d of %d (%d objects each) |"
          % (sum(w.get("ok", False) for w in walks), count, walks[0].get("objects", 0)))
    print("| one walk, median (ms) | %.2f |" % (1e3 * statistics.median(w.get("median_s", 0) for w in walks)))
    print("| private memory, all agents (MiB) | %.1f |" % walked["private_mib"])
    print("| private memory per agent (MiB) | %.2f |" % (walked["private_mib"] / count))
    agents, simulator = idle["agents"], idle["snmpsim"]
    print("\n| %d idle endpoints on %s | %d agents | snmpsim, one process |" % (IDLE_AGENTS, span(IDLE_AGENTS),
                                                                                IDLE_AGENTS))
    print("|---|---:|---:|")
    for key, label, fmt in (("ready_s", "time until every endpoint answered (s)", "%.2f"),
                            ("cpu_pct", "CPU over %.0f s, together (%% of one core)" % IDLE_SECONDS, "%.2f"),
                            ("wakeups", "wake-ups per second, together", "%.1f"),
                            ("private_mib", "private memory, together (MiB)", "%.1f"),
                            ("anon_mib", "of which anonymous (MiB)", "%.1f")):
        print("| %s | %s | %s |" % (label, cell(agents.get(key), fmt), cell(simulator.get(key), fmt)))
    print("\n| %d agents started at once on %s | value |" % (CROWD, span(CROWD)))
    print("|---|---:|")
    print("| time until every agent answered its own deviceDesc (s) | %s |" % cell(crowd_s, "%.2f"))
    print("\nTargets:")
    print("  %s  %d idle agents together <= %.0f%% of one core: %s%%" % (
        verdict(agents.get("cpu_pct"), IDLE_CPU_TARGET_PCT), IDLE_AGENTS, IDLE_CPU_TARGET_PCT,
        cell(agents.get("cpu_pct"), "%.2f")))
    print("  %s  %d agents all answering within %.0f s of their start: %s s" % (
        verdict(agents.get("ready_s"), IDLE_START_TARGET_S), IDLE_AGENTS, IDLE_START_TARGET_S,
        cell(agents.get("ready_s"), "%.2f")))
    print("  %s  %d agents started at once all answering within %.0f s: %s s" % (
        verdict(crowd_s, CROWD_START_TARGET_S), CROWD, CROWD_START_TARGET_S, cell(crowd_s, "%.2f")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--agents", type=int, default=50)
    parser.add_argument("--devices", type=int, default=1000, help="devices of figure 4 (0 leaves it out)")
    args = parser.parse_args()
    count = min(max(args.agents, 1), 250)
    binary = os.path.abspath(os.path.join(args.build, "src", "vivoe-mib-server"))
    client = os.path.abspath(os.path.join(args.build, "bench", "vivoe-bench-client"))
    workdir = tempfile.mkdtemp(prefix="vivoe-fleet-")
    os.chmod(workdir, 0o755)  # snmpsim, running as nobody, reads below it
    recording = os.path.join(workdir, "agent.snmprec")
    try:
        print("fleet: %d agents, walked ..." % count, file=sys.stderr, flush=True)
        walked = measure_walked_fleet(binary, client, count, workdir, recording)
        if walked is None:
            print("error: not every agent answered within %.0f s" % START_TIMEOUT_S, file=sys.stderr)
            return 1
        print("fleet: %d idle agents beside snmpsim ..." % IDLE_AGENTS, file=sys.stderr, flush=True)
        idle = measure_idle_fleet(binary, workdir, recording)
        print("fleet: %d agents started at once ..." % CROWD, file=sys.stderr, flush=True)
        crowd_s = measure_crowd_start(binary, workdir)
        large = {}
        for side in ("fleet", "agents", "snmpsim") if args.devices > 0 else ():
            print("fleet: %d devices, %s ..." % (args.devices, side), file=sys.stderr, flush=True)
            large[side] = measure_large(side, binary, args.devices, workdir, recording)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)
    report(walked, idle, crowd_s)
    if large:
        report_large(args.devices, large)
    return 0


if __name__ == "__main__":
    sys.exit(main())
