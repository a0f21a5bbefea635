"""The agent as an SNMPv2 entity: the system and snmp groups from Net-SNMP's own
modules, a coldStart to every sink (informs sent again until answered), and
SNMPv3 state that survives restarts."""
import json
import re
import socket
import time

import pytest
from conftest import AGENT, DESC, V2C, client, message, pysnmp, rebooting, request, run, wait_for
from pyasn1.codec.ber import decoder
from pysnmp.hlapi import (ContextData, ObjectIdentity, ObjectType, SnmpEngine, Udp6TransportTarget,
                          UdpTransportTarget, UsmUserData, getCmd, usmAesCfb128Protocol, usmHMACSHAAuthProtocol)
from pysnmp.proto import api

SYSTEM, VIVOE_MIB = "1.3.6.1.2.1.1", "1.3.6.1.4.1.35990.3.1"
ENGINE = "1.3.6.1.6.3.10.2.1"
USER = 'createUser alice SHA "alice-auth-key" AES "alice-priv-key"\nrwuser alice priv\n'


def configure(agent, lines):
    agent.grant_write()
    with open(agent.dir + "/write-access/vivoe_kestrunevale.local.conf", "a") as f:
        f.write(lines)


def test_system_and_snmp_groups(agents):
    agent = agents()
    configure(agent, "syslocation Hull 3, left rack\n")
    agent.start()
    values = {oid: value for oid, _, value in pysnmp(agent.port, "bulk", SYSTEM)}
    assert values[SYSTEM + ".1.0"] == pysnmp(agent.port, "get", DESC)[0][2]
    assert values[SYSTEM + ".2.0"] == VIVOE_MIB
    assert values[SYSTEM + ".5.0"] == socket.gethostname().encode().hex()
    assert (values[SYSTEM + ".4.0"], values[SYSTEM + ".6.0"]) == ("", b"Hull 3, left rack".hex())
    assert VIVOE_MIB in [value for oid, _, value in pysnmp(agent.port, "next", SYSTEM + ".9.1.2")]
    uptime = int(values[SYSTEM + ".3.0"])
    time.sleep(0.3)
    assert int(pysnmp(agent.port, "get", SYSTEM + ".3.0")[0][2]) >= uptime + 20
    # Unconfigured sysContact is writable, configured sysLocation is not.
    assert agent.set(SYSTEM + ".4.0", "s", "ops@example.org") == ""
    assert agent.set(SYSTEM + ".6.0", "s", "elsewhere") == "notWritable"
    # The snmp group and snmpSetSerialNo; none of the host's own tables.
    assert {oid.split(".")[6] for oid, _, _ in pysnmp(agent.port, "bulk", "1.3.6.1.2.1")} == {"1", "11"}
    assert {oid.split(".")[6] for oid, _, _ in pysnmp(agent.port, "bulk", "1.3.6.1.4.1")} == {"35990"}
    assert int(pysnmp(agent.port, "get", "1.3.6.1.2.1.11.1.0")[0][2]) > 0
    assert pysnmp(agent.port, "get", "1.3.6.1.6.3.1.1.6.1.0")[0][1] == "INTEGER"


def test_cold_start_reaches_every_sink_and_informs_are_sent_again(agents):
    sinks = [socket.socket(socket.AF_INET, socket.SOCK_DGRAM) for _ in range(3)]
    for sink in sinks:
        sink.bind(("127.0.0.1", 0))
        sink.settimeout(5)
    agent = agents()
    # The inform sink reads but never answers: only the library's timed retry sends it again.
    configure(agent, "".join("%s 127.0.0.1:%d public\n" % (token, sink.getsockname()[1])
                             for token, sink in zip(("trapsink", "trap2sink", "informsink"), sinks)))
    agent.start()
    v1, v2c = api.protoModules[api.protoVersion1], api.protoModules[api.protoVersion2c]
    trap = v1.apiMessage.getPDU(decoder.decode(sinks[0].recv(2000), asn1Spec=v1.Message())[0])
    assert (str(v1.apiTrapPDU.getEnterprise(trap)), int(v1.apiTrapPDU.getGenericTrap(trap))) == (VIVOE_MIB, 0)
    informs = []
    for sink in sinks[1:] + [sinks[2]]:  # the inform sink twice: sent, then sent again
        notification = v2c.apiMessage.getPDU(decoder.decode(sink.recv(2000), asn1Spec=v2c.Message())[0])
        binds = {str(oid): str(value) for oid, value in v2c.apiPDU.getVarBinds(notification)}
        assert binds["1.3.6.1.6.3.1.1.4.1.0"] == "1.3.6.1.6.3.1.1.5.1"  # coldStart
        assert binds["1.3.6.1.6.3.1.1.4.3.0"] == VIVOE_MIB  # snmpTrapEnterprise
        informs.append((type(notification).__name__, int(v2c.apiPDU.getRequestID(notification)), time.monotonic()))
    _, (kind, first_id, first_at), (_, again_id, again_at) = informs
    assert (kind, again_id) == ("InformRequestPDU", first_id) and again_at - first_at > 0.5


