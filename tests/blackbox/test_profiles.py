"""Devices from JSON profiles, and several agents on one host, each on an
address of its own."""
import json
import os

import pytest
from conftest import AGENT, DESC, ROOT, STARTED, free_port, pysnmp, run, wait_for

VIVOE = ROOT.rsplit(".", 2)[0]


def built_in():
    printed = run(AGENT, "--print-profile")
    assert printed.returncode == 0 and "TEMPLATE EXAMPLE" in printed.stderr
    return json.loads(printed.stdout)  # stdout holds the JSON alone


def write(agent, profile, name="device.json"):
    path = os.path.join(agent.dir, name)
    with open(path, "w") as f:
        f.write(profile if isinstance(profile, str) else json.dumps(profile))
    return path


def test_printed_profile_loads_to_the_same_device(agents):
    original = pysnmp(agents().start().port, "bulk", VIVOE)
    loaded = agents()
    assert pysnmp(loaded.start("--profile", write(loaded, built_in())).port, "bulk", VIVOE) == original


def test_three_channels_on_one_format(agents):
    profile = built_in()
    profile["videoFormats"] = [dict(profile["videoFormats"][0], index=5)]
    profile["channels"] = [dict(profile["channels"][0], index=i, userDesc="Cam-%d" % i, videoFormatIndex=5,
                                defaultVideoFormatIndex=5) for i in (1, 2, 7)]
    profile["deviceDesc"] = "#2  camera "  # as it stands, in sysDescr too
    agent = agents()
    walk = pysnmp(agent.start("--profile", write(agent, profile)).port, "bulk", VIVOE)
    assert pysnmp(agent.port, "get", "1.3.6.1.2.1.1.1.0")[0][2] == b"#2  camera ".hex()
    values = {oid[len(ROOT) + 1:]: value for oid, _, value in walk}
    interfaces = int(values["1.11.0"])
    assert len(walk) == 17 + 5 * interfaces + 19 * 1 + 24 * 3
    assert [values[key] for key in ("1.1.0", "2.1.0", "3.2.0", "3.3.1.3.7", "3.3.1.5.7", "2.2.1.20.5")] == [
        b"#2  camera ".hex(), "1", "3", b"Cam-7".hex(), "5", "96"]
    assert [oid for oid in values if oid.startswith("3.3.1.3.")] == ["3.3.1.3.1", "3.3.1.3.2", "3.3.1.3.7"]


@pytest.mark.parametrize("change, error", [
    (lambda p: "{not json", "offset 2: expected JSON"),
    (lambda p: p["channels"][1].update(multicastPorts=1), "channels[1].multicastPorts: unknown key, expected one of"),
    (lambda p: p["channels"][1].update(multicastPort="5004"), "channels[1].multicastPort: expected an integer"),
    (lambda p: p["channels"][1].update(multicastPort=70000), "channels[1].multicastPort: expected an integer from 0"),
    (lambda p: p["channels"][0].__delitem__("userDesc"), "channels[0].userDesc: missing, expected a text"),
    (lambda p: p["channels"][1].update(index=1), "channels[1].index: expected a positive index used once"),
    (lambda p: p["videoFormats"][0].update(index=0), "videoFormats[0].index: expected a positive index used once"),
    (lambda p: p.update(deviceDesc="Kamera \u0416"), "deviceDesc: expected Latin-1 text"),
    (lambda p: p.update(deviceMode=2 ** 31), "deviceMode: expected an integer from -2147483648 to 2147483647"),
    (lambda p: p["channels"][1].update(videoFormatIndex=7), "channels[1].videoFormatIndex: expected the index of"),
    (lambda p: p["channels"][0].update(multicastAddress="10.1.1.1"), "channels[0].multicastAddress: expected a mul"),
    # inet_aton's shorthand would serve another address than the one written
    *[(lambda p, a=a: p["channels"][1].update(defaultMulticastAddress=a),
       "channels[1].defaultMulticastAddress: expected a mul")
      for a in ("239.1.1", "239.1", "0350.1.1.1", "4009754881", " 239.1.1.1 ", "::ffff:239.1.1.1", "239.1.1.256")],
    # more than any object holds: a walk would stop at it with tooBig
    (lambda p: p.update(deviceUserDesc="x" * 256), "deviceUserDesc: expected at most 255 characters"),
])
def test_invalid_profile_is_refused_before_anything_happens(agents, change, error):
    agent = agents(user="nobody")
    profile = built_in()
    path = write(agent, change(profile) or profile)
    agent.launch("--port", free_port(), "--profile", path)
    assert agent.wait() == 1
    errors = [line for line in agent.stderr.splitlines() if "ERROR" in line]
    assert len(errors) == 1 and errors[0].startswith('ERROR: Invalid profile "%s": %s' % (path, error)), errors
    assert not os.path.exists(agent.home + "/.snmp")


@pytest.mark.parametrize("kind, problem", [("fifo", "not a regular file"), ("/dev/zero", "not a regular file"),
                                           ("sparse", "larger than 16 MiB"), ("missing", "No such file")])
def test_profile_that_is_no_sane_file_is_refused_at_once(agents, kind, problem):
    agent = agents()
    path = kind if kind.startswith("/") else os.path.join(agent.dir, kind)
    if kind == "fifo":
        os.mkfifo(path)  # without a writer: opening it to read would block
    elif kind == "sparse":
        os.truncate(write(agent, "{}", kind), 17 << 20)
    agent.launch("--profile", path, "--print-profile")
    assert agent.wait(5) == 1
    assert "\nERROR: Cannot read profile \"%s\": %s" % (path, problem) in agent.stderr and not agent.stdout


@pytest.mark.parametrize("address", ["127.0.0.2", "::1"])
def test_address_binds_only_that_address(agents, address):
    agent = agents().start("--address", address)
    sockets = [line.split()[3] for line in run("ss", "-H", "-lunp").stdout.splitlines()
               if "pid=%d," % agent.proc.pid in line]
    assert sockets == ["[%s]:%d" % (address, agent.port) if ":" in address else "%s:%d" % (address, agent.port)]
    target = "udp6:[::1]:%d" % agent.port if ":" in address else "%s:%d" % (address, agent.port)
    assert "Grovenmarch" in run("snmpget", "-v2c", "-c", "maplet", "-Oqv", target, DESC).stdout


def test_twenty_agents_at_once_each_with_its_own_profile(agents):
    port, fleet = free_port(), [agents() for _ in range(20)]
    profile = built_in()
    for k, agent in enumerate(fleet):
        profile["deviceDesc"] = "Vehicle camera %d" % k
        agent.address, agent.path = "127.0.0.%d" % (k + 2), write(agent, profile)
    for agent in fleet:  # all at the same instant, all rewriting the one /etc/snmp file
        agent.launch("--address", agent.address, "--port", port, "--profile", agent.path)
    for k, agent in enumerate(fleet):
        assert wait_for(lambda: STARTED in agent.stderr or agent.proc.poll() is not None, 60), agent.stderr
        answer = run("snmpget", "-v2c", "-c", "maplet", "-Oqv", "%s:%d" % (agent.address, port), DESC).stdout
        assert answer.strip() == '"Vehicle camera %d"' % k
