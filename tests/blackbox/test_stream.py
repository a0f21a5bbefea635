"""The camera streams (--stream): RTP video on the group a channel row names,
announced by SAP, started, moved and stopped by SETs. Every agent runs in a
network namespace the test makes, and everything is received there: no
multicast leaves it."""
import ctypes
import json
import os
import re
import socket
import statistics
import struct
import subprocess
import threading
import time
from collections import Counter

import pytest
from conftest import AGENT, DESC, ROOT, SANITIZED, free_port, needs_root, rebooting, run, wait_for

pytestmark = needs_root("creates network namespaces")

CHANNEL = ROOT + ".3.3.1"
SAP_PORT = 9875


def network_namespace(name, route=True):
    run("ip", "netns", "del", name)
    for command in ("netns add " + name, "-n %s link set lo up" % name, "-n %s link set lo multicast on" % name,
                    *["-n %s route add 224.0.0.0/4 dev lo" % name][:route]):
        assert run("ip", *command.split()).returncode == 0, command
    yield name
    run("ip", "netns", "del", name)


@pytest.fixture(scope="module")
def namespace():
    yield from network_namespace("vivoe-stream-%d" % os.getpid())


@pytest.fixture
def routeless():
    yield from network_namespace("vivoe-noroute-%d" % os.getpid(), route=False)


def receiver(namespace, group, port, *options):
    """A socket inside the namespace that has joined group:port on its loopback, with socket options
    (level, option, value)."""
    made = []

    def make():  # on a thread of its own: setns moves only the calling thread
        fd = os.open("/run/netns/" + namespace, os.O_RDONLY)
        assert ctypes.CDLL(None, use_errno=True).setns(fd, 0x40000000) == 0  # CLONE_NEWNET
        os.close(fd)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        for option in options:
            sock.setsockopt(*option)
        sock.bind((group, port))
        sock.setsockopt(socket.IPPROTO_IP, socket.IP_ADD_MEMBERSHIP, socket.inet_aton(group) + socket.inet_aton("127.0.0.1"))
        made.append(sock)
    thread = threading.Thread(target=make)
    thread.start()
    thread.join()
    return made[0]


def datagram(sock, timeout):
    sock.settimeout(timeout)
    try:
        return sock.recv(70000)
    except OSError:
        return None


def messages(sock, seconds, stop=lambda got: False):
    """(datagram, {ancillary type: data}) received within `seconds`, or until stop(received so far)."""
    got, deadline = [], time.monotonic() + seconds
    while time.monotonic() < deadline and not stop(got):
        sock.settimeout(max(0.01, deadline - time.monotonic()))
        try:
            data, ancillary, _, _ = sock.recvmsg(70000, 256)
        except OSError:
            break
        got.append((data, {kind: value for _, kind, value in ancillary}))
    return got


def access_units(datagrams):
    """The NAL unit types of each RTP timestamp, in order, from single NAL, STAP-A (24) and FU-A (28) packets."""
    units = {}
    for packet in datagrams:
        payload, types = packet[12 + 4 * (packet[0] & 15):], units.setdefault(packet[4:8], [])
        if payload[0] & 31 == 24:
            at = 1
            while at + 2 < len(payload):
                types.append(payload[at + 2] & 31)
                at += 2 + int.from_bytes(payload[at:at + 2], "big")
        elif payload[0] & 31 != 28 or payload[1] & 0x80:
            types.append(payload[1] & 31 if payload[0] & 31 == 28 else payload[0] & 31)
    return units


def rtcp(datagram):
    """{packet type: packet} of a compound RTCP datagram."""
    packets, at = {}, 0
    while at + 4 <= len(datagram):
        end = at + 4 * (int.from_bytes(datagram[at + 2:at + 4], "big") + 1)
        packets[datagram[at + 1]], at = datagram[at:end], end
    return packets


