"""Runs the real agent binary for the black-box tests: on a free loopback port,
with a private home, as root or as nobody, optionally in a network namespace,
and queries it with Net-SNMP's tools or with pysnmp, an independent stack.
Run by an ordinary user, the agents run as that user and the tests that need
root are skipped, each with its reason."""
import glob
import os
import pwd
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import time

import pytest
from pyasn1.codec.ber import decoder, encoder
from pysnmp.hlapi import (CommunityData, ContextData, ObjectIdentity, ObjectType, SnmpEngine,
                          UdpTransportTarget, bulkCmd, getCmd, nextCmd)
from pysnmp.proto import api
from pysnmp.proto.mpmod.rfc3412 import SNMPv3Message
from pysnmp.proto.secmod.rfc3414.service import UsmSecurityParameters

AGENT = os.environ["VIVOE_AGENT"]
SANITIZED = os.environ.get("VIVOE_SANITIZED") == "ON"
VIVOE = "1.3.6.1.4.1.35990"
ROOT = VIVOE + ".3.1"
DESC = ROOT + ".1.1.0"
STARTED = "VIVOE MIB Server started successfully"
SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE = "VIVOE-CAMERA-SIM-MIB"
# Debian keeps the IETF base modules out of snmp's packages; Erlang's SNMP
# application ships those the module imports.
BASE = (glob.glob("/usr/lib/erlang/lib/snmp-*/mibs") or ["erlang-snmp is not installed"])[0]
V1, V2C = api.protoModules[api.protoVersion1], api.protoModules[api.protoVersion2c]
IS_ROOT = os.geteuid() == 0


def needs_root(why):
    """Marks a test only root can run; CI runs as root and skips nothing."""
    return pytest.mark.skipif(not IS_ROOT, reason="needs root: " + why)


def free_port(kind=socket.SOCK_DGRAM):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(condition, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.05)
    return True


def run(*command, env=None, timeout=20):
    return subprocess.run(command, capture_output=True, text=True, errors="replace", env=env, timeout=timeout,
                          stdin=subprocess.DEVNULL)