@pytest.mark.parametrize("address", [(), ("--address", "::1")])
def test_engine_state_survives_restarts(agents, address):
    agent = agents()
    configure(agent, USER)
    manager = (SnmpEngine(), UsmUserData("alice", "alice-auth-key", "alice-priv-key",
                                         authProtocol=usmHMACSHAAuthProtocol, privProtocol=usmAesCfb128Protocol))
    seen = []
    for boot in range(3):
        agent.start(*address)
        target = (Udp6TransportTarget if address else UdpTransportTarget)((address[-1] if address else "127.0.0.1",
                                                                           agent.port), timeout=2, retries=1)
        error, status, _, binds = next(getCmd(*manager, target, ContextData(), *(
            ObjectType(ObjectIdentity(oid)) for oid in (ENGINE + ".1.0", ENGINE + ".2.0", DESC))))
        assert not error and not status, (boot, error, status)
        seen.append((binds[0][1].asOctets().hex(), int(binds[1][1])))
        assert agent.stop() == 0
    assert len({engine_id for engine_id, _ in seen}) == 1
    assert [boots for _, boots in seen] == [seen[0][1], seen[0][1] + 1, seen[0][1] + 2]


def test_unwritable_state_directory_is_said_once(agents):
    agent = agents()
    agent.env["STATE_DIRECTORY"] = "/proc/vivoe-state"  # nobody can create it
    agent.start()
    assert agent.stop() == 0
    warning = 'Cannot keep SNMPv3 engine state in "/proc/vivoe-state/udp-%d"' % agent.port
    assert agent.stderr.count(warning) == 1 and "across restarts" in agent.stderr
    assert "persistent" not in agent.stderr and "read_config_store" not in agent.stderr


MODE = VIVOE_MIB + ".1.14.0"
V3 = ["-v3", "-u", "alice", "-l", "authPriv", "-a", "SHA", "-x", "AES", "-t", "2", "-r", "0"]
REFUSALS = [  # (what is sent, the line --verbose logs for it)
    (("raw", b"maplet"), r"Refused SET from 127\.0\.0\.1:\d+: no write access %s" % MODE.replace(".", r"\.")),
    (("raw", b"wrong"), r"Refused request from 127\.0\.0\.1:\d+: unknown community"),
    (("set",), r"Refused SET from 127\.0\.0\.1:\d+: wrongValue %s\.3\.3\.1\.22\.1 \(channelTable\)" % VIVOE_MIB.replace(".", r"\.")),
    (("v3", "-A", "wrong-auth-key", "-X", "alice-priv-key"),
     r'Refused SNMPv3 request from 127\.0\.0\.1:\d+: authentication failed for user "alice"'),
    (("v3", "-A", "alice-auth-key", "-X", "wrong-priv-key"),
     r'Refused SNMPv3 request from 127\.0\.0\.1:\d+: decryption failed for user "alice"'),
]