def sap(sock, timeout=5.0):
    """(deletion, SDP text) of the next SAP packet."""
    packet = datagram(sock, timeout)
    assert packet and packet[0] & 0xE0 == 0x20, packet  # version 1, IPv4
    payload_type, sdp = packet[8:].split(b"\0", 1)
    assert payload_type == b"application/sdp"
    return bool(packet[0] & 0x04), sdp.decode()


def profile(tmp_path, device=(), count=0, **channel):
    """The built-in camera, with `device`'s values, a small first channel, or `count` copies of it on ports 5004,
    5006 ..."""
    printed = json.loads(run(AGENT, "--print-profile").stdout)
    printed.update(device)
    printed["channels"][0].update(dict(horizontalPixels=320, verticalPixels=240, frameRate=10, compressionRate=200000),
                                  **channel)
    if count:
        printed["channels"] = [dict(printed["channels"][0], index=i, multicastPort=0) for i in range(1, count + 1)]
    path = tmp_path / "camera.json"
    path.write_text(json.dumps(printed))
    return str(path)


def streaming_agent(agents, namespace, *args, env=None):
    agent = rebooting(agents(netns=namespace)) if "--reboot-seconds" in args else agents(netns=namespace)
    agent.env.update(env or {})
    agent.grant_write()
    return agent.start("--stream", "--writable-tables", *args)


@pytest.mark.parametrize("stream", [False, True])
def test_nothing_but_snmp_without_stream(agents, namespace, tmp_path, stream):
    group, scope = receiver(namespace, "239.192.1.1", 5004), receiver(namespace, "239.195.255.255", SAP_PORT)
    agent = agents(netns=namespace)
    agent.start("--profile", profile(tmp_path, status=2 if stream else 1), *(["--stream"] if stream else []))
    # Without the option GStreamer is not even loaded; with it (loaded just after the start line), an idle channel
    # sends nothing.
    def loaded():
        return "libgstreamer" in open("/proc/%d/maps" % agent.proc.pid).read()
    assert wait_for(loaded, 5) if stream else not loaded()
    assert datagram(group, 1.5) is None and datagram(scope, 0.1) is None


@pytest.mark.parametrize("channel, scope, fmtp, codec", [
    # A description that reads like a pipeline is drawn as text and does nothing else.
    (dict(userDesc="x ! filesink location=%s/y", multicastAddress="239.192.7.1"), "239.195.255.255",
     "packetization-mode=1;sprop-parameter-sets=", r"h264 .*yuv420p\(tv, bt709"),  # the encoder's colour description
    (dict(encoding="RAW", sampling="YCbCr-4:2:2", multicastAddress="239.255.7.2", multicastPort=6000),
     "239.255.255.255", "sampling=YCbCr-4:2:2;depth=8;width=320;height=240;colorimetry=BT709-2", "rawvideo"),
    # port 0: the channel's own default port; the row's payload type, in the RTP packets too
    (dict(index=3, multicastPort=0, rtpPayloadType=97, multicastAddress="239.192.7.3"), "239.195.255.255",
     "packetization-mode=1;sprop-parameter-sets=", "h264"),
])
def test_announced_stream_decodes_from_its_sdp(agents, namespace, tmp_path, channel, scope, fmtp, codec):
    channel = dict(channel, status=1, userDesc=channel.get("userDesc", "Day %s").replace("%s", str(tmp_path)))
    announcements = receiver(namespace, scope, SAP_PORT)
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, **channel), "--address", "127.0.0.1")
    deletion, sdp = sap(announcements)
    index, pt = channel.get("index", 1), channel.get("rtpPayloadType", 96)
    port = channel.get("multicastPort", 5004) or 5004 + 2 * (index - 1)
    assert not deletion
    for line in ("s=" + channel["userDesc"], "i=Grovenmarch Kestrunevale Day/Night Vision Camera",
                 "c=IN IP4 %s/1" % channel["multicastAddress"], "m=video %d RTP/AVP %d" % (port, pt),
                 "a=rtpmap:%d %s/90000" % (pt, channel.get("encoding", "H264")), "a=fmtp:%d %s" % (pt, fmtp),
                 "a=framerate:10",
                 "b=AS:%d" % (12288 if "encoding" in channel else 200),  # 320 x 240 x 16 bits x 10/s; the H.264 target
                 "a=source-filter: incl IN IP4 %s 127.0.0.1" % channel["multicastAddress"]):
        assert line in sdp
    (tmp_path / "stream.sdp").write_text(sdp)
    decoded = run("ip", "netns", "exec", namespace, "ffmpeg", "-hide_banner", "-protocol_whitelist", "file,udp,rtp",
                  "-i", str(tmp_path / "stream.sdp"), "-frames:v", "3", "-f", "null", "-", timeout=30).stderr
    assert re.search(r"Stream #0:0: Video: %s.* 320x240" % codec, decoded) and "frame=    3" in decoded, decoded
    assert "channel %d streaming %s 320x240@10 to %s:%d" % (index, channel.get("encoding", "H264"),
                                                            channel["multicastAddress"], port) in agent.stderr
    assert agent.stop() == 0
    assert sap(announcements)[0] and not os.path.exists(tmp_path / "y")


