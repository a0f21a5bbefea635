"""Abuse, load and memory: hostile datagrams mutated from well-formed requests,
answers too big for a datagram, managers walking at once, SIGTERM under load,
and one serving cycle under Valgrind's memcheck."""
import contextlib
import os
import random
import re
import socket
import threading
import time

import pytest
from conftest import (DESC, ROOT, SANITIZED, V1, V2C, VIVOE, client, engine_id, free_port, message, pysnmp, receive,
                      request, run, v3_message)
from pyasn1.type import constraint, univ
from pysnmp.hlapi import (ContextData, ObjectIdentity, ObjectType, SnmpEngine, UdpTransportTarget, UsmUserData, getCmd,
                          setCmd, usmAesCfb128Protocol, usmHMACSHAAuthProtocol)
from pysnmp.proto import rfc1902
USER_DESC, MODE = VIVOE + ".3.1.1.10.0", VIVOE + ".3.1.1.14.0"
CHANNEL, FORMAT = ROOT + ".3.3.1", ROOT + ".2.2.1"
NO_ERROR, TOO_BIG, WRONG_LENGTH, WRONG_VALUE = 0, 1, 8, 10
rfc1902.Integer.subtypeSpec = constraint.ConstraintsIntersection()  # lets pysnmp encode any INTEGER
# and decode one: a refused SET echoes its value, which the library holds as 2^32-1
ECHO = rfc1902.ObjectSyntax.componentType.getTypeByPosition(0).componentType.getTypeByPosition(0)
ECHO._readOnly["subtypeSpec"] = ECHO.__dict__["subtypeSpec"] = constraint.ConstraintsIntersection()
PARSE_COMPLAINT = re.compile(r"bad type returned \([0-9a-f]+\)|Bad PDU type received: 0x[0-9a-f]+")


def oversized():
    """Well formed, but asking a great deal: (request, error status wanted or None)."""
    names = [VIVOE + ".3.1.1.%d.0" % (i % 16) for i in range(1000)]
    return [(message("GetBulkRequestPDU", [VIVOE], bulk=(0, 65535)), NO_ERROR),
            (message("GetBulkRequestPDU", names, bulk=(0, 65535)), None),
            (message("GetBulkRequestPDU", names, bulk=(65535, 65535)), None),
            (message("GetNextRequestPDU", names), NO_ERROR),
            (message("GetRequestPDU", names), NO_ERROR),
            # cannot fit in one datagram: tooBig, not silence
            (message("GetRequestPDU", [DESC] * 1000), TOO_BIG)]


def hostile(rng):
    """Well-formed requests cut short, bit-flipped, with absurd lengths, nested
    deep, wrongly addressed or oversized, and plain noise."""
    valid = [message("GetRequestPDU", [DESC]), message("GetNextRequestPDU", [VIVOE], proto=V1),
             message("GetBulkRequestPDU", [VIVOE, DESC], bulk=(1, 10)),
             message("SetRequestPDU", [(USER_DESC, V2C.OctetString(b"x" * 40))])]
    packets = [p[:n] for p in valid for n in range(len(p))]
    packets += [p[:i] + bytes([p[i] ^ m]) + p[i + 1:] for p in valid for i in range(len(p)) for m in (1, 0x80, 0xFF)]
    # Every length octet after a constructed or string tag made absurd.
    packets += [p[:i] + bad + p[i + 1:] for p in valid for i in range(1, len(p)) if p[i - 1] in b"\x30\x04\x06\xa0\xa5"
                for bad in (b"\x84\xff\xff\xff\xff", b"\x88" + b"\xff" * 8, b"\x80", b"\x00")]
    packets += [b"\x30\x80" * depth + valid[0] for depth in (10, 1000, 30000)]
    packets += [rng.randbytes(rng.randrange(1, 1500)) for _ in range(1000)]
    packets += [message("GetRequestPDU", [DESC], community=c) for c in (b"", b"public", b"maplet\0", b"m" * 1000)]
    packets += [message("GetRequestPDU", [DESC], version=v) for v in (2, 3, 255, 2 ** 31 - 1)]
    packets += [packet for packet, _ in oversized()]
    rng.shuffle(packets)
    return packets


