# Just enough BER to build SNMPv1/v2c messages byte by byte, valid or not,
# and to read the agent's responses. The stress tests need malformed and
# oversized messages that no SNMP library will produce.

INTEGER, OCTET_STRING, NULL, OID, SEQUENCE = 0x02, 0x04, 0x05, 0x06, 0x30
GET, GETNEXT, RESPONSE, SET, GETBULK = 0xA0, 0xA1, 0xA2, 0xA3, 0xA5
END_OF_MIB_VIEW = 0x82
V1, V2C = 0, 1
NO_ERROR, TOO_BIG, WRONG_TYPE = 0, 1, 7


def length(n):
    if n < 0x80:
        return bytes([n])
    octets = n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([0x80 | len(octets)]) + octets


def tlv(tag, content):
    return bytes([tag]) + length(len(content)) + content


def integer(value, width=None):
    # A fixed width keeps message sizes predictable (request ids).
    if width is None:
        width = max(1, (value.bit_length() + 8) // 8)
    return tlv(INTEGER, value.to_bytes(width, "big", signed=True))


def octets(data):
    return tlv(OCTET_STRING, data)


def oid(text):
    arcs = [int(a) for a in text.strip(".").split(".")]
    body = bytes([40 * arcs[0] + arcs[1]])
    for arc in arcs[2:]:
        chunk = [arc & 0x7F]
        arc >>= 7
        while arc:
            chunk.append(0x80 | (arc & 0x7F))
            arc >>= 7
        body += bytes(reversed(chunk))
    return tlv(OID, body)


def varbind(name, value=tlv(NULL, b"")):
    return tlv(SEQUENCE, oid(name) + value)


def message(pdu_type, names_or_bindings, community=b"maplet", version=V2C,
            request_id=0x10203040, error_status=0, error_index=0):
    """A whole message. Names get NULL values; (name, encoded value) pairs are kept."""
    bindings = b"".join(varbind(*b) if isinstance(b, tuple) else varbind(b)
                        for b in names_or_bindings)
    pdu = tlv(pdu_type, integer(request_id, 4) + integer(error_status) + integer(error_index)
              + tlv(SEQUENCE, bindings))
    return tlv(SEQUENCE, integer(version) + octets(community) + pdu)


def bulk(names, non_repeaters, max_repetitions, **kwargs):
    return message(GETBULK, names, error_status=non_repeaters, error_index=max_repetitions, **kwargs)


def read_tlv(data, at):
    """(tag, content start, content end) of the element at `at`."""
    tag, first = data[at], data[at + 1]
    at += 2
    if first & 0x80:
        count = first & 0x7F
        size = int.from_bytes(data[at:at + count], "big")
        at += count
    else:
        size = first
    if at + size > len(data):
        raise ValueError("truncated element")
    return tag, at, at + size


def decode_oid(body):
    arcs = [body[0] // 40, body[0] % 40]
    arc = 0
    for byte in body[1:]:
        arc = (arc << 7) | (byte & 0x7F)
        if not byte & 0x80:
            arcs.append(arc)
            arc = 0
    return ".".join(str(a) for a in arcs)


class Response:
    def __init__(self, data):
        _, at, end = read_tlv(data, 0)
        _, s, e = read_tlv(data, at)
        self.version = int.from_bytes(data[s:e], "big", signed=True)
        _, s, e = read_tlv(data, e)
        self.community = data[s:e]
        self.pdu_type, at, _ = read_tlv(data, e)
        fields = []
        for _ in range(3):
            _, s, at = read_tlv(data, at)
            fields.append(int.from_bytes(data[s:at], "big", signed=True))
        self.request_id, self.error_status, self.error_index = fields
        _, at, end = read_tlv(data, at)
        self.bindings = []
        while at < end:
            _, s, at = read_tlv(data, at)
            _, os, oe = read_tlv(data, s)
            tag, vs, ve = read_tlv(data, oe)
            self.bindings.append((decode_oid(data[os:oe]), tag, data[vs:ve]))