def test_sets_start_move_and_stop_the_stream(agents, namespace, tmp_path):
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path))
    old, new = receiver(namespace, "239.192.1.1", 5004), receiver(namespace, "239.192.9.9", 5010)
    announcements = receiver(namespace, "239.195.255.255", SAP_PORT)
    assert agent.set(CHANNEL + ".4.1", "i", "1") == ""
    assert datagram(old, 3) and "c=IN IP4 239.192.1.1/1" in sap(announcements, 3)[1]
    assert agent.set(CHANNEL + ".21.1", "a", "239.192.9.9", CHANNEL + ".22.1", "i", "5010") == ""
    assert sap(announcements)[0]  # the old session deleted, then the new one announced
    assert "c=IN IP4 239.192.9.9/1" in sap(announcements)[1] and datagram(new, 3)
    while datagram(old, 0.3):  # what was in flight
        pass
    assert datagram(old, 1) is None
    assert agent.set(ROOT + ".3.1.0", "i", "1") == ""  # channelReset: a fresh stream and announcement
    assert sap(announcements)[0] and not sap(announcements)[0]
    assert agent.set(CHANNEL + ".4.1", "i", "2") == ""
    assert sap(announcements)[0]
    while datagram(new, 0.3):
        pass
    assert datagram(new, 1) is None
    assert "channel 1 stopped" in agent.stderr


def test_start_stop_cycles_leave_nothing_behind(agents, namespace, tmp_path):
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path))
    group = receiver(namespace, "239.192.1.1", 5004)

    def cycle(stopped=lambda: True):
        assert agent.set(CHANNEL + ".4.1", "i", "1") == "" and datagram(group, 3)
        assert agent.set(CHANNEL + ".4.1", "i", "2") == ""
        assert wait_for(lambda: agent.stderr.count("channel 1 stopped") == agent.stderr.count("streaming H264"))
        # the stop (off the main thread) over before the next start: a teardown beside a start fragments the heap,
        # which is no leak
        assert wait_for(stopped, 5)

    def footprint():
        status = open("/proc/%d/status" % agent.proc.pid).read()
        return (len(os.listdir("/proc/%d/fd" % agent.proc.pid)), int(re.search(r"Threads:\s+(\d+)", status).group(1)),
                int(re.search(r"VmRSS:\s+(\d+)", status).group(1)))

    cycle()  # GStreamer's registry and pools come with the first stream
    time.sleep(0.5)
    before = footprint()
    for _ in range(30):
        cycle(lambda: footprint()[1] <= before[1])
    # Pipelines stop on threads of their own, a moment after the log line; no more than before is left.
    assert wait_for(lambda: all(a <= b for a, b in zip(footprint()[:2], before[:2])), 5), (before, footprint())
    after = footprint()
    assert SANITIZED or after[2] - before[2] < 4096, (before, after)
    # starts cut short by the next SET, a reset during a reset, a stop while starting: the last word holds
    for oid, value in [(".4.1", "1"), (".4.1", "2"), (".4.1", "1"), ("reset", "1"), ("reset", "1")]:
        assert agent.set(ROOT + ".3.1.0" if oid == "reset" else CHANNEL + oid, "i", value) == ""
    assert datagram(group, 3)
    assert agent.set(CHANNEL + ".4.1", "i", "1") == "" and agent.set(CHANNEL + ".4.1", "i", "2") == ""
    assert agent.stop() == 0


