#!/usr/bin/env python3
# A few thousand malformed or abusive datagrams against a running agent over
# about ten seconds. Afterwards it must still answer exactly as before, must
# not have grown, and must never have answered a community it does not know.
# Usage: hostile_datagrams.py <agent binary> <allowed VmRSS growth in KiB | unbounded>
# (unbounded under AddressSanitizer, whose quarantine keeps freed memory
# resident; LeakSanitizer checks the agent at exit instead.)
import random
import re
import sys
import time

import ber
from agent_runner import DEVICE_DESC, DEVICE_DESC_TEXT, VIVOE, Agent, Client, check

FLOOD_SECONDS = 10.0
# The largest UDP payload over IPv4: nothing bigger reaches the agent.
MAX_DATAGRAM = 65507

PARSE_COMPLAINT = re.compile(r"bad type returned \([0-9a-f]+\)|Bad PDU type received: 0x[0-9a-f]+")

# Good requests to cut short and to corrupt.
VALID = [
    ber.message(ber.GET, [DEVICE_DESC]),
    ber.message(ber.GET, [DEVICE_DESC], version=ber.V1),
    ber.message(ber.GETNEXT, [VIVOE], version=ber.V1),
    ber.bulk([VIVOE, DEVICE_DESC], 1, 10),
]

UNKNOWN_COMMUNITIES = [b"", b"public", b"private", b"MAPLET", b"maple", b"maplet\x00",
                       b"maplet ", b"maplet" * 200]
# Versions a v1/v2c message can claim that this agent does not speak.
WRONG_VERSIONS = [2, 3, 4, -1, 255, 2 ** 31 - 1]


def truncations(packet):
    return [packet[:n] for n in range(len(packet))]


def byte_flips(packet):
    out = []
    for at in range(len(packet)):
        for mask in (0x01, 0x80, 0xFF):
            flipped = bytearray(packet)
            flipped[at] ^= mask
            out.append(bytes(flipped))
    return out


def random_bytes(rng, count):
    out = []
    for i in range(count):
        size = rng.randrange(1, 1500) if i % 50 else rng.randrange(1500, MAX_DATAGRAM)
        body = rng.randbytes(size)
        # Half start like a message so the parser gets past the first octet.
        out.append(body if i % 2 else b"\x30" + ber.length(size) + body)
    return out


def with_raw_bindings(bindings):
    """A v2c GET whose varbind list is given as raw octets."""
    return ber.tlv(ber.SEQUENCE, ber.integer(ber.V2C) + ber.octets(b"maplet")
                   + ber.tlv(ber.GET, ber.integer(7) + ber.integer(0) * 2 + bindings))


def absurd_lengths():
    header = ber.integer(1) + ber.octets(b"maplet")
    huge = b"\x84\x7f\xff\xff\xff"
    return [
        b"\x30\x84\xff\xff\xff\xff" + header,
        b"\x30\x88\xff\xff\xff\xff\xff\xff\xff\xff" + header,
        b"\x30\xff" + header,
        b"\x30\x80" + header + b"\x00\x00",  # indefinite length
        b"\x30\x82\x00\x05" + header,  # shorter than its content
        b"\x30\x00",
        ber.tlv(ber.SEQUENCE, b"\x02" + huge + b"\x01"),
        ber.tlv(ber.SEQUENCE, ber.integer(1) + b"\x04" + huge + b"maplet"),
        ber.tlv(ber.SEQUENCE, header + b"\xa0\x84\xff\xff\xff\xff" + ber.integer(1)),
        ber.tlv(ber.SEQUENCE, header + b"\xa0\x00"),
        ber.tlv(ber.SEQUENCE, ber.tlv(ber.INTEGER, b"\x01" * 127) + ber.octets(b"maplet")),
        with_raw_bindings(b"\x30" + huge),
        with_raw_bindings(ber.tlv(ber.SEQUENCE, ber.tlv(ber.SEQUENCE, b"\x06" + huge + b"\x2b\x06"))),
        with_raw_bindings(ber.tlv(ber.SEQUENCE, ber.varbind(DEVICE_DESC)[:-2] + b"\x04" + huge)),
        # a sub-identifier far beyond 32 bits, and an OID longer than any agent keeps
        with_raw_bindings(ber.tlv(ber.SEQUENCE, ber.tlv(ber.SEQUENCE, ber.tlv(
            ber.OID, b"\x2b" + b"\xff" * 40 + b"\x01") + b"\x05\x00"))),
        ber.message(ber.GET, [".".join(["1", "3"] + ["6"] * 200)]),
    ]