def test_hostile_datagrams_change_nothing(agents):
    agent = agents()
    agent.grant_write()
    agent.start()
    sock = client(agent.port)
    walk = pysnmp(agent.port, "bulk", VIVOE)
    for packet, wanted in oversized():  # also warms every allocation the flood needs
        answer = request(sock, packet)
        assert answer is not None and wanted in (None, answer[0])
    log_before, rss_before = agent.stderr, vmrss(agent)

    packets = hostile(random.Random(35990))
    for i, packet in enumerate(packets):
        sock.send(packet)
        while receive(sock, 0 if i % 200 else 0.05):
            pass
    while receive(sock, 0.3):  # the flood's last answers
        pass
    assert agent.proc.poll() is None
    assert pysnmp(agent.port, "bulk", VIVOE) == walk
    rss_growth = vmrss(agent) - rss_before
    assert SANITIZED or rss_growth < 2048, "%d KiB more after %d datagrams" % (rss_growth, len(packets))
    # Unknown communities and versions get no answer at all: no reflection.
    for packet in [message("GetRequestPDU", [DESC], community=b"public", proto=proto) for proto in (V1, V2C)] + [
            message("GetRequestPDU", [DESC], version=3)]:
        sock.send(packet)
        assert receive(sock, 0.3) is None
    # An unknown SNMPv3 user is told so (a Report), never served.
    error = next(getCmd(SnmpEngine(), UsmUserData("intruder", "authpass123", "privpass123"),
                        UdpTransportTarget(("127.0.0.1", agent.port), timeout=1, retries=0), ContextData(),
                        ObjectType(ObjectIdentity(DESC))))[0]
    assert "unknown" in str(error).lower()
    # The largest value one datagram carries is stored and read back whole.
    value = bytes(i % 256 for i in range(65000))
    big_set = message("SetRequestPDU", [(USER_DESC, V2C.OctetString(value))], community=b"private")
    assert request(sock, big_set)[0] == NO_ERROR
    assert request(sock, message("GetRequestPDU", [USER_DESC], request_id=2), 2)[1][0][1].asOctets() == value
    flood_log = agent.stderr[len(log_before):].splitlines()
    assert [line for line in flood_log if not PARSE_COMPLAINT.fullmatch(line) and " set to " not in line] == []
    assert len(flood_log) <= len(packets)
    assert agent.stop() == 0


def vmrss(agent):
    return int(re.search(r"VmRSS:\s+(\d+)", open("/proc/%d/status" % agent.proc.pid).read()).group(1))


def writer(agents, tcp_port=None, **kwargs):
    agent = agents(**kwargs)
    agent.grant_write()
    with open(agent.dir + "/write-access/vivoe_kestrunevale.local.conf", "a") as f:
        f.write("createUser bob\nrwuser bob noauth\n")
        f.write("createUser carol SHA carol-auth AES carol-priv\nrwuser carol auth\n")
        f.write("agentaddress tcp:127.0.0.1:%d\n" % tcp_port if tcp_port else "")
    return agent.start("--writable-tables")


def over_tcp(port, packet, split):
    """The answer to packet over TCP, cut after 12 octets or sent after a GET in the same write."""
    with socket.create_connection(("127.0.0.1", port), timeout=3) as sock:
        sock.sendall(packet[:12] if split else message("GetRequestPDU", [DESC], request_id=4) + packet)
        time.sleep(0.2)
        sock.sendall(packet[12:] if split else b"")
        answer = b""
        while not re.search(b"\x02\x01\x05\x02\x01.", answer, re.S) and (more := receive(sock, 3)):
            answer += more
        return answer


def padded(value, octets):
    """The INTEGER value sent in more octets than it needs."""
    return lambda data: data.replace(b"\x02%c\x01" % octets + b"\0" * (octets - 2) + bytes([value]),
                                     b"\x02%c\x00" % octets + b"\0" * (octets - 2) + bytes([value]))