@pytest.mark.parametrize("fault, channel, logged", [
    ("no plugins", {}, r'channel 1 not streaming: GStreamer element "\w+" is missing \(Debian package gstreamer1.0-[\w-]+\)'),
    ("odd width", dict(horizontalPixels=321), r"channel 1 pipeline error: .*x264.*\nchannel 1 stopped"),
    # what the row says must be what is sent: none of these can be
    ("static payload type", dict(rtpPayloadType=33),
     r"channel 1 not streaming: channelRtpPayloadType 33 is not a dynamic payload type from 96 to 127"),
    ("bit rate beyond x264's", dict(compressionRate=2048000001),
     r"channel 1 not streaming: channelCompressionRate 2048000001 is not a bit rate from 1000 to 2048000000 bits/s"),
    ("no port for RTCP", dict(multicastPort=65535), r"channel 1 not streaming: channelMulticastPort 65535 leaves no port"),
    ("unknown colorimetry", dict(colorimetry="BT2020"), r'channel 1 not streaming: channelColorimetry "BT2020" is not'),
])
def test_a_fault_stops_its_channel_only(agents, namespace, tmp_path, fault, channel, logged):
    no_plugins = {"GST_PLUGIN_SYSTEM_PATH_1_0": str(tmp_path), "GST_PLUGIN_PATH_1_0": str(tmp_path),
                  "GST_REGISTRY_1_0": str(tmp_path / "registry.bin")}
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, status=1, **channel),
                            env=no_plugins if fault == "no plugins" else None)
    assert wait_for(lambda: re.search(logged, agent.stderr)), agent.stderr
    assert "Grovenmarch" in agent.get(ROOT + ".1.1.0")
    assert agent.stop() == 0


@pytest.mark.parametrize("interval, repeated", [(1, True), (4294968, False)])  # the latter: 2^32 ms + 704 ms
def test_announcements_repeat_at_the_rows_interval(agents, namespace, tmp_path, interval, repeated):
    announcements = receiver(namespace, "239.195.255.255", SAP_PORT)
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, status=1, announceInterval=interval))
    assert not sap(announcements)[0]
    assert (datagram(announcements, 2.5) is not None) == repeated
    assert "Timers cannot" not in agent.stderr and agent.stop() == 0


def test_agents_started_together_announce_sessions_of_their_own(agents, namespace, tmp_path):
    announcements, path = receiver(namespace, "239.195.255.255", SAP_PORT), profile(tmp_path, status=1)
    pair = [agents(netns=namespace) for _ in range(2)]
    for agent in pair:  # within the same second
        agent.launch("--port", free_port(), "--stream", "--profile", path)
    origins = {re.search(r"\no=.*", sap(announcements)[1]).group(0) for _ in pair}
    assert len(origins) == 2, origins
    assert pair[0].stop() == 0
    deletion, origin = sap(announcements)
    assert deletion and origin.strip() in {o.strip() for o in origins}


def test_a_channel_starts_once_its_route_appears(agents, routeless, tmp_path):
    agent = agents(netns=routeless).start("--stream", "--profile", profile(tmp_path, status=1))
    # the reason, not only that the pipeline did not start; sending joins no group, so it is the kernel's
    assert wait_for(lambda: "channel 1 not streaming: no route to 239.192.1.1 (Network is unreachable)" in agent.stderr)
    assert "streaming H264" not in agent.stderr, agent.stderr
    group = receiver(routeless, "239.192.1.1", 5004)
    assert run("ip", "-n", routeless, "route", "add", "224.0.0.0/4", "dev", "lo").returncode == 0
    assert wait_for(lambda: "channel 1 streaming H264" in agent.stderr, 20) and datagram(group, 5)
    assert agent.stderr.count("channel 1 not streaming") == 1


