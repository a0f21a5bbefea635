#!/usr/bin/python3
"""Queries the agent with pysnmp, an SNMP stack independent of Net-SNMP, and
prints one canonical line per binding: OID TYPE VALUE.

usage: pysnmp_client.py PORT walk|bulkwalk ROOT
       pysnmp_client.py PORT get OID...
"""
import ipaddress
import sys

from pysnmp.hlapi import (CommunityData, ContextData, ObjectIdentity, ObjectType, SnmpEngine,
                          UdpTransportTarget, bulkCmd, getCmd, nextCmd)
from pysnmp.proto import rfc1902, rfc1905


def canonical(name, value):
    if isinstance(value, rfc1902.IpAddress):
        text = ('IPADDRESS', str(ipaddress.IPv4Address(value.asOctets())))
    elif isinstance(value, rfc1902.OctetString):
        text = ('STRING', value.asOctets().hex())
    elif isinstance(value, rfc1902.Integer32):
        text = ('INTEGER', str(int(value)))
    elif isinstance(value, (rfc1905.NoSuchObject, rfc1905.NoSuchInstance, rfc1905.EndOfMibView)):
        text = (type(value).__name__, '')
    else:
        text = (type(value).__name__, value.prettyPrint())
    return '%s %s %s' % (name.prettyPrint(), text[0], text[1])


def main():
    port, mode, oids = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
    session = (SnmpEngine(), CommunityData('maplet'),
               UdpTransportTarget(('127.0.0.1', port), timeout=2, retries=1), ContextData())
    objects = [ObjectType(ObjectIdentity(oid)) for oid in oids]
    if mode == 'get':
        requests = getCmd(*session, *objects, lookupMib=False)
    elif mode == 'walk':
        requests = nextCmd(*session, *objects, lexicographicMode=False, lookupMib=False)
    else:
        requests = bulkCmd(*session, 0, 25, *objects, lexicographicMode=False, lookupMib=False)
    for error_indication, error_status, _, binds in requests:
        if error_indication or error_status:
            print('error %s %s' % (error_indication, error_status), file=sys.stderr)
            return 1
        for name, value in binds:
            # GETBULK pads its last answer past the end of the tree.
            if mode != 'get' and isinstance(value, rfc1905.EndOfMibView):
                continue
            print(canonical(name, value))
    return 0


if __name__ == '__main__':
    sys.exit(main())
