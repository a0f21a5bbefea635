"""Keeps mibs/VIVOE-CAMERA-SIM-MIB.txt and the agent from drifting apart: the
module lints clean, names every object a walk returns, and declares writable
exactly what the agent lets a manager write, under the names it logs."""
import os
import re
import time

import pytest
from conftest import VIVOE, pysnmp, run

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MODULE = "VIVOE-CAMERA-SIM-MIB"
# Debian keeps the IETF base modules out of main; npm's net-snmp package ships them.
CACHE = os.path.join(SOURCE, ".cache", "mib-deps")
BASE = os.path.join(CACHE, "node_modules", "net-snmp", "lib", "mibs")
SET_TYPES = {"INTEGER": "i", "STRING": "x", "IPADDRESS": "a"}


@pytest.fixture(scope="module")
def mib_options():
    for attempt in range(3):  # a registry hiccup should not fail the suite
        if os.path.exists(os.path.join(BASE, "SNMPv2-CONF.mib")):
            break
        run("npm", "install", "--prefix", CACHE, "--no-save", "--no-audit", "--no-fund", "net-snmp@3.29.2",
            timeout=300)
        time.sleep(attempt)
    assert os.path.exists(os.path.join(BASE, "SNMPv2-CONF.mib")), "cannot fetch the IETF base modules"
    # Only this module and what it imports: anything it fails to name shows as a number.
    return ["-m", MODULE, "-M", os.path.join(SOURCE, "mibs") + ":" + BASE]


def module_access(mib_options):
    """name -> 'RW' or 'R-' for every readable object of the module."""
    tree = run("snmptranslate", *mib_options, "-Tp", VIVOE + ".3.1").stdout
    return dict((name, access) for access, name in re.findall(r"\+-- -R([-W])- +\S+ +(\w+)\(", tree))


def test_module_lints_clean(mib_options):
    lint = run("smilint", "-l", "4", "-s", os.path.join(SOURCE, "mibs", MODULE + ".txt"),
               env=dict(os.environ, SMIPATH=BASE))
    assert lint.stdout + lint.stderr == ""  # smilint's exit status says nothing


def test_walk_is_named_and_writable_as_declared(agents, mib_options):
    agent = agents()
    agent.grant_write()
    agent.start()
    named = run("snmpwalk", *mib_options, "-OSq", "-v2c", "-c", "maplet", "127.0.0.1:%d" % agent.port, VIVOE)
    assert named.stderr == ""  # Net-SNMP's complaints about the module land here
    lines = [line for line in named.stdout.splitlines() if "No more variables" not in line]
    names = [line.split()[0] for line in lines if line.startswith(MODULE)]
    walk = pysnmp(agent.port, "next", VIVOE)
    assert len(names) == len(walk) == len(lines)
    access = module_access(mib_options)
    instances = [re.fullmatch(MODULE + r"::(\w+)\.(\d+)", name).groups() for name in names]
    # A host without a qualifying interface has no ethernetIfTable rows to show.
    empty = walk[instances.index(("ethernetIfNumber", "0"))][2] == "0"
    assert {name for name, _ in instances} == {
        n for n in access if not (empty and n.startswith("ethernetIf") and n != "ethernetIfNumber")}
    # Writing a value back succeeds exactly where the module says read-write,
    # and the agent logs it under the module's name.
    logged = []
    for (name, index), (oid, kind, value) in zip(instances, walk):
        error = agent.set(oid, SET_TYPES[kind], value)
        assert (error == "") == (access[name] == "W"), (name, error)
        if not error:
            logged.append(name if index == "0" else "%s.%s" % (name, index))
    assert agent.stop() == 0
    assert [line.split(" set to ")[0] for line in agent.stderr.splitlines() if " set to " in line] == logged
