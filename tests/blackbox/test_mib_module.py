"""Keeps mibs/VIVOE-CAMERA-SIM-MIB.txt and the agent from drifting apart: the
module lints clean, names every object a walk returns, and declares writable
exactly what the agent lets a manager write, under the names it logs."""
import os
import re

import pytest
from conftest import BASE, MODULE, SOURCE, VIVOE, pysnmp, run

SET_TYPES = {"INTEGER": "i", "STRING": "x", "IPADDRESS": "a"}


def module_access(mib_options):
    """name -> 'RW' or 'R-' for every readable object of the module."""
    tree = run("snmptranslate", *mib_options, "-Tp", VIVOE + ".3.1").stdout
    return dict((name, access) for access, name in re.findall(r"\+-- -R([-W])- +\S+ +(\w+)\(", tree))


def test_module_lints_clean(mib_options):
    lint = run("smilint", "-l", "4", "-s", os.path.join(SOURCE, "mibs", MODULE + ".txt"),
               env=dict(os.environ, SMIPATH=BASE))
    assert lint.stdout + lint.stderr == ""  # smilint's exit status says nothing


@pytest.mark.parametrize("tables", [[], ["--writable-tables"]])
def test_walk_is_named_and_writable_as_declared(agents, mib_options, tables):
    agent = agents()
    agent.grant_write()
    agent.start(*tables)
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
    # Writing a value back succeeds exactly where the module says read-write
    # (table cells only with stream control), logged under the module's name.
    logged = []
    for (name, index), (oid, kind, value) in zip(instances, walk):
        error = agent.set(oid, SET_TYPES[kind], value)
        assert (error == "") == (access[name] == "W" and (index == "0" or bool(tables))), (name, error)
        if not error:
            logged.append(name if index == "0" else "%s.%s" % (name, index))
    assert agent.stop() == 0
    assert [line.split(" set to ")[0] for line in agent.stderr.splitlines() if " set to " in line] == logged


def probes(definition):
    """(value, error) pairs at the edges of what a column's SYNTAX allows."""
    syntax = re.search(r"SYNTAX\t(.*?) *$", definition, re.M).group(1)
    convention = (re.search(r"TEXTUAL CONVENTION (\w+)", definition) or re.match("()", "")).group(1)
    if convention == "VivoeMulticastAddress":
        return [("224.0.0.0", ""), ("239.255.255.255", ""), ("0.0.0.0", ""), ("223.255.255.255", "wrongValue"),
                ("240.0.0.0", "wrongValue")]
    if convention == "VivoeVideoFormatIndex":  # rows 1 and 2 exist
        return [("1", ""), ("2", ""), ("0", "wrongValue"), ("3", "wrongValue")]
    if syntax == "IpAddress":
        return [("192.0.2.77", "")]
    low, high = map(int, re.search(r"\((-?\d+)\.\.(-?\d+)\)", syntax + "(-2147483648..2147483647)").groups())
    if syntax.startswith("OCTET STRING"):
        return [("x" * high, ""), ("x" * (high + 1), "wrongLength")]
    edges = [(str(low), ""), (str(high), "")]
    return edges + [(str(v), "wrongValue") for v in (low - 1, high + 1) if -2 ** 31 <= v < 2 ** 31]


def test_cell_checks_follow_the_module(agents, mib_options):
    agent = agents()
    agent.grant_write()
    agent.start("--writable-tables")
    columns = {"." + oid.rsplit(".", 1)[0] for oid, _, _ in pysnmp(agent.port, "next", VIVOE) if oid[-2:] != ".0"}
    probed = 0
    for name, access in module_access(mib_options).items():
        definition = run("snmptranslate", "-On", *mib_options, "-Td", MODULE + "::" + name).stdout
        column = definition.splitlines()[0]
        if access != "W" or column not in columns:  # scalars; or a host without Ethernet rows
            continue
        kind = "s" if "OCTET STRING" in definition else "a" if "IpAddress" in definition else "i"
        for value, error in probes(definition):
            assert agent.set(column + ".1", kind, value) == error, (name, value)
            probed += 1
    assert probed > 50
