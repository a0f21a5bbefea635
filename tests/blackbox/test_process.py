"""The program as a console user meets it: options, the privilege rule, the
configuration file, signals, daemon mode and the sockets it opens."""
import glob
import os
import re
import signal
import socket
import subprocess
import time

import pytest
from conftest import AGENT, DESC, STARTED, free_port, needs_root, receive, run, wait_for

BANNER_END = "comments\n" + "=" * 58 + "\n\n"
CONFIG = "# Auto-generated VIVOE MIB Server config\nrocommunity maplet\nagentXSocket /dev/null\n"


@pytest.mark.parametrize("args, status, after_banner, err", [
    (["--help"], 0, "Usage:", ""),
    (["--version"], 0, "VIVOE MIB Server 1.0.0", ""),
    (["--bogus"], 1, "", "Unknown option 'bogus'.\nUsage: %s [options]; --help lists them\n" % AGENT),
    (["--port"], 1, "", "Missing value after '--port'"),
    (["1161"], 1, "", 'ERROR: Unexpected argument "1161"\nUsage: '),
    (["--reboot-seconds", "3601"], 1, "", 'ERROR: Invalid reboot time "3601": give a number of seconds from 0 to 3600'),
])
def test_banner_comes_first(agents, args, status, after_banner, err):
    agent = agents().launch(*args)
    assert agent.wait() == status
    assert agent.stdout.startswith("=" * 58 + "\nVIVOE MIB SNMP Server v1.0.0 - TEMPLATE EXAMPLE\n")
    assert agent.stdout.split(BANNER_END, 1)[1].startswith(after_banner)
    assert err in agent.stderr


@pytest.mark.parametrize("args, status", [(["-q"], 0), (["--quiet", "--verbose"], 1)])
def test_quiet_shows_only_warnings_and_errors(agents, args, status):
    agent = agents()
    agent.port = free_port()
    agent.launch("--port", agent.port, *args)
    if status == 0:
        assert wait_for(lambda: "Grovenmarch" in agent.get(DESC))
        agent.stop()
    assert (agent.wait(), agent.stdout) == (status, "")
    assert agent.stderr == ("ERROR: --verbose and --quiet exclude each other\n" if status else "")


PRIVILEGE = "ERROR: Port %s requires root privileges\nRun with sudo or choose port >= 1024\n"
INVALID = 'ERROR: Invalid port "%s": give a port number from 1 to 65535\n'


ADDRESS = 'ERROR: Invalid address "%s": give an IPv4 or IPv6 address of this host\n'
NOT_UNICAST = ('ERROR: Invalid address "%s": a broadcast or multicast address cannot answer requests; give a unicast '
               'address of this host\n')


@pytest.mark.parametrize("user, port, err", [
    ("nobody", None, PRIVILEGE % 161), ("nobody", "1023", PRIVILEGE % 1023),
    # No privilege makes these valid: the same answer for every user.
    *[(user, port, INVALID % port) for user in ("nobody", "root")
      for port in ("abc", "1161x", "-5", "0", "", "4294967296", "65536")],
    # An address left empty (a template unit's unset variable) would mean every address.
    ("root", "1161 --address=", ADDRESS % ""), ("root", "1161 --address=camera", ADDRESS % "camera"),
    # Every reply would fail in sendto: the loopback's broadcast address, a group, another group.
    *[("root", "1161 --address=" + a, NOT_UNICAST % a) for a in ("127.255.255.255", "224.0.0.1", "ff02::1")],
])
def test_port_refused_before_anything_happens(agents, user, port, err):
    args = [] if port is None else ("--port=" + port).split(" ")
    agent = agents(user=user).launch("--daemon", *args)
    assert agent.wait() == 1
    assert agent.stderr == err
    assert "Starting" not in agent.stdout
    assert not os.path.exists(agent.home + "/.snmp")