def deep_nesting():
    out = []
    for depth in (10, 100, 1000, 10000):
        nested = b""
        for _ in range(depth):
            nested = ber.tlv(ber.SEQUENCE, nested)
        if len(nested) <= MAX_DATAGRAM:
            out.append(nested)
        # the same tower as a varbind value, and as the varbind list
        value = nested[:MAX_DATAGRAM - 200]
        if len(value) == len(nested):
            out.append(ber.message(ber.GET, [(DEVICE_DESC, value)]))
            out.append(with_raw_bindings(nested))
    return out


def snmpv3_unknown_user(engine_id, user):
    security = ber.tlv(ber.SEQUENCE, ber.octets(engine_id) + ber.integer(0) + ber.integer(0)
                       + ber.octets(user) + ber.octets(b"") + ber.octets(b""))
    header = ber.tlv(ber.SEQUENCE, ber.integer(4711) + ber.integer(65507)
                     + ber.octets(b"\x04") + ber.integer(3))
    pdu = ber.tlv(ber.GET, ber.integer(4711, 4) + ber.integer(0) + ber.integer(0)
                  + ber.tlv(ber.SEQUENCE, ber.varbind(DEVICE_DESC)))
    scoped = ber.tlv(ber.SEQUENCE, ber.octets(engine_id) + ber.octets(b"") + pdu)
    return ber.tlv(ber.SEQUENCE, ber.integer(3) + header + ber.octets(security) + scoped)


def big_requests():
    """Requests that are well formed but ask for a great deal, with what must come back."""
    names = [VIVOE + ".3.1.1.%d.0" % (i % 16) for i in range(1000)]
    return [
        ("getbulk max-repetitions 65535", ber.bulk([VIVOE], 0, 65535), ber.NO_ERROR),
        ("getbulk 1000 repeaters x 65535", ber.bulk(names, 0, 65535), None),
        ("getbulk non-repeaters 65535", ber.bulk(names, 65535, 65535), None),
        ("getbulk negative counts", ber.bulk([VIVOE], -1, -1), None),
        ("getnext 1000 names", ber.message(ber.GETNEXT, names), ber.NO_ERROR),
        ("get 1000 names", ber.message(ber.GET, names), ber.NO_ERROR),
        # this answer cannot fit in one datagram: tooBig, not silence
        ("get deviceDesc 1000 times", ber.message(ber.GET, [DEVICE_DESC] * 1000), ber.TOO_BIG),
    ]


def hostile_set(rng):
    """Every hostile datagram by kind; each kind is sent more than once where it is short."""
    return {
        "truncated": [t for packet in VALID for t in truncations(packet)],
        "byte flipped": [f for packet in VALID for f in byte_flips(packet)],
        "random": random_bytes(rng, 2500),
        "absurd length": absurd_lengths() * 5,
        "deep nesting": deep_nesting() * 3,
        "wrong version": [ber.message(ber.GET, [DEVICE_DESC], version=v) for v in WRONG_VERSIONS + [2 ** 40]],
        "unknown community": [ber.message(ber.GET, [DEVICE_DESC], community=c) for c in UNKNOWN_COMMUNITIES] * 5,
        "SNMPv3 unknown user": [snmpv3_unknown_user(b"", b""),
                                snmpv3_unknown_user(b"\x80\x00\x1f\x88\x04intruder", b"intruder")],
        "oversized request": [p for _, p, _ in big_requests()] * 3,
    }


def flood(agent, packets):
    client = Client(agent.port)
    pause = FLOOD_SECONDS / len(packets)
    replies, started = 0, time.monotonic()
    for i, packet in enumerate(packets):
        client.send(packet)
        if i % 100 == 99:
            replies += client.drain()
            check(agent.alive(), "agent died after %d hostile datagrams" % (i + 1))
        time.sleep(pause)
    time.sleep(0.5)
    replies += client.drain()
    client.close()
    return replies, time.monotonic() - started


def check_big_requests(client):
    for name, packet, wanted in big_requests():
        response = client.request(packet, timeout=3.0, tries=1)
        check(response is not None, "no answer to " + name)
        if wanted is not None:
            check(response.error_status == wanted,
                  "%s: error status %d, wanted %d" % (name, response.error_status, wanted))
        print("%-32s -> error %d, %d bindings" % (name, response.error_status, len(response.bindings)))


