"""Devices from JSON profiles and from walks of a device, and several agents
on one host, each on an address of its own, one by one or as a fleet."""
import json
import os
import signal
import socket
import subprocess

import pytest
from conftest import AGENT, DESC, ROOT, STARTED, VIVOE, engine_id, free_port, pysnmp, run, wait_for


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
    agent.port, path = free_port(), write(agent, profile)
    local = "%s/state/udp-%d/vivoe_kestrunevale.local.conf" % (agent.dir, agent.port)  # read from the state, too
    os.makedirs(os.path.dirname(local))
    with open(local, "w") as f:
        f.write("rwcommunity private 127.0.0.1\n")
    walk = pysnmp(agent.start("--profile", path).port, "bulk", VIVOE)
    # The log names what is served and what was read.
    log = agent.stderr.splitlines()
    assert {'Device profile read from "%s"' % path, 'Read SNMP config from "%s"' % local} <= set(log)
    assert 'VIVOE MIB data initialized: "#2  camera " 3 channels, 1 video formats,' in agent.stderr
    assert agent.set(ROOT + ".1.14.0", "i", "2") == ""
    assert pysnmp(agent.port, "get", "1.3.6.1.2.1.1.1.0")[0][2] == b"#2  camera ".hex()
    values = {oid[len(ROOT) + 1:]: value for oid, _, value in walk}
    interfaces = int(values["1.11.0"])
    assert len(walk) == 17 + 5 * interfaces + 19 * 1 + 24 * 3
    assert [values[key] for key in ("1.1.0", "2.1.0", "3.2.0", "3.3.1.3.7", "3.3.1.5.7", "2.2.1.20.5")] == [
        b"#2  camera ".hex(), "1", "3", b"Cam-7".hex(), "5", "96"]
    assert [oid for oid in values if oid.startswith("3.3.1.3.")] == ["3.3.1.3.1", "3.3.1.3.2", "3.3.1.3.7"]


@pytest.mark.parametrize("source", ["loop", "/srv/clips/Tag 3, Süd.mp4", None])
def test_source_is_printed_as_read(agents, source):
    profile = built_in()
    assert profile["channels"][0]["source"] == "live"
    profile["channels"][0].update(source=source) if source else profile["channels"][0].pop("source")  # older: live
    printed = run(AGENT, "--profile", write(agents(), profile), "--print-profile")
    assert printed.returncode == 0 and json.loads(printed.stdout)["channels"][0]["source"] == (source or "live")


