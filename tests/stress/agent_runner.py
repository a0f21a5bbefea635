# Runs the real agent for the stress scripts: a free loopback port, a private
# home, stdout and stderr in files (a SET logs its whole value, so a pipe
# nobody reads would stall the agent), and a raw UDP client to talk to it.
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

import ber

VIVOE = "1.3.6.1.4.1.35990"
DEVICE_DESC = VIVOE + ".3.1.1.1.0"
DEVICE_DESC_TEXT = b"Grovenmarch Kestrunevale Day/Night Vision Camera"
STARTED = "VIVOE MIB Server started successfully"


def free_udp_port():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def fail(text):
    print("FAIL: " + text, flush=True)
    sys.exit(1)


def check(condition, text):
    if not condition:
        fail(text)


class Agent:
    def __init__(self, binary, write_community=None, prefix=None):
        self.home = tempfile.TemporaryDirectory(prefix="vivoe-stress-")
        self.port = free_udp_port()
        self.env = dict(os.environ, HOME=self.home.name,
                        SNMP_PERSISTENT_DIR=os.path.join(self.home.name, "persist"))
        if write_community:
            self._grant_write_access(write_community)
        self.out_path = os.path.join(self.home.name, "stdout")
        self.err_path = os.path.join(self.home.name, "stderr")
        command = list(prefix or []) + [binary, "--port", str(self.port)]
        with open(self.out_path, "wb") as out, open(self.err_path, "wb") as err:
            self.proc = subprocess.Popen(command, env=self.env, stdout=out, stderr=err,
                                         stdin=subprocess.DEVNULL)

    def _grant_write_access(self, community):
        # As an operator would: a .local.conf in Net-SNMP's search path, next
        # to the directory the agent writes its own configuration to.
        extra = os.path.join(self.home.name, "write-access")
        os.makedirs(extra)
        with open(os.path.join(extra, "vivoe_kestrunevale.local.conf"), "w") as f:
            f.write("rwcommunity %s 127.0.0.1\n" % community)
        own = "/etc/snmp" if os.access("/etc/snmp", os.W_OK) else os.path.join(self.home.name, ".snmp")
        self.env["SNMPCONFPATH"] = own + ":" + extra

    def wait_started(self, timeout=15.0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and self.proc.poll() is None:
            if STARTED in self.stderr():
                return True
            time.sleep(0.05)
        return STARTED in self.stderr()

    def stderr(self):
        with open(self.err_path, "rb") as f:
            return f.read().decode("latin-1")

    def stdout(self):
        with open(self.out_path, "rb") as f:
            return f.read().decode("latin-1")

    def vmrss_kib(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return -1

    def alive(self):
        return self.proc.poll() is None

    def stop(self, timeout=20.0):
        """Exit status after SIGTERM, or None if it did not end in time (then killed)."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            return None

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.home.cleanup()


class Client:
    def __init__(self, port):
        self.address = ("127.0.0.1", port)
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1 << 20)
        self.sock.bind(("127.0.0.1", 0))

    def send(self, data):
        self.sock.sendto(data, self.address)

    def receive(self, timeout):
        self.sock.settimeout(timeout)
        try:
            return self.sock.recv(70000)
        except socket.timeout:
            return None

    def drain(self):
        """Replies already waiting, counted and dropped."""
        count = 0
        while self.receive(0.0005) is not None:
            count += 1
        return count

    def request(self, data, timeout=2.0, tries=3):
        """The decoded response to `data`, or None; stale replies are skipped."""
        wanted = ber.Response(data).request_id
        for _ in range(tries):
            self.send(data)
            deadline = time.monotonic() + timeout
            while time.monotonic() < deadline:
                reply = self.receive(max(0.001, deadline - time.monotonic()))
                if reply is None:
                    break
                try:
                    response = ber.Response(reply)
                except (ValueError, IndexError):
                    continue
                if response.request_id == wanted and response.pdu_type == ber.RESPONSE:
                    return response
        return None

    def walk(self, root=VIVOE, community=b"maplet", limit=1000):
        """(oid, tag, value) of every object below root, by GETNEXT."""
        rows, name = [], root
        for request_id in range(1, limit + 1):
            response = self.request(ber.message(ber.GETNEXT, [name], community=community,
                                                request_id=request_id))
            if response is None:
                return None
            name, tag, value = response.bindings[0]
            if not name.startswith(root + ".") or tag == ber.END_OF_MIB_VIEW:
                return rows
            rows.append((name, tag, value))
        return rows

    def close(self):
        self.sock.close()
