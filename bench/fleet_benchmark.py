#!/usr/bin/env python3
"""Fleet figure: N agents, each with a profile of its own, on 127.0.0.2,
127.0.0.3, ... and one port, started together as the devices of a vehicle
would be. Reports the time until every one answers, one walk of each (with
the compiled load client), and their total private memory.

Usage: python3 bench/fleet_benchmark.py --build build [--agents 50]   (or `make bench`)
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
import time

from pyasn1.codec.ber import decoder, encoder
from pysnmp.proto import api

V2C = api.protoModules[api.protoVersion2c]
DEVICE_DESC = "1.3.6.1.4.1.35990.3.1.1.1.0"
START_TIMEOUT_S = 60.0


def get_request(oid):
    pdu = V2C.GetRequestPDU()
    V2C.apiPDU.setDefaults(pdu)
    V2C.apiPDU.setVarBinds(pdu, [(oid, V2C.Null(""))])
    message = V2C.Message()
    V2C.apiMessage.setDefaults(message)
    V2C.apiMessage.setCommunity(message, "maplet")
    V2C.apiMessage.setPDU(message, pdu)
    return encoder.encode(message)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_fleet(binary, count, port, workdir):
    profile = json.loads(subprocess.run([binary, "--print-profile"], capture_output=True, check=True).stdout)
    agents = []
    for k in range(count):
        home = os.path.join(workdir, "agent%d" % k)
        os.makedirs(home)
        profile["deviceDesc"] = "Fleet camera %d" % (k + 1)
        with open(os.path.join(home, "device.json"), "w") as f:
            json.dump(profile, f)
        agents.append((home, "127.0.0.%d" % (k + 2)))
    started = time.monotonic()
    processes = [subprocess.Popen([binary, "--address", address, "--port", str(port), "--profile", home + "/device.json"],
                                  env=dict(os.environ, HOME=home, STATE_DIRECTORY=home + "/state"),
                                  stdout=subprocess.DEVNULL, stderr=open(home + "/log", "w"), stdin=subprocess.DEVNULL)
                 for home, address in agents]
    return started, processes, [address for _, address in agents]


def wait_until_all_answer(addresses, port, started):
    """Seconds from the start until the last agent answered with its own deviceDesc, or None."""
    request, pending = get_request(DEVICE_DESC), set(addresses)
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.settimeout(0.02)
        while pending and time.monotonic() - started < START_TIMEOUT_S:
            for address in pending:
                sock.sendto(request, (address, port))
            deadline = time.monotonic() + 0.05
            while time.monotonic() < deadline:
                try:
                    reply, (address, _) = sock.recvfrom(4096)
                except OSError:
                    continue
                binds = V2C.apiPDU.getVarBinds(V2C.apiMessage.getPDU(decoder.decode(reply, asn1Spec=V2C.Message())[0]))
                if str(binds[0][1]) == "Fleet camera %d" % (int(address.rsplit(".", 1)[1]) - 1):
                    pending.discard(address)
    return None if pending else time.monotonic() - started


def private_kib(pid):
    with open("/proc/%d/smaps_rollup" % pid) as f:
        return sum(int(line.split()[1]) for line in f if line.startswith(("Private_Clean:", "Private_Dirty:")))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--agents", type=int, default=50)
    args = parser.parse_args()
    count = min(max(args.agents, 1), 250)
    binary = os.path.abspath(os.path.join(args.build, "src", "vivoe-mib-server"))
    client = os.path.abspath(os.path.join(args.build, "bench", "vivoe-bench-client"))
    workdir, port = tempfile.mkdtemp(prefix="vivoe-fleet-"), free_port()
    started, processes, addresses = start_fleet(binary, count, port, workdir)
    try:
        ready_s = wait_until_all_answer(addresses, port, started)
        if ready_s is None:
            print("error: not every agent answered within %.0f s" % START_TIMEOUT_S, file=sys.stderr)
            return 1
        walks = [json.loads(subprocess.run([client, "walk", "--target", "%s:%d" % (address, port), "--community",
                                            "maplet", "--root", "1.3.6.1.4.1.35990", "--repeat", "1", "--seconds", "10"],
                                           capture_output=True, text=True, timeout=60).stdout.splitlines()[-1])
                 for address in addresses]
        private_mib = sum(private_kib(p.pid) for p in processes) / 1024.0
    finally:
        for process in processes:
            process.terminate()
        for process in processes:
            process.wait(timeout=30)
        shutil.rmtree(workdir, ignore_errors=True)
    print("| Fleet figure (%d agents on 127.0.0.2-%s, one port) | value |" % (count, addresses[-1].rsplit(".", 1)[1]))
    print("|---|---:|")
    print("| time until every agent answered its own deviceDesc (s) | %.2f |" % ready_s)
    print("| walks of 1.3.6.1.4.1.35990 that came back complete | %d of %d (%d objects each) |"
          % (sum(w.get("ok", False) for w in walks), count, walks[0].get("objects", 0)))
    print("| one walk, median (ms) | %.2f |" % (1e3 * statistics.median(w.get("median_s", 0) for w in walks)))
    print("| private memory, all agents (MiB) | %.1f |" % private_mib)
    print("| private memory per agent (MiB) | %.2f |" % (private_mib / count))
    return 0


if __name__ == "__main__":
    sys.exit(main())