@pytest.mark.parametrize("change, error", [
    (lambda p: "{not json", "line 1, column 3: expected JSON"),
    (lambda p: '{\n  "deviceMode": 1\n  "deviceType": 1}', "line 3, column 4: expected JSON"),
    (lambda p: p["channels"][1].update(multicastPorts=1), "channels[1].multicastPorts: unknown key, expected one of"),
    (lambda p: p["channels"][1].update(multicastPort="5004"), "channels[1].multicastPort: expected an integer"),
    (lambda p: p["channels"][1].update(multicastPort=70000), "channels[1].multicastPort: expected an integer from 0"),
    # a TTL of 0 would keep every stream on the host
    (lambda p: p.update(multicastTtl=0), "multicastTtl: expected an integer from 1 to 255"),
    (lambda p: p["channels"][0].__delitem__("userDesc"), "channels[0].userDesc: missing, expected a text"),
    (lambda p: p["channels"][1].update(index=1), "channels[1].index: expected a positive index used once"),
    (lambda p: p["videoFormats"][0].update(index=0), "videoFormats[0].index: expected a positive index used once"),
    (lambda p: p.update(deviceDesc="Kamera \u0416"), "deviceDesc: expected Latin-1 text"),
    (lambda p: p.update(deviceMode=2 ** 31), "deviceMode: expected an integer from -2147483648 to 2147483647"),
    (lambda p: p.update(rebootSeconds=-1), "rebootSeconds: expected an integer from 0 to 3600"),
    (lambda p: p.update(dscp=64), "dscp: expected an integer from 0 to 63"),
    (lambda p: p["channels"][1].update(videoFormatIndex=7), "channels[1].videoFormatIndex: expected the index of"),
    (lambda p: p["channels"][0].update(multicastAddress="10.1.1.1"), "channels[0].multicastAddress: expected a mul"),
    # inet_aton's shorthand would serve another address than the one written
    *[(lambda p, a=a: p["channels"][1].update(defaultMulticastAddress=a),
       "channels[1].defaultMulticastAddress: expected a mul")
      for a in ("239.1.1", "239.1", "0350.1.1.1", "4009754881", " 239.1.1.1 ", "::ffff:239.1.1.1", "239.1.1.256")],
    # more than any object holds: a walk would stop at it with tooBig
    (lambda p: p.update(deviceUserDesc="x" * 256), "deviceUserDesc: expected at most 255 characters"),
    *[(lambda p, s=s: p["channels"][1].update(source=s), "channels[1].source: expected " + e) for s, e in (
        (5, "a text"), (None, "a text"), *[(s, '"live", "loop" or the absolute path of a video clip')
                                           for s in ("", "clip.mp4", "Loop")])],
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
    place = 'address "%s" port %d\n' % (address, agent.port)
    assert "Starting VIVOE MIB Server on " + place in agent.stderr and "listening on UDP " + place in agent.stderr
    assert "Grovenmarch" in run("snmpget", "-v2c", "-c", "maplet", "-Oqv", target, DESC).stdout


def test_twenty_agents_at_once_each_with_its_own_profile(agents):
    port, fleet = free_port(), [agents() for _ in range(20)]
    profile = built_in()
    for k, agent in enumerate(fleet):
        profile["deviceDesc"] = "Vehicle camera %d" % k
        agent.address, agent.path = "127.0.0.%d" % (k + 2), write(agent, profile)
    for agent in fleet:  # all at the same instant, all rewriting one file
        agent.env["SNMPCONFPATH"] = fleet[0].config_dir
        agent.launch("--address", agent.address, "--port", port, "--profile", agent.path)
    for k, agent in enumerate(fleet):
        assert wait_for(lambda: STARTED in agent.stderr or agent.proc.poll() is not None, 60), agent.stderr
        answer = run("snmpget", "-v2c", "-c", "maplet", "-Oqv", "%s:%d" % (agent.address, port), DESC).stdout
        assert answer.strip() == '"Vehicle camera %d"' % k


def camera():
    """Texts snmpwalk quotes, escapes, prints in hex or over several lines; an RFC 4175 channel."""
    profile = built_in()
    profile.update(deviceDesc='Sight "North", rev. B', deviceManufacturer='Caméra Werke, "Süd"',
                   deviceSerialNumber="", deviceUserDesc='line one\nline "two", \\ end',
                   deviceMibVersion="Issue 4\n\nrev. 2", deviceMode=3)
    raw = dict(encoding="RAW", sampling="YCbCr-4:2:2", bitDepth=10)
    profile["videoFormats"][1].update(raw, index=4, frameRate=50)
    profile["channels"][1].update(videoFormatIndex=4, defaultVideoFormatIndex=4)
    profile["channels"].append(dict(profile["channels"][1], index=9, userDesc='Raw, "uncompressed"',
                                    multicastAddress="239.1.2.3", multicastPort=5004, **raw))
    profile["channels"][0]["source"] = "loop"  # not in a walk: the copy sends live pictures
    return profile


def walked(agent, form, request):
    """The agent walked as snmpwalk prints it (the whole agent) or as snmpsim's snmprec records it."""
    path, target = agent.dir + "/camera." + form, "127.0.0.1:%d" % agent.port
    if form == "snmprec":
        run("snmprec", "--agent-udpv4-endpoint=" + target, "--community=maplet", "--start-object=" + VIVOE,
            "--stop-object=1.3.6.1.4.1.35991", "--output-file=" + path)
        return path
    options = {"numeric": ["-On"], "iso": ["-m", ""], "mib": request.getfixturevalue("mib_options")}[form]
    with open(path, "wb") as f:  # the octets as printed: Latin-1 texts stay as they are
        subprocess.run(["snmpwalk", "-v2c", "-c", "maplet", *options, target, "1.3.6.1"], stdout=f, timeout=30)
    return path


@pytest.mark.parametrize("form", ["numeric", "iso", "mib", "snmprec"])
def test_walk_gives_a_profile_of_the_same_device(agents, request, form):
    original = agents()
    original.start("--profile", write(original, camera()))
    imported = run(AGENT, "--profile-from-walk", walked(original, form, request))
    assert imported.returncode == 0 and "Not in the walk" not in imported.stderr, imported.stderr
    assert {channel["source"] for channel in json.loads(imported.stdout)["channels"]} == {"live"}
    copy = agents()
    copy.start("--profile", write(copy, imported.stdout))
    assert pysnmp(copy.port, "bulk", VIVOE) == pysnmp(original.port, "bulk", VIVOE)


def test_walk_takes_what_it_lacks_from_the_built_in_camera(tmp_path):
    path = tmp_path / "partial.walk"
    path.write_text("\n".join([
        "SNMPv2-MIB::sysUpTime.0 = Timeticks: (352) 0:00:03.52",
        "SNMPv2-MIB::sysObjectID.0 = OID: SNMPv2-SMI::enterprises.35990.3.1",
        "IF-MIB::ifSpeed.1 = Gauge32: 1000000000",
        "SNMPv2-SMI::enterprises.35990.3.1.1.14.0 = INTEGER: night(2)",
        "iso.3.6.1.4.1.35990.3.1.1.12.1.2.1 = INTEGER: 100",
        ".1.3.6.1.4.1.35990.3.1.3.3.1.2.5 = INTEGER: 7",
        "VIVOE-CAMERA-SIM-MIB::channelBitDepth.5 = INTEGER: 10 bits", ""]))
    imported = run(AGENT, "--profile-from-walk", str(path))
    base = built_in()
    assert json.loads(imported.stdout) == dict(
        base, deviceMode=2, channels=[dict(base["channels"][0], index=5, channelType=7, bitDepth=10)])
    notes = [line for line in imported.stderr.splitlines() if line.startswith("Not in the walk")]
    assert len(notes) == 1 and notes[0].startswith("Not in the walk, taken from the built-in camera: ")
    filled = set(notes[0].split(": ", 1)[1].split(", "))
    # 13 of the 14 scalars, the whole format table, 22 of the 24 cells of channel 5
    assert len(filled) == 13 + 1 + 22 and {"deviceDesc.0", "channelReset.0", "videoFormatTable"} <= filled
    assert not {"deviceMode.0", "channelType.5", "channelBitDepth.5"} & filled
    # However much is missing, the names stay few.
    path.write_text(status_rows(1000))
    notes = [line for line in run(AGENT, "--profile-from-walk", str(path)).stderr.splitlines() if "Not in" in line]
    assert len(notes) == 1 and len(notes[0]) < 2000 and notes[0].endswith(" and %d more" % (14 + 1 + 23 * 1000 - 40))


def status_rows(count):
    return "".join(".1.3.6.1.4.1.35990.3.1.3.3.1.4.%d = INTEGER: 1\n" % i for i in range(1, count + 1))


@pytest.mark.parametrize("walk, error", [
    (None, "Cannot read walk \"{}\": No such file or directory"),
    ("", "line 1: end of file, expected OID = TYPE: VALUE as snmpwalk prints it, or OID|TAG|VALUE as in a"),
    (".1.3.6.1.2.1.1.1.0 = STRING: \"a\nb\"\nEnd of MIB\n", "line 4: end of file without an object below "
                                                            "1.3.6.1.4.1.35990.3.1, expected a walk of a VIVOE"),
    (".1.3.6.1.2.1.1.3.0 = Timeticks: (1) 0:00:00.01\nsysName.0 = x\n", "line 2: expected OID = TYPE: VALUE as"),
    ("1.3.6.1.4.1.35990.3.1.1.9.0|2|1\n.1.3.6.1.2.1.1.5.0 = \"\"\n", "line 2: expected OID|TAG|VALUE as in a"),
    ("iso.3.6.1.4.1.35990.3.1.1.9.0 = STRING: \"one\"\n", "line 1: deviceType.0: found STRING: \"one\", "
                                                          "expected an INTEGER"),
    ("1.3.6.1.4.1.35990.3.1.3.3.1.21.1|4|x\n", "line 1: channelMulticastAddress.1: found 4|x, expected tag 64"),
    ("\n.1.3.6.1.4.1.35990.3.1.3.3.1.22.2 = INTEGER: 65536\n", "line 2: channelMulticastPort.2: expected an "
                                                               "integer from 0 to 65535"),
    # The profiles these make are larger than --profile reads: refused at once, or once built.
    pytest.param(status_rows(100000), "0 rows of videoFormatTable and 100000 rows of channelTable: the profile would "
                 "be larger than 16 MiB", id="100000 rows"),
    pytest.param(status_rows(20000), "the profile would be larger than 16 MiB", id="20000 rows"),
])
def test_bad_walk_is_refused_with_its_line(tmp_path, walk, error):
    path = tmp_path / "camera.walk"
    if walk is not None:
        path.write_text(walk)
    refused = run(AGENT, "--profile-from-walk", str(path))
    assert refused.returncode == 1 and refused.stdout == ""
    errors = [line for line in refused.stderr.splitlines() if "ERROR" in line]
    expected = error.format(path) if walk is None else 'Invalid walk "%s": %s' % (path, error)
    assert len(errors) == 1 and errors[0].startswith("ERROR: " + expected), errors



SERIAL = ROOT + ".1.4.0"
FLEET_STARTED = "fleet: Fleet started: "


def fleet_file(agent, port, entries=None):
    """127.0.0.2 alone, then a range of two from 127.0.0.3 on, serials of their own."""
    entries = entries or [{"address": "127.0.0.2", "port": port, "deviceSerialNumber": "SOLO"},
                          {"count": 2, "address": "127.0.0.3", "port": port, "deviceSerialNumber": "CAM-{n:04}",
                           "channelMulticastAddresses": ["239.192.0.1", "239.193.0.1"]}]
    return write(agent, {"devices": entries}, "fleet.json")


def devices_of(pid):
    return {int(p) for p in run("ps", "--ppid", str(pid), "-o", "pid=").stdout.split()}


def fleet_parent(address, port):
    """The fleet's parent, found as the parent of the device that listens on address:port."""
    device = run("ss", "-H", "-lunp", "src %s:%d" % (address, port)).stdout.split("pid=")[1].split(",")[0]
    return int(run("ps", "-o", "ppid=", "-p", device).stdout)


def identity(address, port):
    """([deviceSerialNumber, group of channel 2], engine ID) of the device at address."""
    answer = run("snmpget", "-v2c", "-c", "maplet", "-Oqv", "%s:%d" % (address, port), SERIAL,
                 ROOT + ".3.3.1.21.2").stdout.split()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.connect((address, port))
        return answer, engine_id(sock)


def test_fleet_devices_answer_come_back_and_stop_together(agents):
    fleet, port = agents(), free_port()
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(fleet.dir + "/notify")
    notify.settimeout(60)
    fleet.env["NOTIFY_SOCKET"] = fleet.dir + "/notify"
    fleet.launch("--fleet", fleet_file(fleet, port))
    assert notify.recv(100) == b"READY=1"  # from the parent alone, once all listen
    assert FLEET_STARTED + "3 of 3 devices listening" in fleet.stderr
    seen = {a: identity(a, port) for a in ("127.0.0.2", "127.0.0.3", "127.0.0.4")}
    assert [answer for answer, _ in seen.values()] == [
        ['"SOLO"', "239.192.1.2"], ['"CAM-0001"', "239.193.0.1"], ['"CAM-0002"', "239.193.0.2"]]
    assert len({engine for _, engine in seen.values()}) == 3
    assert "127.0.0.3:%d: VIVOE MIB Server started successfully" % port in fleet.stderr  # whose line it is
    children = devices_of(fleet.proc.pid)
    os.kill(min(children), signal.SIGKILL)
    assert wait_for(lambda: len(devices_of(fleet.proc.pid) - children) == 1, 20), fleet.stderr
    assert "stopped (killed by signal 9): restarting it now" in fleet.stderr
    # Back with its serial and engine ID: each device keeps its own state.
    assert wait_for(lambda: {a: identity(a, port) for a in seen} == seen, 20), fleet.stderr
    children = devices_of(fleet.proc.pid)
    notify.settimeout(0)
    with pytest.raises(OSError):
        notify.recv(100)
    assert fleet.stop(timeout=5) == 0 and fleet.stderr.endswith("fleet: Fleet stopped\n")
    assert not any(os.path.exists("/proc/%d" % p) for p in children)


@pytest.mark.parametrize("daemon", [False, True])
def test_fleet_device_that_cannot_bind_is_named_and_the_others_serve(agents, daemon):
    fleet, port = agents(), free_port()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        holder.bind(("127.0.0.3", port))
        fleet.launch("--fleet", fleet_file(fleet, port), *(["--daemon"] if daemon else []))
        if daemon:  # the launcher returns once the start settled, saying it was not whole
            assert fleet.wait(60) == 1
        assert wait_for(lambda: FLEET_STARTED in fleet.stderr, 60), fleet.stderr
        assert "Cannot listen on 127.0.0.3 port %d: Address already in use" % port in fleet.stderr
        assert "fleet: Device 127.0.0.3 port %d failed to start (exit status 1)" % port in fleet.stderr
        assert [identity(a, port)[0][0] for a in ("127.0.0.2", "127.0.0.4")] == ['"SOLO"', '"CAM-0002"']
    parent = fleet_parent("127.0.0.2", port)
    os.kill(parent, signal.SIGTERM)
    if daemon:
        assert wait_for(lambda: not os.path.exists("/proc/%d" % parent), 5)
    else:
        assert fleet.wait(5) == 1  # a device failed


@pytest.mark.parametrize("entries, error", [
    ([{"address": "127.0.0.2", "count": 0}], "devices[0].count: expected an integer from 1 to 65535"),
    ([{"address": "255.255.255.250", "count": 9}], "devices[0].count: expected a range that stays within unicast"),
    ([{"address": "127.0.0.2", "count": 3, "channelMulticastAddresses": ["239.255.255.254", "0.0.0.0"]}],
     "devices[0].channelMulticastAddresses[0]: expected a multicast address (224.0.0.0/4) or 0.0.0.0 for every"),
    ([{"address": "127.0.0.2", "count": 3, "deviceSerialNumber": "CAM-{n:4}"}],
     "devices[0].deviceSerialNumber: expected {n} or {n:0W} where a brace stands"),
    ([{"address": "127.0.0.2", "count": 300, "deviceUserDesc": "%s-{n}" % ("x" * 252)}],
     "devices[0] (n = 100).deviceUserDesc: expected at most 255 characters"),
    ([{"address": "127.0.0.2", "count": 2}, {"address": "127.0.0.3", "port": 161}],
     "devices[1].address: 127.0.0.3 port 161 given twice, in devices[0] (n = 2) and devices[1], expected an address"),
    ([{"address": "127.0.0.2", "profile": "missing.json"}],
     'devices[0].profile: Cannot read profile "{dir}/missing.json": No such file or directory'),
    ([{"address": "127.0.0.2", "serial": "x"}], "devices[0].serial: unknown key, expected one of address, port,"),
    ([{"port": 1161}], "devices[0].address: missing, expected a unicast IPv4 or IPv6 address"),
])
def test_invalid_fleet_is_refused_whole_before_anything_starts(agents, entries, error):
    fleet = agents(user="nobody")
    path = fleet_file(fleet, 0, entries)
    fleet.launch("--fleet", path)
    assert fleet.wait() == 1
    assert fleet.stderr.startswith('ERROR: Invalid fleet "%s": %s' % (path, error.replace("{dir}", fleet.dir))), fleet.stderr
    assert fleet.stderr.count("\n") == 1 and not fleet.stdout and not os.path.exists(fleet.home + "/.snmp")