class Agent:
    def __init__(self, user="root", netns=None, wrapper=()):
        self.dir = tempfile.mkdtemp(prefix="vivoe-test-")
        self.home = self.dir + "/home"
        os.makedirs(self.home)
        self.user, self.port, self.proc, self.binary = user, None, None, AGENT
        self.env = dict(os.environ, HOME=self.home)
        self.env.pop("XDG_STATE_HOME", None)  # the state goes below the private home
        self.netns = ["ip", "netns", "exec", netns] if netns else []
        self.prefix = self.netns + list(wrapper)
        if user == "root":  # keep root's engine state out of /var/lib
            self.env["STATE_DIRECTORY"] = self.dir + "/state"
        # An ordinary user running the tests is the ordinary user the agent runs as.
        elif IS_ROOT:
            # The build tree may sit below a directory nobody cannot enter.
            self.binary = shutil.copy(AGENT, self.dir)
            os.chmod(self.dir, 0o755)
            os.chown(self.home, pwd.getpwnam("nobody").pw_uid, -1)
            self.prefix = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]
        # Read and written by the agent instead of /etc/snmp and ~/.snmp: what the
        # machine's own configuration holds never reaches a test.
        self.config_dir = self.home + "/.snmp"
        self.env["SNMPCONFPATH"] = self.config_dir

    def grant_write(self, community="private"):
        """As an operator would: a .local.conf in Net-SNMP's search path."""
        os.makedirs(self.dir + "/write-access")
        with open(self.dir + "/write-access/vivoe_kestrunevale.local.conf", "w") as f:
            f.write("rwcommunity %s 127.0.0.1\n" % community)
        self.env["SNMPCONFPATH"] = self.config_dir + ":" + self.dir + "/write-access"

    def private_etc_snmp(self, files):
        """Runs the agent in a mount namespace of its own whose /etc/snmp holds
        files: the machine's own /etc/snmp is neither read nor touched."""
        etc = self.dir + "/etc-snmp"
        os.makedirs(etc)
        for name, text in files.items():
            with open(os.path.join(etc, name), "w") as f:
                f.write(text)
        self.prefix = ["unshare", "-m", "--propagation", "private", "sh", "-c",
                       'mount --bind "$0" /etc/snmp && exec "$@"', etc] + self.prefix
        return etc

    def launch(self, *args, pipes=False):
        with open(self.dir + "/stdout", "wb") as out, open(self.dir + "/stderr", "wb") as err:
            self.proc = subprocess.Popen(self.prefix + [self.binary, *map(str, args)], env=self.env,
                                         stdout=subprocess.PIPE if pipes else out,
                                         stderr=subprocess.PIPE if pipes else err, stdin=subprocess.DEVNULL)
        return self

    def start(self, *args):
        self.port = self.port or free_port()
        self.launch("--port", self.port, *args)
        assert wait_for(lambda: STARTED in self.stderr or self.proc.poll() is not None, 60), self.stderr
        assert STARTED in self.stderr, self.stderr
        return self

    def _read(self, name):
        with open(self.dir + "/" + name, "rb") as f:
            return f.read().decode("utf-8", "replace")

    stdout = property(lambda self: self._read("stdout"))
    stderr = property(lambda self: self._read("stderr"))

    def wait(self, timeout=15):
        return self.proc.wait(timeout)

    def stop(self, sig=signal.SIGTERM, timeout=15):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        return self.wait(timeout)

    def kill(self):
        if self.proc and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def snmp(self, tool, *args, community="maplet", version="2c"):
        """A Net-SNMP tool against this agent, with numeric OIDs."""
        return run(*self.netns, tool, "-v" + version, "-c", community, "-On", "-t", "2", "-r", "1",
                   "127.0.0.1:%d" % self.port, *args)

    def get(self, oid, *flags, community="maplet"):
        """One value as snmpget -Oqv prints it, or the error text."""
        result = self.snmp("snmpget", "-Oqv", *flags, oid, community=community)
        return result.stdout.strip() or result.stderr.strip()

    def set(self, *varbinds, community="private"):
        """The error reason of an snmpset ("wrongType"), "" on success."""
        result = self.snmp("snmpset", *varbinds, community=community)
        match = re.search(r"Reason: (\w+)", result.stderr)
        return match.group(1) if match else result.stderr.strip()


def rebooting(agent):
    """Net-SNMP frees no table data set or MIB state when the agent library shuts down, so each reboot leaves
    the last run's allocated: a sanitized agent that reboots is not checked for leaks."""
    if SANITIZED:
        agent.env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0"
    return agent


@pytest.fixture
def agents():
    """Makes agents, each killed at the end of the test whatever happens."""
    made = []
    yield lambda **kwargs: made.append(Agent(**kwargs)) or made[-1]
    for agent in made:
        agent.kill()


@pytest.fixture
def agent(agents):
    return agents().start()


@pytest.fixture(scope="module")
def mib_options():
    """Net-SNMP tool options that load the MIB module and what it imports."""
    assert os.path.exists(os.path.join(BASE, "SNMPv2-CONF.mib")), BASE
    # Only this module and what it imports: anything it fails to name shows as a number.
    return ["-m", MODULE, "-M", os.path.join(SOURCE, "mibs") + ":" + BASE]


def canonical(value):
    """(TYPE, text) of a pysnmp value, an OctetString as hex."""
    kind = type(value).__name__
    if kind == "OctetString":
        return "STRING", value.asOctets().hex()
    return ("INTEGER" if kind in ("Integer", "Integer32") else kind.upper()), value.prettyPrint()


def pysnmp(port, mode, *oids, version=2, community="maplet"):
    """[(oid, TYPE, text)] from pysnmp: mode get, next (a walk) or bulk (a walk)."""
    session = (SnmpEngine(), CommunityData(community, mpModel=version - 1),
               UdpTransportTarget(("127.0.0.1", port), timeout=2, retries=1), ContextData())
    objects = [ObjectType(ObjectIdentity(oid)) for oid in oids]
    if mode == "get":
        requests = getCmd(*session, *objects, lookupMib=False)
    elif mode == "next":
        requests = nextCmd(*session, *objects, lexicographicMode=False, lookupMib=False)
    else:
        requests = bulkCmd(*session, 0, 25, *objects, lexicographicMode=False, lookupMib=False)
    rows = []
    for error, status, _, binds in requests:
        assert not error and not status, (error, status)
        rows += [(str(name), *canonical(value)) for name, value in binds]
    # GETBULK pads past the end of the view; pysnmp repeats the last row of a v1 walk.
    return [row for i, row in enumerate(rows) if row[1] != "ENDOFMIBVIEW" and (i == 0 or row != rows[i - 1])]