def test_ordinary_user_runs_from_home_on_port_1024_and_up(agents):
    agent = agents(user="nobody")
    config = agent.home + "/.snmp/vivoe_kestrunevale.conf"
    os.makedirs(os.path.dirname(config))
    with open(config, "w") as f:
        f.write("rwcommunity private\nolder content that must go\n")
    run("chown", "-R", "nobody", agent.home)  # an ordinary user running the tests owns it already
    # Without Debian's snmp.conf ("mibs :") the library must still not parse MIB files.
    agent.env["SNMPCONFPATH"] = os.path.dirname(config)
    agent.start()
    assert open(config).read() == CONFIG
    assert "Grovenmarch" in agent.get(DESC)
    assert agent.stop() == 0
    assert os.path.exists(agent.home + "/.local/state/vivoe-mib-server/udp-%d/vivoe_kestrunevale.conf" % agent.port)
    own = ("Starting VIVOE MIB Server on port %d" % agent.port, 'Wrote SNMP config to "%s"' % config,
           "SNMP agent listening on UDP port %d" % agent.port, STARTED, "Received signal 15",
           "Stopping VIVOE MIB Server", "VIVOE MIB Server stopped", "VIVOE MIB data initialized",
           "VIVOE MIB handlers registered", "  Interface")
    assert [line for line in agent.stderr.splitlines() if not line.startswith(own)] == []
    # The privilege rule passes 1024 whether or not the port is free here.
    low = agents(user="nobody").launch("--port", "1024")
    assert wait_for(lambda: "Starting VIVOE MIB Server on port 1024" in low.stderr)
    low.stop(signal.SIGKILL)


@needs_root("mounts a private /etc/snmp")
def test_root_writes_system_config_and_opens_only_its_port(agents):
    agent = agents()
    etc = agent.private_etc_snmp({"vivoe_kestrunevale.conf": "stale\n"})
    del agent.env["SNMPCONFPATH"]
    agent.start()
    assert open(etc + "/vivoe_kestrunevale.conf").read() == CONFIG
    assert not os.path.exists(agent.home + "/.snmp")
    sockets = run("ss", "-H", "-tulnpa").stdout.splitlines()
    mine = [line.split()[0] + " " + line.split()[4] for line in sockets if "pid=%d," % agent.proc.pid in line]
    # No SMUX (TCP 199), no AgentX: only the UDP port.
    assert mine == ["udp 0.0.0.0:%d" % agent.port]


def is_elf(path):
    with open(path, "rb") if os.path.isfile(path) else open(os.devnull, "rb") as file:
        return file.read(4) == b"\x7fELF"


@pytest.mark.parametrize("installed", [False, True])
def test_no_binary_searches_for_libraries_at_run_time(tmp_path, installed):
    """An empty RUNPATH entry is the working directory: the agent, often root, would load libraries from there."""
    top, build = (str(tmp_path) if installed else os.path.dirname(AGENT)), os.path.dirname(os.path.dirname(AGENT))
    # DESTDIR: the systemd units go to an absolute path
    assert not installed or run("cmake", "--install", build, env=dict(os.environ, DESTDIR=top)).returncode == 0
    built = [path for name in ("vivoe-mib-server", "libvivoe-stream.so")
             for path in glob.glob(top + "/**/" + name, recursive=True) if is_elf(path)]
    assert len(built) == 2 and [path for path in built if "PATH" in run("readelf", "-d", path).stdout] == []


HOSTILE = "syslocation Hostile\nrwcommunity hostile\ntrap2sink 127.0.0.1:%d\n"