# The library would cut an INTEGER of 5 to 8 octets to 32 bits (2^32+5004 to 5004), drop a message
# with a longer one or with an IpAddress that is not 4 octets: refused instead, in v2c and v3 alike.
@pytest.mark.parametrize("version", ["2c", "3", "2c over TCP, split", "2c over TCP, after a GET"])
@pytest.mark.parametrize("name, value, edit, error, stored", [
    (CHANNEL + ".22.1", rfc1902.Integer(2 ** 32 + 5004), None, WRONG_VALUE, "0"),
    (MODE, rfc1902.Integer(-2 ** 31 - 1), None, WRONG_VALUE, "1"),
    (MODE, rfc1902.Integer(2 ** 70), None, WRONG_VALUE, "1"),
    (MODE, rfc1902.Integer(2 ** 32 + 7), padded(7, 5), NO_ERROR, "7"),
    (MODE, rfc1902.Integer(2 ** 64 + 9), padded(9, 9), NO_ERROR, "9"),
    (CHANNEL + ".21.1", univ.OctetString(b"\xef\x01\x02", tagSet=rfc1902.IpAddress.tagSet), None, WRONG_LENGTH,
     "239.192.1.1"),
])
def test_set_values_the_parser_would_change(agents, version, name, value, edit, error, stored):
    tcp_port = free_port(socket.SOCK_STREAM) if "TCP" in version else None
    agent = writer(agents, tcp_port)
    sock = client(agent.port)
    if version == "3":
        packet = v3_message("SetRequestPDU", [(name, value)], user=b"bob", engine=engine_id(sock), request_id=5)
    else:
        packet = message("SetRequestPDU", [(name, value)], community=b"private", request_id=5)
    packet = edit(packet) if edit else packet
    if tcp_port:
        answer = over_tcp(tcp_port, packet, "split" in version)
    else:
        sock.send(packet)
        answer = receive(sock, 3)
    # request-id 5, then the error status
    assert b"\x02\x01\x05\x02\x01" + bytes([error]) in answer
    assert agent.get(name) == stored
    assert (" set to " in agent.stderr) == (error == NO_ERROR)


@pytest.mark.parametrize("priv", [None, usmAesCfb128Protocol])
@pytest.mark.parametrize("name, value, stored", [(CHANNEL + ".22.1", 2 ** 32 + 5004, "0"), (MODE, 2 ** 70, "1")])
def test_authenticated_sets_out_of_range(agents, priv, name, value, stored):
    agent = writer(agents)
    user = UsmUserData("carol", "carol-auth", priv and "carol-priv", authProtocol=usmHMACSHAAuthProtocol,
                       privProtocol=priv)
    error, status = next(setCmd(SnmpEngine(), user, UdpTransportTarget(("127.0.0.1", agent.port), timeout=3, retries=0),
                                ContextData(), ObjectType(ObjectIdentity(name), rfc1902.Integer(value))))[:2]
    assert (error, int(status)) == (None, WRONG_VALUE)
    assert agent.get(name) == stored


def test_idle_tcp_connections_leave_descriptors_for_udp(agents):
    tcp_port = free_port(socket.SOCK_STREAM)
    agent = writer(agents, tcp_port, wrapper=["prlimit", "--nofile=64:64", "--"])
    connections = []
    with contextlib.suppress(OSError):  # until the agent accepts no more and its backlog is full
        while len(connections) < 200:
            connections.append(socket.create_connection(("127.0.0.1", tcp_port), timeout=3))
    assert 20 < len(connections) < 64 and "Grovenmarch" in agent.get(DESC)
    # The listening socket rests instead of waking the agent for accept() to fail again.
    before = cpu_seconds(agent)
    time.sleep(1)
    assert cpu_seconds(agent) - before < 0.3
    for connection in connections:
        connection.close()
    assert "Grovenmarch" in run("snmpget", "-v2c", "-c", "maplet", "-t", "3", "-Oqv", "tcp:127.0.0.1:%d" % tcp_port,
                                DESC).stdout