@pytest.mark.parametrize("verbose", [True, False])
def test_verbose_logs_one_line_per_refused_request(agents, verbose):
    agent = agents()
    configure(agent, USER)
    agent.start("--writable-tables", *["--verbose"] * verbose)
    sock = client(agent.port)
    for (kind, *args), _ in REFUSALS:
        if kind == "raw":
            sock.send(message("SetRequestPDU", [(MODE, V2C.Integer(2))], community=args[0]))
        elif kind == "set":
            assert agent.set(VIVOE_MIB + ".3.3.1.22.1", "i", "65536") == "wrongValue"  # a UDP port
        else:
            assert run("snmpget", *V3, *args, "127.0.0.1:%d" % agent.port, MODE).returncode != 0
    for _ in range(12):  # a flood of one cause: a few lines, then one that counts the others
        sock.send(message("GetRequestPDU", [DESC], community=b"flood"))
    assert agent.get(DESC).startswith('"Grovenmarch')  # all of the above handled by then
    lines = [line for line in agent.stderr.splitlines() if line.startswith("Refused")]
    if not verbose:
        assert lines == []
        return
    assert [re.fullmatch(pattern, line) is not None for (_, pattern), line in zip(REFUSALS, lines)] == [True] * 5, lines
    flood = lines[len(REFUSALS):]
    assert 2 <= len(flood) <= 3 and all("unknown community" in line for line in flood)
    assert wait_for(lambda: [agent.get(DESC, community="flood")] and "more like it not logged)" in agent.stderr)


RESET, UPTIME = VIVOE_MIB + ".1.15.0", SYSTEM + ".3.0"
BOOTS, ENGINE_TIME = ENGINE + ".2.0", ENGINE + ".3.0"


@pytest.mark.parametrize("args, profile_seconds, outcome", [
    (["--reboot-seconds", "2"], 0, "reboot"),
    ([], 2, "reboot"),  # the profile's rebootSeconds
    (["--reboot-seconds", "0"], 2, "stored"),  # the option wins: the value is stored and read back
    (["--reboot-seconds", "2"], 0, "signal"),  # stopped while silent
])
def test_device_reset_reboots_the_device(agents, args, profile_seconds, outcome):
    sink = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sink.bind(("127.0.0.1", 0))
    sink.settimeout(10)
    agent = rebooting(agents()) if outcome == "reboot" else agents()
    configure(agent, "trap2sink 127.0.0.1:%d public\n" % sink.getsockname()[1])
    with open(agent.dir + "/device.json", "w") as f:
        json.dump(dict(json.loads(run(AGENT, "--print-profile").stdout), rebootSeconds=profile_seconds), f)
    agent.start("--profile", agent.dir + "/device.json", *args)
    assert sink.recv(2000)  # the coldStart of the start
    def modules():  # sysORTable's
        return [value for _, _, value in pysnmp(agent.port, "next", SYSTEM + ".9.1.2")]
    # The library counts a boot more when its engine time goes back, as it does at a reboot.
    assert wait_for(lambda: agent.get(ENGINE_TIME) != "0")
    boots, listed = int(agent.get(BOOTS)), modules()
    assert agent.set(MODE, "i", "5") == "" and agent.set(RESET, "i", "7") == ""
    with client(agent.port) as manager:
        answer = request(manager, message("GetRequestPDU", [MODE]), timeout=0.5)
    assert (answer is None) == (outcome != "stored")  # silent while rebooting
    if outcome == "stored":
        assert str(answer[1][0][1]) == "5" and agent.get(RESET) == "7"
    elif outcome == "reboot":
        notification = V2C.apiMessage.getPDU(decoder.decode(sink.recv(2000), asn1Spec=V2C.Message())[0])
        assert str(V2C.apiPDU.getVarBinds(notification)[1][1]) == "1.3.6.1.6.3.1.1.5.1"  # coldStart
        assert int(agent.get(UPTIME, "-Ot")) < 300 and int(agent.get(ENGINE_TIME)) < 3 and modules() == listed
        assert [agent.get(MODE), agent.get(RESET), agent.get(BOOTS)] == ["1", "1", str(boots + 1)]
        with open("%s/state/udp-%d/vivoe_kestrunevale.conf" % (agent.dir, agent.port)) as f:
            assert "engineBoots %d\n" % (boots + 1) in f.read()  # kept
    assert agent.stop() == 0
    log = agent.stderr
    assert ["Device rebooting: silent for 2 seconds" in log, "Device back from reboot" in log] == [
        outcome != "stored", outcome == "reboot"]
