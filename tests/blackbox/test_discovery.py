"""Discovery of real interfaces: the agent runs in a network namespace the test
builds (veth pairs, a bridge, a tun device), and its ethernetIfTable is read
there over SNMP."""
import os
import subprocess
import sys

import pytest
from conftest import ROOT, needs_root, run, wait_for

pytestmark = needs_root("creates network namespaces")

# Run in this order, so the kernel indexes follow it; skipped kinds sit between
# listed ones, so a wrongly consumed row index would show as a gap.
SETUP = """link set lo up
link add one address 02:00:00:00:01:01 type veth peer name one-peer
link add v6only address 02:00:00:00:02:01 type veth peer name v6only-peer
link add two address 02:00:00:00:03:01 type veth peer name two-peer
link add nocarrier address 02:00:00:00:04:01 type veth peer name nocarrier-peer
link add br0 type bridge
link set tun0 up; link set one-peer up; link set one up; link set v6only-peer up; link set v6only up
link set two-peer up; link set two up; link set nocarrier up; link set br0 up
addr add 203.0.113.201/30 dev tun0; addr add 192.0.2.1/24 dev one; addr add 2001:db8:2::1/64 dev v6only
addr add 198.51.100.1/25 dev two; addr add 203.0.113.1/28 dev two; addr add 203.0.113.65/27 dev nocarrier
addr add 198.51.100.129/26 dev br0"""

# A portless bridge reads -1 (so 1000) only until its carrier is re-evaluated.
ROWS = [  # name, hardware address (None: the kernel's), address, netmask, speed file, speed
    ("tun0", "", "203.0.113.201", "255.255.255.252", "10000", 10000),
    ("one", "02:00:00:00:01:01", "192.0.2.1", "255.255.255.0", "10000", 10000),
    ("two", "02:00:00:00:03:01", "198.51.100.1", "255.255.255.128", "10000", 10000),
    ("br0", None, "198.51.100.129", "255.255.255.192", "-1", 1000),
]

# Holds a tun device open inside the namespace: only then is it RUNNING.
TUN_HOLDER = ("import fcntl, os, struct, sys\n"
              "fd = os.open('/dev/net/tun', os.O_RDWR)\n"
              "fcntl.ioctl(fd, 0x400454ca, struct.pack('16sH22x', b'tun0', 0x1001))\n"
              "print('ready', flush=True)\nsys.stdin.read()\n")


@pytest.fixture
def namespace():
    name = "vivoe-disc-%d" % os.getpid()
    run("ip", "netns", "del", name)
    assert run("ip", "netns", "add", name).returncode == 0
    holder = subprocess.Popen(["ip", "netns", "exec", name, sys.executable, "-c", TUN_HOLDER],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ready\n"
        for command in SETUP.replace("; ", "\n").splitlines():
            result = run("ip", "-n", name, *command.split())
            assert result.returncode == 0, command + ": " + result.stderr
        yield name
    finally:
        holder.stdin.close()
        holder.wait()
        run("ip", "netns", "del", name)


def links(namespace):
    return {line.split()[0].split("@")[0]: line.split()[1:]
            for line in run("ip", "-n", namespace, "-br", "link").stdout.splitlines()}


def test_discovered_rows(agents, namespace):
    # Operational states settle asynchronously, and discovery runs only once.
    running = ("lo", "tun0", "one", "v6only", "two", "br0")
    assert wait_for(lambda: all(links(namespace)[n][0] in ("UP", "UNKNOWN") for n in running)
                    and links(namespace)["nocarrier"][0] == "LOWERLAYERDOWN"), links(namespace)
    bridge_mac = links(namespace)["br0"][1].upper()
    for name, _, _, _, speed_file, _ in ROWS:
        speed = run("ip", "netns", "exec", namespace, "cat", "/sys/class/net/%s/speed" % name).stdout.strip()
        assert speed == speed_file, "the machine's kernel differs: %s speed %s" % (name, speed)

    agent = agents(netns=namespace).start()
    assert agent.get(ROOT + ".1.11.0") == str(len(ROWS))
    walked = [line.split(" = ")[0] for line in agent.snmp("snmpwalk", ROOT + ".1.12").stdout.splitlines()]
    assert walked == [".%s.1.12.1.%d.%d" % (ROOT, column, row)
                      for column in range(2, 7) for row in range(1, len(ROWS) + 1)]
    log = []
    for index, (name, mac, address, netmask, _, speed) in enumerate(ROWS, 1):
        mac = bridge_mac if mac is None else mac
        cells = [agent.get("%s.1.12.1.%d.%d" % (ROOT, column, index), "-Ox") for column in range(2, 7)]
        assert cells == [str(speed), '"%s "' % mac.replace(":", " ") if mac else '""', address, netmask,
                         "0.0.0.0"]
        log.append('  Interface %d "%s" "%s" "%s" "%s" %d Mbps' % (index, name, mac, address, netmask, speed))
    log.append('VIVOE MIB data initialized: "Grovenmarch Kestrunevale Day/Night Vision Camera" 2 channels, '
               "2 video formats, %d ethernet interfaces" % len(ROWS))
    assert [line for line in agent.stderr.splitlines() if line.startswith(("  Interface", "VIVOE MIB data"))] == log
    assert agent.stop() == 0


@pytest.fixture
def link_local():
    """A namespace whose veth end z0 has the link-local address fe80::20."""
    name = "vivoe-zone-%d" % os.getpid()
    run("ip", "netns", "del", name)
    try:
        for command in ("netns add " + name, "-n %s link set lo up" % name,
                        "-n %s link add z0 type veth peer name z1" % name, "-n %s link set z1 up" % name,
                        "-n %s link set z0 up" % name, "-n %s addr add fe80::20/64 dev z0 nodad" % name):
            assert run("ip", *command.split()).returncode == 0, command
        yield name
    finally:
        run("ip", "netns", "del", name)


def test_address_with_a_zone_index(agents, link_local):
    index = run("ip", "netns", "exec", link_local, "cat", "/sys/class/net/z0/ifindex").stdout.strip()
    for zone in (index, "z0"):
        agent = agents(netns=link_local).start("--address", "fe80::20%" + zone)
        target = "udp6:[fe80::20%%%s]:%d" % (zone, agent.port)
        assert "snmpwalk -v2c -c maplet %s 1.3.6.1.4.1.35990\n" % target in agent.stdout
        answer = run("ip", "netns", "exec", link_local, "snmpget", "-v2c", "-c", "maplet", "-Oqv", target, ROOT + ".1.1.0")
        assert "Grovenmarch" in answer.stdout, answer.stderr
        assert agent.stop() == 0
        assert os.path.isdir("%s/state/udp6-fe80__20%%%s-%d" % (agent.dir, zone, agent.port))