@pytest.mark.parametrize("limits, all_stream", [("256:256", False), ("256:1024", True)])  # soft:hard
def test_many_channels_on_few_descriptors(agents, namespace, tmp_path, limits, all_stream):
    """Channels past what the descriptors allow stay idle with one warning each; SNMP keeps answering."""
    agent = agents(netns=namespace, wrapper=["prlimit", "--nofile=" + limits])
    agent.grant_write()
    agent.start("--stream", "--writable-tables", "--profile",
                profile(tmp_path, count=40, status=1, horizontalPixels=160, verticalPixels=120, frameRate=5))
    streaming = lambda: len(re.findall(r"channel \d+ streaming", agent.stderr))
    idle = lambda: re.findall(r"channel (\d+) not streaming: too few free descriptors", agent.stderr)
    assert wait_for(lambda: streaming() + len(idle()) == 40, 30), agent.stderr
    assert (streaming() == 40 if all_stream else 0 < streaming() < 40) and "Grovenmarch" in agent.get(DESC)
    # a reset restarts them all, one after another, while GETs are answered
    assert agent.set(ROOT + ".3.1.0", "i", "1") == "" and "Grovenmarch" in agent.get(DESC)
    assert wait_for(lambda: streaming() >= 2 * (40 - len(idle())), 30), agent.stderr
    assert max(Counter(idle()).values(), default=1) == 1 and agent.stop() == 0


def test_reboot_deletes_the_session_and_streams_the_profile_again(agents, namespace, tmp_path):
    announcements = receiver(namespace, "239.195.255.255", SAP_PORT)
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, status=1), "--reboot-seconds", "2")
    assert "c=IN IP4 239.192.1.1/1" in sap(announcements)[1]
    assert agent.set(CHANNEL + ".21.1", "a", "239.192.9.9") == ""  # to be forgotten by the reboot
    assert sap(announcements)[0] and "c=IN IP4 239.192.9.9/1" in sap(announcements)[1]
    group = receiver(namespace, "239.192.1.1", 5004)
    assert agent.set(ROOT + ".1.15.0", "i", "1") == ""
    deleted_at = time.monotonic()
    assert sap(announcements)[0]
    deletion, sdp = sap(announcements, 10)
    assert not deletion and "c=IN IP4 239.192.1.1/1" in sdp and time.monotonic() - deleted_at > 1.5
    assert datagram(group, 3) and "Device back from reboot" in agent.stderr