# Raw messages, for what SNMP libraries will not send: encoded by pyasn1.
def pdu_for(kind, names, proto=V2C, request_id=1, bulk=None, error=(0, 0)):
    pdu = getattr(proto, kind)()
    proto.apiPDU.setDefaults(pdu)
    proto.apiPDU.setRequestID(pdu, request_id)
    proto.apiPDU.setErrorStatus(pdu, error[0])
    proto.apiPDU.setErrorIndex(pdu, error[1])
    if bulk:
        proto.apiBulkPDU.setNonRepeaters(pdu, bulk[0])
        proto.apiBulkPDU.setMaxRepetitions(pdu, bulk[1])
    proto.apiPDU.setVarBinds(pdu, [(n, proto.Null("")) if isinstance(n, str) else n for n in names])
    return pdu


def message(kind, names, community=b"maplet", proto=V2C, request_id=1, bulk=None, version=None, error=(0, 0)):
    msg = proto.Message()
    proto.apiMessage.setDefaults(msg)
    proto.apiMessage.setCommunity(msg, community)
    proto.apiMessage.setPDU(msg, pdu_for(kind, names, proto, request_id, bulk, error))
    if version is not None:
        msg.setComponentByPosition(0, version)
    return encoder.encode(msg)


def v3_message(kind, names, user=b"", engine=b"", request_id=1):
    """An SNMPv3 noAuthNoPriv message; with no engine ID, a discovery probe."""
    msg = SNMPv3Message()
    msg["msgVersion"] = 3
    header = msg["msgGlobalData"]
    header["msgID"], header["msgMaxSize"], header["msgFlags"], header["msgSecurityModel"] = request_id, 65507, b"\4", 3
    usm = UsmSecurityParameters()
    for key, value in (("Id", engine), ("Boots", 0), ("Time", 0)):
        usm["msgAuthoritativeEngine" + key] = value
    usm["msgUserName"], usm["msgAuthenticationParameters"], usm["msgPrivacyParameters"] = user, b"", b""
    msg["msgSecurityParameters"] = encoder.encode(usm)
    scoped = msg["msgData"]["plaintext"]
    scoped["contextEngineId"], scoped["contextName"] = engine, b""
    scoped["data"].setComponentByType(V2C.GetRequestPDU.tagSet if kind == "probe" else getattr(V2C, kind).tagSet,
                                      pdu_for("GetRequestPDU" if kind == "probe" else kind, names, request_id=request_id))
    return encoder.encode(msg)


def engine_id(sock):
    """The agent's engine ID, from the Report that answers a discovery probe."""
    sock.send(v3_message("probe", []))
    report = decoder.decode(receive(sock, 3), asn1Spec=SNMPv3Message())[0]
    usm = decoder.decode(report["msgSecurityParameters"].asOctets(), asn1Spec=UsmSecurityParameters())[0]
    return usm["msgAuthoritativeEngineId"].asOctets()


def client(port):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.connect(("127.0.0.1", port))
    return sock


def receive(sock, timeout):
    sock.settimeout(timeout)
    try:
        return sock.recv(70000)
    except OSError:  # timed out, or nothing waiting
        return None


def pdu_of(data):
    return V2C.apiMessage.getPDU(decoder.decode(data, asn1Spec=V2C.Message())[0])


def request(sock, data, request_id=1, timeout=3.0):
    """(error status, varbinds) of the answer to data, or None; stale answers skipped."""
    sock.send(data)
    while (reply := receive(sock, timeout)) is not None:
        if (pdu := pdu_of(reply))["request-id"] == request_id:
            return int(V2C.apiPDU.getErrorStatus(pdu)), V2C.apiPDU.getVarBinds(pdu)
    return None
