"""Stream control: with --writable-tables a manager with write access sets
table cells; a SET is applied whole or not at all."""
import pytest
from conftest import ROOT, Agent, client, message, pysnmp, receive
from pyasn1.type import univ
from pysnmp.proto import rfc1902

CHANNEL, FORMAT, MODE = ROOT + ".3.3.1", ROOT + ".2.2.1", ROOT + ".1.14.0"


@pytest.fixture(scope="module")
def stream_agent():
    agent = Agent()
    agent.grant_write()
    yield agent.start("--writable-tables")
    agent.kill()


@pytest.mark.parametrize("varbinds, error", [
    ([CHANNEL + ".22.1", "s", "5004"], "wrongType"),
    ([CHANNEL + ".22.1", "i", "65536"], "wrongValue"),
    ([CHANNEL + ".21.1", "a", "10.0.0.1"], "wrongValue"),
    ([CHANNEL + ".5.1", "i", "3"], "wrongValue"),
    ([CHANNEL + ".3.1", "s", "x" * 256], "wrongLength"),
    ([CHANNEL + ".2.1", "i", "1"], "notWritable"),
    ([CHANNEL + ".4.3", "i", "1"], "noCreation"),
    # One bad varbind among good ones in two rows, two tables and a scalar.
    ([CHANNEL + ".22.1", "i", "5004", CHANNEL + ".22.2", "i", "5006", CHANNEL + ".3.2", "s", "Night-2",
      MODE, "i", "3", FORMAT + ".20.1", "i", "128"], "wrongValue"),
])
def test_refused_set_changes_nothing(stream_agent, varbinds, error):
    before = pysnmp(stream_agent.port, "bulk", ROOT)
    assert stream_agent.set(*varbinds) == error
    assert pysnmp(stream_agent.port, "bulk", ROOT) == before


def test_ip_address_of_three_octets_is_wrong_length(stream_agent):
    before = pysnmp(stream_agent.port, "bulk", ROOT)
    sock = client(stream_agent.port)
    three_octets = univ.OctetString(b"\xef\x01\x02", tagSet=rfc1902.IpAddress.tagSet)
    sock.send(message("SetRequestPDU", [(CHANNEL + ".21.1", three_octets)], community=b"private"))
    # Net-SNMP's parser alone would drop the message; the answer's request-id 1
    # is followed by error-status wrongLength (8) and error-index 1.
    assert b"\x02\x01\x01\x02\x01\x08\x02\x01\x01" in receive(sock, 3)
    assert pysnmp(stream_agent.port, "bulk", ROOT) == before


def test_set_applies_whole_and_is_seen_at_once(agents):
    agent = agents()
    agent.grant_write()
    agent.start("--writable-tables")
    # Named twice in one SET, a cell keeps, and logs, the last value.
    assert agent.set(CHANNEL + ".21.1", "a", "239.192.10.1", CHANNEL + ".22.1", "i", "5000",
                     CHANNEL + ".22.1", "i", "5004", CHANNEL + ".22.2", "i", "5006", CHANNEL + ".3.2", "s", "Night-2",
                     FORMAT + ".20.2", "i", "97", MODE, "i", "3") == ""
    wanted = {CHANNEL + ".21.1": "239.192.10.1", CHANNEL + ".22.1": "5004", CHANNEL + ".22.2": "5006",
              CHANNEL + ".3.2": b"Night-2".hex(), FORMAT + ".20.2": "97", MODE: "3"}
    for mode in ("next", "bulk"):
        walk = {oid: value for oid, _, value in pysnmp(agent.port, mode, ROOT)}
        assert {oid: walk.get(oid) for oid in wanted} == wanted
    assert agent.stop() == 0
    assert sorted(line for line in agent.stderr.splitlines() if " set to " in line) == [
        'channelMulticastAddress.1 set to 239.192.10.1', 'channelMulticastPort.1 set to 5004',
        'channelMulticastPort.2 set to 5006', 'channelUserDesc.2 set to "Night-2"', 'deviceMode set to 3',
        'videoFormatRtpPayloadType.2 set to 97']


@pytest.mark.parametrize("option", [(), ("--writable-tables",)])
def test_cells_outside_the_columns_refused_beside_real_ones(agents, option):
    agent = agents()
    agent.grant_write()
    agent.start(*option)
    for outside in (CHANNEL + ".26.1", CHANNEL + ".1.1", FORMAT + ".21.1"):
        assert agent.set(CHANNEL + ".22.1", "i", "5004", outside, "i", "1") == "notWritable"
    assert agent.get(CHANNEL + ".22.1") == "0"
    assert agent.stop() == 0