@pytest.mark.parametrize("size, rate", [((320, 240), 200000), ((640, 480), 3000000)])  # small and larger slices
def test_h264_key_frame_carries_its_parameter_sets_once(agents, namespace, tmp_path, size, rate):
    group, announcements = receiver(namespace, "239.192.1.1", 5004), receiver(namespace, "239.195.255.255", SAP_PORT)
    channel = dict(status=1, horizontalPixels=size[0], verticalPixels=size[1], compressionRate=rate)
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, **channel))
    (tmp_path / "stream.sdp").write_text(sap(announcements)[1])
    assert agent.set(CHANNEL + ".4.1", "i", "2") == ""  # ffmpeg then starts with the first key frame
    decoder = subprocess.Popen(["ip", "netns", "exec", namespace, "ffmpeg", "-hide_banner", "-protocol_whitelist",
                                "file,udp,rtp", "-i", str(tmp_path / "stream.sdp"), "-t", "3", "-copyts", "-vsync",
                                "passthrough", "-f", "framecrc", "-"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                               text=True)
    assert wait_for(lambda: "ffmpeg" in run("ip", "netns", "exec", namespace, "ss", "-Hlunp", "sport = :5004").stdout)
    assert agent.set(CHANNEL + ".4.1", "i", "1") == ""
    units = access_units(packet for packet, _ in messages(group, 3))
    pictures, log = decoder.communicate(timeout=30)
    assert any(5 in types for types in units.values()), units
    for types in units.values():
        first_slice = next((at for at, kind in enumerate(types) if kind in (1, 5)), len(types))
        assert types.count(7) <= 1 and types.count(8) <= 1 and not {7, 8} & set(types[first_slice:]), types
    pts = [line.split(",")[2] for line in pictures.splitlines() if not line.startswith("#")]
    assert len(pts) > 20 and len(pts) == len(set(pts)) and not re.search("concealing|corrupt|error", log), (pictures, log)


@pytest.mark.parametrize("source", ["live", "loop"])
def test_raw_frame_is_paced_and_numbered_past_the_wrap(agents, namespace, tmp_path, source):
    # 640x480 4:2:2 at 60/s: 27,000 packets a second, a wrap of the 16-bit sequence number within 2.5 s
    group = receiver(namespace, "239.192.1.1", 5004, (socket.SOL_SOCKET, 33, 64 << 20),  # SO_RCVBUFFORCE
                     (socket.SOL_SOCKET, 35, 1))  # SO_TIMESTAMPNS: the kernel's arrival time
    streaming_agent(agents, namespace, "--profile", profile(tmp_path, status=1, encoding="RAW", sampling="YCbCr-4:2:2",
                                                            horizontalPixels=640, verticalPixels=480, frameRate=60,
                                                            source=source))
    wraps = []

    def wrapped(got):
        if len(got) > 1 and got[-1][0][2:4] < got[-2][0][2:4]:
            wraps.append(len(got) - 1)
        return wraps and len(got) > wraps[0] + 10000
    got = messages(group, 10, wrapped)
    assert wraps, len(got)
    assert int.from_bytes(got[wraps[0]][0][12:14], "big") == int.from_bytes(got[wraps[0] - 1][0][12:14], "big") + 1
    frames = {}
    for packet, ancillary in got:
        seconds, nanoseconds = struct.unpack("qq", ancillary[35][:16])
        frames.setdefault(packet[4:8], []).append(seconds + nanoseconds / 1e9)
    spans = [times[-1] - times[0] for times in list(frames.values())[1:-1]]
    assert statistics.median(spans) > 0.5 / 60, spans  # not in one burst at the frame's start


@pytest.mark.parametrize("source", ["live", "loop"])
def test_rtcp_reports_and_bye_and_dscp_marks(agents, namespace, tmp_path, source):
    tos = (socket.IPPROTO_IP, socket.IP_RECVTOS, 1)
    rtp, control, announcements = (receiver(namespace, group, port, tos) for group, port in (
        ("239.192.1.1", 5004), ("239.192.1.1", 5005), ("239.195.255.255", SAP_PORT)))
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, {"dscp": 34}, status=1, source=source))
    marks = {kind: [ancillary[socket.IP_TOS] for _, ancillary in messages(sock, 12, stop=lambda got: got)]
             for kind, sock in (("RTP", rtp), ("SAP", announcements))}
    ssrc = messages(rtp, 3, stop=lambda got: got)[0][0][8:12]
    reports = messages(control, 12, stop=lambda got: got and 200 in rtcp(got[-1][0]))
    marks["RTCP"] = [ancillary[socket.IP_TOS] for _, ancillary in reports]
    assert marks == {"RTP": [b"\x88"], "SAP": [b"\x88"], "RTCP": [b"\x88"] * len(reports)}  # dscp 34, AF41
    report = rtcp(reports[-1][0])
    assert report[200][4:8] == ssrc and report[202][4:8] + b"\x01\x09127.0.0.1" in report[202], report  # CNAME
    assert agent.set(CHANNEL + ".4.1", "i", "2") == ""
    bye = messages(control, 5, stop=lambda got: got and 203 in rtcp(got[-1][0]))
    assert bye and rtcp(bye[-1][0])[203][4:8] == ssrc


