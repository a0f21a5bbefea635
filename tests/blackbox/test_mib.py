"""The VIVOE MIB as a manager sees it: the shape, types and encodings of a walk
through Net-SNMP's tools and through pysnmp, and the SET semantics once write
access is granted."""
import pytest
from conftest import DESC, ROOT, VIVOE, pysnmp

# Walk-order types: S text, I integer, A IpAddress; tables column by column.
SCALARS_BEFORE_ETHERNET = "SSSSSSSSISI"
ETHERNET_COLUMNS = "ISAAA"
VIDEO_FORMAT_COLUMNS = "IISSIISIIIIIIIIIIII"
CHANNEL_COLUMNS = "ISIISSIISIIIIIIIIIIAIIIA"
TYPES = {"S": "STRING", "I": "INTEGER", "A": "IPADDRESS"}

SPOT_VALUES = {
    "1.1.0": "Grovenmarch Kestrunevale Day/Night Vision Camera".encode().hex(),
    "1.9.0": "1", "1.10.0": "Kestrunevale Day/Night Vision Camera".encode().hex(), "1.14.0": "1",
    "2.1.0": "2", "2.2.1.12.2": "1920", "3.1.0": "0", "3.2.0": "2", "3.3.1.3.2": b"LSAS-Day-2".hex(),
    "3.3.1.5.2": "2", "3.3.1.13.1": "2000000", "3.3.1.16.1": "0", "3.3.1.20.1": "96",
    "3.3.1.21.1": "239.192.1.1", "3.3.1.25.2": "0.0.0.0",
}


def expected_types(interfaces):
    def table(columns, rows):
        return "".join(kind * rows for kind in columns)
    return (SCALARS_BEFORE_ETHERNET + table(ETHERNET_COLUMNS, interfaces) + "SIII"
            + table(VIDEO_FORMAT_COLUMNS, 2) + "II" + table(CHANNEL_COLUMNS, 2))


@pytest.fixture(scope="module")
def served():
    from conftest import Agent
    agent = Agent().start()
    yield agent
    agent.kill()


def test_walks_agree_on_shape_types_and_values(served):
    walks = [pysnmp(served.port, "next", VIVOE, version=1), pysnmp(served.port, "next", VIVOE),
             pysnmp(served.port, "bulk", VIVOE)]
    assert walks[0] == walks[1] == walks[2]
    walk = walks[0]
    interfaces = int(dict((oid, value) for oid, _, value in walk)[ROOT + ".1.11.0"])
    assert [kind for _, kind, _ in walk] == [TYPES[k] for k in expected_types(interfaces)]
    oids = [tuple(map(int, oid.split("."))) for oid, _, _ in walk]
    assert oids == sorted(oids) and len(set(oids)) == 17 + 5 * interfaces + 19 * 2 + 24 * 2
    values = {oid[len(ROOT) + 1:]: value for oid, _, value in walk}
    assert {key: values[key] for key in SPOT_VALUES} == SPOT_VALUES
    # Net-SNMP's tools, v1 and v2c, walk and GETBULK, see the same objects.
    texts = [[line for line in served.snmp(tool, VIVOE, version=version).stdout.splitlines()
              if line.startswith(".") and "No more variables" not in line]
             for tool, version in (("snmpwalk", "1"), ("snmpwalk", "2c"), ("snmpbulkwalk", "2c"))]
    assert texts[0] == texts[1] == texts[2]
    assert [line.split(" = ")[0][1:] for line in texts[0]] == [oid for oid, _, _ in walk]


@pytest.mark.parametrize("suffix", ["1.1", "1.1.1", "1.12.0", "2.2.1.1.1", "2.2.1.21.1", "3.3.1.26.1",
                                    "1.12.1.7.1", "3.3.1.3.3"])
def test_no_value_outside_served_instances(served, suffix):
    [(_, kind, _)] = pysnmp(served.port, "get", ROOT + "." + suffix)
    assert kind in ("NOSUCHOBJECT", "NOSUCHINSTANCE")


MODE, USER_DESC = ROOT + ".1.14.0", ROOT + ".1.10.0"
INITIAL_DESC = '"Kestrunevale Day/Night Vision Camera"'


@pytest.mark.parametrize("community, oid, kind, value, error, read_back, log", [
    ("maplet", MODE, "i", "-5", "noAccess", "1", None),
    ("private", MODE, "i", "-5", "", "-5", "deviceMode set to -5"),
    ("private", ROOT + ".1.15.0", "i", "0", "", "0", "deviceReset set to 0"),
    ("private", ROOT + ".3.1.0", "i", "1", "", "1", "channelReset set to 1"),
    ("private", MODE, "s", "abc", "wrongType", "1", None),
    ("private", USER_DESC, "i", "5", "wrongType", INITIAL_DESC, None),
    ("private", USER_DESC, "x", "E9", "", '"E9 "', 'deviceUserDesc set to "\u00e9"'),
    ("private", USER_DESC, "s", "", "", '""', 'deviceUserDesc set to ""'),
    ("private", DESC, "s", "x", "notWritable", '"Grovenmarch Kestrunevale Day/Night Vision Camera"', None),
    ("private", ROOT + ".3.3.1.3.1", "s", "x", "notWritable", '"LSAS-Day-1"', None),
    ("private", ROOT + ".2.2.1.12.1", "i", "5", "notWritable", "1920", None),
    ("private", ROOT + ".3.3.1.4.3", "i", "1", "noCreation", "No Such Instance currently exists at this OID",
     None),
])
def test_set_semantics(agents, community, oid, kind, value, error, read_back, log):
    agent = agents()
    agent.grant_write()
    agent.start()
    assert agent.set(oid, kind, value, community=community) == error
    assert agent.get(oid) == read_back
    assert len(agent.snmp("snmpwalk", ROOT + ".3.3.1.2").stdout.splitlines()) == 2
    assert agent.stop() == 0
    assert [line for line in agent.stderr.splitlines() if " set to " in line] == ([log] if log else [])


def test_scalar_set_undone_when_a_later_varbind_fails_in_action(agents):
    agent = agents()
    agent.grant_write()
    agent.start()
    engine = bytes.fromhex(agent.get("1.3.6.1.6.3.10.2.1.1.0").strip('"').replace(" ", "").replace("\n", ""))
    user_status = "1.3.6.1.6.3.15.1.2.2.1.13." + ".".join(map(str, [len(engine), *engine, 3, *b"bob"]))
    assert agent.set(user_status, "i", "5") == ""  # createAndWait: a user not ready
    # The USM module refuses activating it only in the action phase, after deviceMode took its values.
    assert agent.set(MODE, "i", "8", MODE, "i", "3", user_status, "i", "1") == "inconsistentValue"
    assert agent.get(MODE) == "1"
    assert agent.set(MODE, "i", "8", MODE, "i", "5") == ""
    assert agent.get(MODE) == "5"
    assert agent.stop() == 0
    assert [line for line in agent.stderr.splitlines() if " set to " in line] == ["deviceMode set to 5"]