def check_no_reflection(client):
    silent = [("community %r" % c[:12], ber.message(ber.GET, [DEVICE_DESC], community=c, version=v))
              for c in UNKNOWN_COMMUNITIES for v in (ber.V1, ber.V2C)]
    silent += [("version %d" % v, ber.message(ber.GET, [DEVICE_DESC], version=v)) for v in WRONG_VERSIONS]
    for name, packet in silent:
        client.send(packet)
        reply = client.receive(0.3)
        check(reply is None, "%s got a %d-byte reply" % (name, 0 if reply is None else len(reply)))
    print("no reply to %d requests with unknown communities or versions" % len(silent))


def check_snmpv3_reports(client):
    # Engine discovery and unknown users get a Report, never data.
    reports = 0
    for packet in (snmpv3_unknown_user(b"", b""), snmpv3_unknown_user(b"\x80\x00\x1f\x88\x04intruder", b"x")):
        client.send(packet)
        reply = client.receive(1.0)
        if reply is None:
            continue
        _, at, _ = ber.read_tlv(reply, 0)
        for _ in range(3):  # version, header, security parameters
            _, _, at = ber.read_tlv(reply, at)
        _, at, _ = ber.read_tlv(reply, at)
        for _ in range(2):  # context engine id and name
            _, _, at = ber.read_tlv(reply, at)
        check(reply[at] == 0xA8, "SNMPv3 unknown user answered with PDU type 0x%02x" % reply[at])
        reports += 1
    print("SNMPv3 without a known user: %d of 2 answered, all with a Report" % reports)


def check_log(written, datagrams):
    # The library names what it could not parse, one short line per datagram
    # at most; anything else (a dump of a whole request) is amplification.
    lines = written.splitlines()
    unexpected = [line for line in lines if not PARSE_COMPLAINT.fullmatch(line)]
    print("the flood logged %d parse complaints" % len(lines))
    check(not unexpected, "unexpected log lines:\n" + "\n".join(unexpected[:20]))
    check(len(lines) <= datagrams, "more log lines than datagrams")


def answers_as_before(client, walk_before):
    response = client.request(ber.message(ber.GET, [DEVICE_DESC]))
    check(response is not None, "no answer to GET deviceDesc")
    check(response.bindings == [(DEVICE_DESC, ber.OCTET_STRING, DEVICE_DESC_TEXT)],
          "deviceDesc reads %r" % (response.bindings,))
    walk = client.walk()
    check(walk == walk_before, "walk changed: %s objects, was %d" % (walk and len(walk), len(walk_before)))


def main():
    binary, bound = sys.argv[1], sys.argv[2]
    rng = random.Random(35990)
    agent = Agent(binary)
    try:
        check(agent.wait_started(), "agent did not start:\n" + agent.stderr())
        client = Client(agent.port)
        walk_before = client.walk()
        check(walk_before is not None and len(walk_before) > 100, "first walk failed")
        check_big_requests(client)  # also warms every allocation the flood will need
        log_before = agent.stderr()
        rss_before = agent.vmrss_kib()

        kinds = hostile_set(rng)
        packets = [p for ps in kinds.values() for p in ps]
        rng.shuffle(packets)
        replies, seconds = flood(agent, packets)
        print("sent %d hostile datagrams in %.1f s (%s), %d replies"
              % (len(packets), seconds, ", ".join("%s %d" % (k, len(v)) for k, v in kinds.items()), replies))

        check(agent.alive(), "agent died")
        answers_as_before(client, walk_before)
        check_big_requests(client)
        check_no_reflection(client)
        check_snmpv3_reports(client)
        rss_after = agent.vmrss_kib()
        print("VmRSS before %d KiB, after %d KiB, growth %d KiB (allowed %s)"
              % (rss_before, rss_after, rss_after - rss_before, bound))
        check(bound == "unbounded" or rss_after - rss_before <= int(bound), "memory grew too much")
        check_log(agent.stderr()[len(log_before):], len(packets))
        client.close()
        status = agent.stop()
        check(status == 0, "exit status %s after SIGTERM\n%s" % (status, agent.stderr()[-3000:]))
    finally:
        agent.close()
    print("PASS")


if __name__ == "__main__":
    main()
