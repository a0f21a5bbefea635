"""The camera streams (--stream): RTP video on the group a channel row names,
announced by SAP, started, moved and stopped by SETs. Every agent runs in a
network namespace the test makes, and everything is received there: no
multicast leaves it."""
import ctypes
import json
import os
import re
import socket
import subprocess
import threading
import time

import pytest
from conftest import AGENT, ROOT, SANITIZED, needs_root, run, wait_for

pytestmark = needs_root("creates network namespaces")

CHANNEL = ROOT + ".3.3.1"
SAP_PORT = 9875


@pytest.fixture(scope="module")
def namespace():
    name = "vivoe-stream-%d" % os.getpid()
    run("ip", "netns", "del", name)
    for command in ("netns add " + name, "-n %s link set lo up" % name, "-n %s link set lo multicast on" % name,
                    "-n %s route add 224.0.0.0/4 dev lo" % name):
        assert run("ip", *command.split()).returncode == 0, command
    yield name
    run("ip", "netns", "del", name)


def receiver(namespace, group, port):
    """A socket inside the namespace that has joined group:port on its loopback."""
    made = []

    def make():  # on a thread of its own: setns moves only the calling thread
        fd = os.open("/run/netns/" + namespace, os.O_RDONLY)
        assert ctypes.CDLL(None, use_errno=True).setns(fd, 0x40000000) == 0  # CLONE_NEWNET
        os.close(fd)
        sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
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


def sap(sock, timeout=5.0):
    """(deletion, SDP text) of the next SAP packet."""
    packet = datagram(sock, timeout)
    assert packet and packet[0] & 0xE0 == 0x20, packet  # version 1, IPv4
    payload_type, sdp = packet[8:].split(b"\0", 1)
    assert payload_type == b"application/sdp"
    return bool(packet[0] & 0x04), sdp.decode()


def profile(tmp_path, **channel):
    printed = json.loads(run(AGENT, "--print-profile").stdout)
    printed["channels"][0].update(dict(horizontalPixels=320, verticalPixels=240, frameRate=10, compressionRate=200000),
                                  **channel)
    path = tmp_path / "camera.json"
    path.write_text(json.dumps(printed))
    return str(path)


def streaming_agent(agents, namespace, *args, env=None):
    agent = agents(netns=namespace)
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
     "packetization-mode=1;sprop-parameter-sets=", "h264"),
    (dict(encoding="RAW", sampling="YCbCr-4:2:2", multicastAddress="239.255.7.2", multicastPort=6000),
     "239.255.255.255", "sampling=YCbCr-4:2:2;depth=8;width=320;height=240", "rawvideo"),
])
def test_announced_stream_decodes_from_its_sdp(agents, namespace, tmp_path, channel, scope, fmtp, codec):
    channel = dict(channel, status=1, userDesc=channel.get("userDesc", "Day %s").replace("%s", str(tmp_path)))
    announcements = receiver(namespace, scope, SAP_PORT)
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, **channel))
    deletion, sdp = sap(announcements)
    port = channel.get("multicastPort", 5004)
    assert not deletion
    for line in ("s=" + channel["userDesc"], "i=Grovenmarch Kestrunevale Day/Night Vision Camera",
                 "c=IN IP4 %s/1" % channel["multicastAddress"], "m=video %d RTP/AVP 96" % port,
                 "a=rtpmap:96 %s/90000" % channel.get("encoding", "H264"), "a=fmtp:96 " + fmtp, "a=framerate:10"):
        assert line in sdp
    (tmp_path / "stream.sdp").write_text(sdp)
    decoded = run("ip", "netns", "exec", namespace, "ffmpeg", "-hide_banner", "-protocol_whitelist", "file,udp,rtp",
                  "-i", str(tmp_path / "stream.sdp"), "-frames:v", "3", "-f", "null", "-", timeout=30).stderr
    assert re.search(r"Stream #0:0: Video: %s.* 320x240" % codec, decoded) and "frame=    3" in decoded, decoded
    assert "channel 1 streaming %s 320x240@10 to %s:%d" % (channel.get("encoding", "H264"), channel["multicastAddress"],
                                                           port) in agent.stderr
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

    def cycle():
        assert agent.set(CHANNEL + ".4.1", "i", "1") == "" and datagram(group, 3)
        assert agent.set(CHANNEL + ".4.1", "i", "2") == ""
        assert wait_for(lambda: agent.stderr.count("channel 1 stopped") == agent.stderr.count("streaming H264"))

    def footprint():
        status = open("/proc/%d/status" % agent.proc.pid).read()
        return (len(os.listdir("/proc/%d/fd" % agent.proc.pid)), int(re.search(r"Threads:\s+(\d+)", status).group(1)),
                int(re.search(r"VmRSS:\s+(\d+)", status).group(1)))

    cycle()  # GStreamer's registry and pools come with the first stream
    time.sleep(0.5)
    before = footprint()
    for _ in range(30):
        cycle()
    time.sleep(0.5)
    after = footprint()
    assert after[:2] == before[:2] and (SANITIZED or after[2] - before[2] < 4096), (before, after)


@pytest.mark.parametrize("fault, channel, logged", [
    ("no plugins", {}, r'channel 1 not streaming: GStreamer element "\w+" is missing \(Debian package gstreamer1.0-[\w-]+\)'),
    ("odd width", dict(horizontalPixels=321), r"channel 1 pipeline error: .*x264.*\nchannel 1 stopped"),
])
def test_a_fault_stops_its_channel_only(agents, namespace, tmp_path, fault, channel, logged):
    no_plugins = {"GST_PLUGIN_SYSTEM_PATH_1_0": str(tmp_path), "GST_PLUGIN_PATH_1_0": str(tmp_path),
                  "GST_REGISTRY_1_0": str(tmp_path / "registry.bin")}
    agent = streaming_agent(agents, namespace, "--profile", profile(tmp_path, status=1, **channel),
                            env=no_plugins if fault == "no plugins" else None)
    assert wait_for(lambda: re.search(logged, agent.stderr)), agent.stderr
    assert "Grovenmarch" in agent.get(ROOT + ".1.1.0")
    assert agent.stop() == 0


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
    assert agent.set(CHANNEL + ".4.1", "i", "1") == ""
    sdp = sap(announcements, 10)[1]
    packets = rtp(group, 3.5)  # the loop is 2 s: 20 pictures at 10/s
    assert all((b[0] - a[0]) % 65536 == 1 and b[1] - a[1] in (0, 9000) for a, b in zip(packets, packets[1:]))
    pictures = [b"".join(p[2] for p in packets if p[1] == stamp) for stamp in sorted({p[1] for p in packets})][1:-1]
    assert len(pictures) >= 25 and all(pictures[i] == pictures[i + 20] for i in range(len(pictures) - 20))
    assert len(set(pictures)) == 20, "the loop's pictures differ from each other"
    sps = [sum(p[2][0] & 0x1F == 7 for p in packets if p[1] == stamp) for stamp in sorted({p[1] for p in packets})]
    assert set(sps) == {0, 1} and sum(sps) >= 3, sps  # once with each key frame, one a second
    # From its first packet on, a player decodes it without a complaint, from the SDP of every start.
    assert agent.set(CHANNEL + ".4.1", "i", "2") == "" and sap(announcements)[0]
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