@needs_root("mounts a private /etc/snmp")
@pytest.mark.parametrize("user, own_path", [("root", True), ("nobody", True), ("nobody", False)])
def test_system_local_conf_reaches_only_agents_that_search_it(agents, user, own_path):
    """The suite's agents search their own directory; without SNMPCONFPATH any
    user's agent reads the operator's /etc/snmp too."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
        sink.bind(("127.0.0.1", 0))
        agent = agents(user=user)
        agent.private_etc_snmp({"vivoe_kestrunevale.local.conf": HOSTILE % sink.getsockname()[1]})
        if not own_path:
            del agent.env["SNMPCONFPATH"]
        agent.start()
        location = agent.get("1.3.6.1.2.1.1.6.0")
        written = agent.set(DESC.replace("1.1.0", "1.14.0"), "i", "2", community="hostile")
        trapped = receive(sink, 1)
    assert (location == '"Hostile"', written == "", trapped is not None) == (not own_path,) * 3


IN_USE = ("Address already in use\nAnother program uses that port (ss -lunp 'sport = :%(port)d' shows which): stop it "
          "or choose another port\n")
ELSEWHERE = "Cannot assign requested address\nGive an address this host has (ip address lists them)\n"
DENIED = ("Permission denied\nPorts below 1024 need the capability CAP_NET_BIND_SERVICE, which root has unless it was "
          "taken away\n")


@pytest.mark.parametrize("wrapper, args, held, why", [
    ((), (), "0.0.0.0", IN_USE), ((), ("--daemon",), "0.0.0.0", IN_USE),
    ((), ("--address", "198.51.100.77"), None, ELSEWHERE),
    pytest.param(("setpriv", "--bounding-set=-net_bind_service"), (), None, DENIED,
                 marks=needs_root("binds a port below 1024")),
])
def test_bind_failure_names_its_cause_and_leaves_no_state(agents, wrapper, args, held, why):
    agent = agents(wrapper=wrapper)
    port = free_low_port() if wrapper else free_port()
    earlier = "%s/state/udp-%d/vivoe_kestrunevale.conf" % (agent.dir, port)  # an engine state to keep
    os.makedirs(os.path.dirname(earlier))
    open(earlier, "w").close()
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
        if held:
            holder.bind((held, port))
        agent.launch("--port", port, *args)
        # A daemon's launcher waits for the detached agent to listen or fail.
        assert agent.wait() == 1
    place = "%s port %d" % (args[1], port) if "--address" in args else "port %d" % port
    assert agent.stderr.endswith("ERROR: Failed to start VIVOE MIB Server on %s\nCannot listen on %s: %s" % (
        place, place if "--address" in args else "0.0.0.0 port %d" % port, why % {"port": port}))
    assert "is running" not in agent.stdout and "daemon started" not in agent.stderr
    assert os.listdir(agent.dir + "/state") == ["udp-%d" % port] and os.path.exists(earlier)


@pytest.mark.parametrize("signals", [[signal.SIGINT], [signal.SIGTERM], [signal.SIGHUP],
                                     [signal.SIGTERM, signal.SIGINT]])
def test_signal_stops_once(agent, signals):
    for number in signals:
        agent.proc.send_signal(number)
    assert agent.wait() == 0
    assert "snmpwalk -v2c -c maplet localhost:%d 1.3.6.1.4.1.35990\n" % agent.port in agent.stdout
    assert agent.stdout.endswith("VIVOE MIB Server stopped\n")
    assert agent.stdout.count("VIVOE MIB Server stopped") == 1
    assert agent.stderr.count("Stopping VIVOE MIB Server") == 1
    assert ("Received signal %d - shutting down gracefully\nStopping VIVOE MIB Server\n"
            "VIVOE MIB Server stopped\n" % signals[0]) in agent.stderr


def test_idle_agent_sleeps_until_work_comes(agent):
    """A 10 ms poll would wake the agent 500 times in 5 s; idle, nothing is due."""
    def wake_ups():  # context switches of every thread
        total = 0
        for status in glob.glob("/proc/%d/task/*/status" % agent.proc.pid):
            with open(status) as f:
                total += sum(int(line.split()[1]) for line in f if "ctxt_switches:" in line)
        return total
    assert agent.get(DESC).startswith('"Grovenmarch')
    before = wake_ups()
    time.sleep(5)
    assert wake_ups() - before <= 20
    assert agent.get(DESC).startswith('"Grovenmarch')


def daemon_pid(port):
    """The detached agent, found by its socket: it is no child of ours."""
    pids = []
    wait_for(lambda: pids.extend(re.findall(r"pid=(\d+),", run("ss", "-H", "-lunp", "sport = :%d" % port).stdout))
             or pids)
    return int(pids[0]) if pids else None


@pytest.mark.parametrize("reader", ["files", "closed pipes", "no descriptors"])
def test_daemon_detaches_serves_and_stops(agents, reader):
    # Descriptors 0, 1 and 2 closed from the start: the readiness pipe must not take their numbers.
    agent = agents(wrapper=["sh", "-c", 'exec "$0" "$@" <&- >&- 2>&-'] if reader == "no descriptors" else ())
    agent.grant_write()
    agent.port = port = free_port()
    # Files keep the log; pipes closed once the launcher is gone must not kill the daemon.
    agent.launch("-d", "-p", port, pipes=reader == "closed pipes")
    assert agent.wait(5) == 0
    if reader == "closed pipes":
        agent.proc.stdout.close()
        agent.proc.stderr.close()
    pid = daemon_pid(port)
    try:
        assert pid and pid != agent.proc.pid
        # A session of its own, but not its leader: it can never regain a terminal.
        assert os.getsid(pid) not in (os.getsid(0), pid)
        assert agent.set(DESC.replace("1.1.0", "1.14.0"), "i", "7") == ""
        assert agent.get(DESC.replace("1.1.0", "1.14.0")) == "7"
    finally:
        os.kill(pid, signal.SIGTERM)
    assert wait_for(lambda: not os.path.exists("/proc/%d" % pid))
    if reader == "files":
        assert agent.stdout.endswith("Starting as daemon...\n") and agent.stdout.count("Starting") == 1
        assert "%s\nVIVOE MIB Server daemon started on port %d\n" % (STARTED, port) in agent.stderr
        assert agent.stderr.endswith("Received signal 15 - shutting down gracefully\n"
                                     "Stopping VIVOE MIB Server\nVIVOE MIB Server stopped\n")



@pytest.mark.parametrize("args", [["--print-profile"], ["--help"], ["--version"]])
def test_output_that_cannot_be_written_fails(args):
    with open("/dev/full", "w") as full:
        result = subprocess.run([AGENT, *args], stdout=full, stderr=subprocess.PIPE, text=True, timeout=20)
    assert result.returncode == 1
    assert result.stderr.endswith("ERROR: Cannot write to standard output: No space left on device\n")


@pytest.mark.parametrize("home", ["read-only", "unset"])
def test_unwritable_config_fails_the_start(agents, home):
    agent = agents(user="nobody")
    os.chmod(agent.home, 0o555)  # the agent may read it, not write it
    del agent.env["SNMPCONFPATH"]
    if home == "unset":
        del agent.env["HOME"]
    agent.launch("--port", free_port())
    assert agent.wait() == 1
    path = agent.home if home == "read-only" else ""
    assert re.search(r'Cannot write SNMP config to "%s/.snmp/vivoe_kestrunevale.conf" - \w' % path, agent.stderr)
    assert "ERROR: Failed to start" in agent.stderr and STARTED not in agent.stderr


@needs_root("sets capabilities")
def test_ordinary_user_with_net_bind_service_serves_low_port(agents):
    """As the units run it; without the capability the privilege rule refuses (above)."""
    agent = agents(user="nobody")
    agent.prefix += ["--inh-caps=+net_bind_service", "--ambient-caps=+net_bind_service"]
    agent.port = free_low_port()
    assert "Grovenmarch" in agent.start().get(DESC)
    assert agent.stop() == 0


def free_low_port():
    for port in [161] + list(range(700, 1000)):
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
                probe.bind(("0.0.0.0", port))
                return port
        except OSError:
            pass


@needs_root("binds a port below 1024")
@pytest.mark.parametrize("port_taken", [False, True])
def test_systemd_readiness_with_only_net_bind_service(agents, port_taken):
    # As the hardened unit runs it: root, one capability, no new privileges.
    agent = agents(wrapper=["setpriv", "--bounding-set=-all,+net_bind_service", "--inh-caps=-all", "--no-new-privs"])
    notify = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
    notify.bind(agent.dir + "/notify")
    agent.env["NOTIFY_SOCKET"] = agent.dir + "/notify"
    agent.port = free_low_port()
    holder = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    if port_taken:
        holder.bind(("0.0.0.0", agent.port))
    agent.launch("--port", agent.port)
    notify.settimeout(10)
    if port_taken:
        assert agent.wait() == 1
        notify.settimeout(0)
        with pytest.raises(OSError):
            notify.recv(100)
        return
    assert notify.recv(100) == b"READY=1"
    assert "Grovenmarch" in agent.get(DESC)  # listening by then, not later
    hint = "localhost" if agent.port == 161 else "localhost:%d" % agent.port
    assert "snmpwalk -v2c -c maplet %s 1.3.6.1.4.1.35990\n" % hint in agent.stdout
    assert agent.stop() == 0
