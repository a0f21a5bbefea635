#!/usr/bin/env python3
# SET abuse with write access granted: deviceUserDesc set thousands of times,
# up to the largest value one datagram can carry, each value read back octet
# for octet; memory stays flat; a wrong type or a failing neighbour in the
# same request never changes a value.
# Usage: set_abuse.py <agent binary> <allowed VmRSS growth in KiB | unbounded>
import random
import sys

import ber
from agent_runner import VIVOE, Agent, Client, check

USER_DESC = VIVOE + ".3.1.1.10.0"
DEVICE_MODE = VIVOE + ".3.1.1.14.0"
DEVICE_RESET = VIVOE + ".3.1.1.15.0"
CHANNEL_RESET = VIVOE + ".3.1.3.1.0"
CHANNEL_USER_DESC = VIVOE + ".3.1.3.3.1.3.1"
MAX_DATAGRAM = 65507
VOLUME_SETS = 3000

IP_ADDRESS, COUNTER32, GAUGE32, TIMETICKS, OPAQUE, COUNTER64 = 0x40, 0x41, 0x42, 0x43, 0x44, 0x46
WRONG_FOR_TEXT = [ber.integer(5), ber.tlv(ber.NULL, b""), ber.oid(VIVOE), ber.tlv(IP_ADDRESS, b"\x7f\0\0\1"),
                  ber.tlv(OPAQUE, b"\x04\x01x"), ber.tlv(COUNTER64, b"\x01")]
WRONG_FOR_INTEGER = [ber.octets(b"\x00\x00\x00\x02"), ber.tlv(ber.NULL, b""), ber.tlv(COUNTER32, b"\x02"),
                     ber.tlv(GAUGE32, b"\x02"), ber.tlv(TIMETICKS, b"\x02"), ber.tlv(IP_ADDRESS, b"\0\0\0\2")]


def set_message(bindings, request_id):
    return ber.message(ber.SET, bindings, community=b"private", request_id=request_id)


class Session:
    def __init__(self, client):
        self.client = client
        self.request_id = 0

    def _next_id(self):
        self.request_id += 1
        return self.request_id

    def set(self, bindings):
        return self.client.request(set_message(bindings, self._next_id()), timeout=3.0)

    def get(self, names):
        return self.client.request(ber.message(ber.GET, names, request_id=self._next_id()), timeout=3.0)

    def read(self, name):
        response = self.get([name])
        check(response is not None and response.error_status == 0, "GET %s failed" % name)
        return response.bindings[0][1:]

    def set_text(self, value):
        response = self.set([(USER_DESC, ber.octets(value))])
        check(response is not None, "no answer to a SET of %d octets" % len(value))
        check(response.error_status == ber.NO_ERROR,
              "SET of %d octets: error %d" % (len(value), response.error_status))
        check(self.read(USER_DESC) == (ber.OCTET_STRING, value),
              "a %d-octet value did not read back exactly" % len(value))


def largest_value():
    """The longest deviceUserDesc whose SET still fits one UDP datagram."""
    overhead = len(set_message([(USER_DESC, ber.octets(b"x" * 60000))], 1)) - 60000
    return MAX_DATAGRAM - overhead


def check_limits(session, rng):
    biggest = largest_value()
    for size in (0, 1, 255, 256, 1472, 1473, 4096, 32767, 65000, biggest):
        session.set_text(rng.randbytes(size))
    print("largest deviceUserDesc in one datagram: %d octets, accepted and read back" % biggest)
    try:
        session.client.send(set_message([(USER_DESC, ber.octets(b"y" * (biggest + 1)))], 1))
        check(False, "a %d-octet datagram left the client" % (MAX_DATAGRAM + 1))
    except OSError:
        pass
    # Stored fine, but two copies cannot travel in one answer.
    response = session.get([USER_DESC, USER_DESC])
    check(response is not None and response.error_status == ber.TOO_BIG,
          "GET of two %d-octet values: %s" % (biggest, response and response.error_status))
    print("GET of the largest value twice -> tooBig")


def check_volume(agent, session, rng):
    rss_before = agent.vmrss_kib()
    sizes = [rng.choice((rng.randrange(0, 64), rng.randrange(64, 4096))) for _ in range(VOLUME_SETS)]
    for i in range(0, VOLUME_SETS, 100):
        sizes[i] = rng.randrange(32768, largest_value() + 1)
    for size in sizes:
        session.set_text(rng.randbytes(size))
    rss_after = agent.vmrss_kib()
    print("%d SETs of 0..%d octets (%d octets in all), each read back; VmRSS before %d KiB, after %d KiB"
          % (len(sizes), max(sizes), sum(sizes), rss_before, rss_after))
    return rss_before, rss_after


def wrong_requests():
    """(name, bindings): every one must fail and leave every value as it was."""
    rows = [("deviceUserDesc as tag 0x%02x" % value[0], [(USER_DESC, value)]) for value in WRONG_FOR_TEXT]
    for name in (DEVICE_MODE, DEVICE_RESET, CHANNEL_RESET):
        rows += [("%s as tag 0x%02x" % (name, value[0]), [(name, value)]) for value in WRONG_FOR_INTEGER]
    rows += [
        ("good text, then wrong-typed mode", [(USER_DESC, ber.octets(b"lost")), (DEVICE_MODE, ber.octets(b"2"))]),
        ("good mode, then wrong-typed text", [(DEVICE_MODE, ber.integer(3)), (USER_DESC, ber.integer(3))]),
        ("good text, then a read-only table cell", [(USER_DESC, ber.octets(b"lost")),
                                                    (CHANNEL_USER_DESC, ber.octets(b"x"))]),
        ("same object twice, second wrong", [(USER_DESC, ber.octets(b"lost")), (USER_DESC, ber.integer(1))]),
        ("good text, then a read-only scalar", [(USER_DESC, ber.octets(b"lost")),
                                                (VIVOE + ".3.1.1.1.0", ber.octets(b"x"))]),
    ]
    return rows


def check_wrong_types(session):
    names = [USER_DESC, DEVICE_MODE, DEVICE_RESET, CHANNEL_RESET]
    before = session.get(names).bindings
    for row, bindings in wrong_requests():
        response = session.set(bindings)
        check(response is not None, row + ": no answer")
        check(response.error_status != ber.NO_ERROR, row + ": accepted")
        check(session.get(names).bindings == before, row + ": a value changed")
    read_only = session.client.request(ber.message(ber.SET, [(USER_DESC, ber.octets(b"lost"))], request_id=99999))
    check(read_only is not None and read_only.error_status != ber.NO_ERROR, "SET through maplet accepted")
    check(session.get(names).bindings == before, "SET through maplet changed a value")
    print("%d refused SETs (wrong types, failing neighbours, read-only community) changed nothing"
          % (len(wrong_requests()) + 1))


def main():
    binary, bound = sys.argv[1], sys.argv[2]
    rng = random.Random(1014)
    agent = Agent(binary, write_community="private")
    try:
        check(agent.wait_started(), "agent did not start:\n" + agent.stderr())
        session = Session(Client(agent.port))
        check_limits(session, rng)
        rss_before, rss_after = check_volume(agent, session, rng)
        check(bound == "unbounded" or rss_after - rss_before <= int(bound),
              "memory grew by %d KiB, allowed %s" % (rss_after - rss_before, bound))
        check_wrong_types(session)
        status = agent.stop()
        check(status == 0, "exit status %s after SIGTERM\n%s" % (status, agent.stderr()[-3000:]))
    finally:
        agent.close()
    print("PASS")


if __name__ == "__main__":
    main()