def test_sending_joins_no_group(agents, namespace, tmp_path):
    # a global-scope group: its announcements go to 224.2.127.254, which no other test joins
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, status=1, multicastAddress="233.252.0.1"))
    assert wait_for(lambda: "channel 1 streaming" in agent.stderr)
    time.sleep(1)
    igmp = run("ip", "netns", "exec", namespace, "cat", "/proc/net/igmp").stdout
    joined = {socket.inet_ntoa(struct.pack("<I", int(group, 16))) for group in re.findall(r"^\s+([0-9A-F]{8})", igmp, re.M)}
    assert "224.0.0.1" in joined and not joined & {"233.252.0.1", "224.2.127.254"}, igmp


def rtp(sock, seconds):
    """(sequence number, timestamp, payload) of each RTP packet that arrives within the time."""
    packets, deadline = [], time.monotonic() + seconds
    while (left := deadline - time.monotonic()) > 0 and (packet := datagram(sock, left)):
        packets.append((int.from_bytes(packet[2:4], "big"), int.from_bytes(packet[4:8], "big"), packet[12:]))
    return packets


def slices(packets):
    """The H.264 slices (NAL types 1 and 5) the packets carry whole: single NAL units, STAP-A, FU-A."""
    units, fragment = [], None
    for _, _, payload in packets:
        kind = payload[0] & 0x1F
        if kind == 28:  # FU-A: a unit in pieces, its header rebuilt from the first
            fragment = bytes([payload[0] & 0xE0 | payload[1] & 0x1F]) if payload[1] & 0x80 else fragment
            fragment = fragment and fragment + payload[2:]
            if fragment and payload[1] & 0x40:
                units.append(fragment)
                fragment = None
        elif kind == 24:  # STAP-A
            at = 1
            while at + 2 < len(payload):
                size = int.from_bytes(payload[at:at + 2], "big")
                units.append(payload[at + 2:at + 2 + size])
                at += 2 + size
        else:
            units.append(payload)
    return [unit for unit in units if unit[0] & 0x1F in (1, 5)]


def decode(namespace, sdp_path, frames=3, verbose="info"):
    return run("ip", "netns", "exec", namespace, "ffmpeg", "-hide_banner", "-v", verbose, "-protocol_whitelist",
               "file,udp,rtp", "-i", sdp_path, "-frames:v", str(frames), "-f", "null", "-", timeout=40).stderr