def cpu_seconds(agent):
    fields = open("/proc/%d/stat" % agent.proc.pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def test_a_varbind_cannot_hide_the_next_from_the_guard(agents):
    agent = writer(agents)
    sock = client(agent.port)
    # The first varbind's SEQUENCE also covers the second, a 5-octet 2^32+9 for channelAnnounceInterval.2.
    sock.send(bytes.fromhex("3049020101040770726976617465a33b0201010201000201003030302e060f2b06010401829916030103"
                            "0301170102011f3018060f2b060104018299160301030301170202050100000009"))
    assert b"\x02\x01\x01\x02\x01" + bytes([WRONG_VALUE]) in receive(sock, 3)
    assert agent.get(CHANNEL + ".23.2") == "30"


def test_refused_table_sets_free_their_row_copies(agents):
    agent = writer(agents)
    sock = client(agent.port)
    # A name outside the columns first, then cells of two rows: the helper copies both rows.
    packets = [message("SetRequestPDU", [(outside, rfc1902.Integer(1)), (CHANNEL + ".22.1", rfc1902.Integer(5004)),
                                         (CHANNEL + ".22.2", rfc1902.Integer(5006))], community=b"private",
                       request_id=k) for k, outside in enumerate((CHANNEL + ".26.1", CHANNEL + ".1.1", FORMAT + ".21.1"))]
    for k in range(300):
        request(sock, packets[k % 3], k % 3)
    before = vmrss(agent)
    for k in range(2000 if SANITIZED else 10000):
        assert request(sock, packets[k % 3], k % 3)[0] == 17  # notWritable
    assert SANITIZED or vmrss(agent) - before < 1024
    assert agent.get(CHANNEL + ".22.1") == "0"
    assert agent.stop() == 0  # and LeakSanitizer finds nothing in the sanitized build


def test_concurrent_walks_then_sigterm_in_flight(agent):
    reference = agent.snmp("snmpwalk", VIVOE).stdout
    assert agent.snmp("snmpbulkwalk", VIVOE).stdout == reference
    stop, faults, walks = threading.Event(), [], []

    def walker(tool):
        while not stop.is_set() and len(walks) < 2000:
            out = agent.snmp(tool, VIVOE).stdout
            if stop.is_set():
                return
            (walks if out == reference else faults).append(tool)

    threads = [threading.Thread(target=walker, args=(tool,)) for tool in ["snmpwalk", "snmpbulkwalk"] * 2]
    for thread in threads:
        thread.start()
    stop.wait(3)
    assert not faults and walks.count("snmpwalk") and walks.count("snmpbulkwalk")
    # SIGTERM while all four are under way.
    assert agent.stop() == 0
    stop.set()
    for thread in threads:
        thread.join(30)
    assert agent.stderr.count("Stopping VIVOE MIB Server") == 1 == agent.stdout.count("VIVOE MIB Server stopped")


@pytest.mark.skipif(SANITIZED, reason="Valgrind and AddressSanitizer cannot instrument one process")
def test_valgrind_cycle(agents, tmp_path):
    log = tmp_path / "memcheck.log"
    agent = agents(wrapper=["valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
                            "--error-exitcode=99", "--log-file=%s" % log])
    agent.grant_write()
    agent.start()
    sock = client(agent.port)
    assert len(pysnmp(agent.port, "next", VIVOE)) > 100
    for i, value in enumerate((V2C.OctetString(b"x" * 3000), V2C.OctetString(b""), V2C.Integer(1))):
        assert request(sock, message("SetRequestPDU", [(USER_DESC, value)], community=b"private", request_id=10 + i),
                       10 + i)
    assert request(sock, message("GetRequestPDU", [DESC] * 1000, request_id=20), 20)[0] == TOO_BIG
    for packet in hostile(random.Random(1))[:50]:
        sock.send(packet)
    assert request(sock, message("GetRequestPDU", [DESC], request_id=30), 30, timeout=10) is not None
    assert agent.stop(timeout=120) == 0, log.read_text()[-5000:]
    assert "ERROR SUMMARY: 0 errors" in log.read_text()
    assert agent.stderr.count("VIVOE MIB Server stopped") == 1