def test_loop_runs_on_across_its_seam_and_decodes(agents, namespace, tmp_path):
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, source="loop"))
    group, announcements = receiver(namespace, "239.192.1.1", 5004), receiver(namespace, "239.195.255.255", SAP_PORT)
    control = receiver(namespace, "239.192.1.1", 5005)
    assert agent.set(CHANNEL + ".4.1", "i", "1") == ""
    sdp = sap(announcements, 10)[1]
    packets = rtp(group, 3.5)  # the loop is 2 s: 20 pictures at 10/s
    assert all((b[0] - a[0]) % 65536 == 1 and b[1] - a[1] in (0, 9000) for a, b in zip(packets, packets[1:]))
    pictures = [b"".join(p[2] for p in packets if p[1] == stamp) for stamp in sorted({p[1] for p in packets})][1:-1]
    assert len(pictures) >= 25 and all(pictures[i] == pictures[i + 20] for i in range(len(pictures) - 20))
    assert len(set(pictures)) == 20, "the loop's pictures differ from each other"
    sps = [sum(p[2][0] & 0x1F == 7 for p in packets if p[1] == stamp) for stamp in sorted({p[1] for p in packets})]
    assert set(sps) == {0, 1} and sum(sps) >= 3, sps  # once with each key frame, one a second
    # From its first packet on, a player decodes it without a complaint, from the SDP of every start; started
    # once the old session's BYE has gone (a player ends at a BYE).
    assert agent.set(CHANNEL + ".4.1", "i", "2") == "" and sap(announcements)[0]
    assert messages(control, 5, stop=lambda got: got and 203 in rtcp(got[-1][0]))
    (tmp_path / "loop.sdp").write_text(sdp)
    player = subprocess.Popen(["ip", "netns", "exec", namespace, "ffmpeg", "-v", "error", "-protocol_whitelist",
                               "file,udp,rtp", "-i", str(tmp_path / "loop.sdp"), "-frames:v", "30", "-f", "null", "-"],
                              stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
    assert wait_for(lambda: '"ffmpeg"' in run("ip", "netns", "exec", namespace, "ss", "-H", "-lunp",
                                              "sport = :5004").stdout, 20)
    assert agent.set(CHANNEL + ".4.1", "i", "1") == ""
    again = sap(announcements, 10)[1]
    assert player.communicate(timeout=40)[1] == "" and player.returncode == 0
    assert sdp.split("m=", 1)[1] == again.split("m=", 1)[1] and agent.stop() == 0


@pytest.mark.parametrize("clip, channel, outcome", [
    ("320x240 libx264 mp4", {}, "sent as it is: 15 frames, 1.50 s"),
    ("160x120 libx264 mp4", {}, "converted: 15 frames, 1.50 s"),
    ("320x240 mjpeg avi", {}, "converted: 15 frames, 1.50 s"),
    ("320x240 libx264 mkv", dict(encoding="RAW", sampling="4:2:2"), "converted: 10 frames, 1.00 s"),  # a second
    ("bytes", {}, 'pipeline error: clip "{}": Could not determine type of stream'),
    ("missing", {}, 'not streaming: clip "{}": No such file or directory'),
    ("fifo", {}, 'not streaming: clip "{}": not a regular file'),
])
def test_clip_is_sent_as_it_is_or_converted_once(agents, namespace, tmp_path, clip, channel, outcome):
    path = str(tmp_path / ("clip." + clip.split()[-1]))
    if " " in clip:
        size, codec, _ = clip.split()
        assert run("ffmpeg", "-v", "error", "-f", "lavfi", "-i", "testsrc=size=%s:rate=10" % size, "-frames:v", "15",
                   "-g", "5", "-bf", "0", "-c:v", codec, "-pix_fmt", "yuvj420p" if codec == "mjpeg" else "yuv420p",
                   path).returncode == 0
    elif clip == "bytes":
        open(path, "wb").write(bytes(range(256)) * 64)
    elif clip == "fifo":
        os.mkfifo(path)  # without a writer: opening it to read would block
    group, announcements = receiver(namespace, "239.192.1.1", 5004), receiver(namespace, "239.195.255.255", SAP_PORT)
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, status=1, source=path, **channel))
    if "{}" in outcome:
        assert wait_for(lambda: 'clip "%s"' % path in agent.stderr), agent.stderr
        named = [line for line in agent.stderr.splitlines() if path in line]
        assert len(named) == 1 and named[0].startswith("channel 1 " + outcome.format(path)), named
        assert "Grovenmarch" in agent.get(ROOT + ".1.1.0") and datagram(group, 1) is None and agent.stop() == 0
        return
    (tmp_path / "clip.sdp").write_text(sap(announcements, 20)[1])
    assert 'channel 1 clip "%s" ready, %s' % (path, outcome) in agent.stderr
    decoded = decode(namespace, str(tmp_path / "clip.sdp"))
    assert re.search(r"Video: %s.* 320x240" % ("h264" if not channel else "rawvideo"), decoded), decoded
    if outcome.startswith("sent as it is"):  # the clip's own slices, looped
        annex_b = subprocess.run(["ffmpeg", "-v", "error", "-i", path, "-c", "copy", "-bsf:v", "h264_mp4toannexb",
                                  "-f", "h264", "-"], capture_output=True).stdout
        own = [unit for unit in re.split(b"\0\0\0?\1", annex_b) if unit and unit[0] & 0x1F in (1, 5)]
        sent = slices(rtp(group, 3))
        assert set(sent) == set(own) and len(sent) > len(own), (len(set(sent) - set(own)), len(own), len(sent))
    assert agent.stop() == 0
