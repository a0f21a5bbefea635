#!/usr/bin/env python3
# One short start/serve/stop cycle under Valgrind's memcheck: GETs, a walk,
# SETs, a tooBig answer and a few broken datagrams, then SIGTERM. Any memory
# error or definite leak fails.
# Usage: valgrind_cycle.py <agent binary>
import os
import sys
import tempfile

import ber
from agent_runner import DEVICE_DESC, DEVICE_DESC_TEXT, VIVOE, Agent, Client, check

USER_DESC = VIVOE + ".3.1.1.10.0"
ERROR_STATUS = 99


def serve(client):
    response = client.request(ber.message(ber.GET, [DEVICE_DESC]), timeout=5.0)
    check(response is not None and response.bindings[0][2] == DEVICE_DESC_TEXT, "GET deviceDesc failed")
    walk = client.walk()
    check(walk is not None and len(walk) > 100, "walk failed")
    check(client.request(ber.bulk([VIVOE], 0, 50), timeout=5.0) is not None, "GETBULK failed")
    for i, value in enumerate((b"x" * 3000, b"", b"\xe9\x00 leak check")):
        response = client.request(ber.message(ber.SET, [(USER_DESC, ber.octets(value))], community=b"private",
                                              request_id=100 + i), timeout=5.0)
        check(response is not None and response.error_status == 0, "SET failed")
    response = client.request(ber.message(ber.SET, [(USER_DESC, ber.integer(1))], community=b"private",
                                          request_id=200), timeout=5.0)
    check(response is not None and response.error_status == ber.WRONG_TYPE, "wrong type not refused")
    response = client.request(ber.message(ber.GET, [DEVICE_DESC] * 1000, request_id=300), timeout=10.0)
    check(response is not None and response.error_status == ber.TOO_BIG, "no tooBig")
    valid = ber.message(ber.GETNEXT, [VIVOE])
    for packet in [valid[:n] for n in range(0, len(valid), 3)] + [b"\x30\x84\xff\xff\xff\xff", b"\x00" * 50]:
        client.send(packet)
    check(client.request(ber.message(ber.GET, [DEVICE_DESC], request_id=400), timeout=5.0) is not None,
          "no answer after broken datagrams")
    return len(walk)


def leak_report(text):
    summary = [line.split("==", 2)[-1].strip() for line in text.splitlines()
               if "definitely lost:" in line or "ERROR SUMMARY:" in line]
    return "\n".join(summary)


def main():
    binary = sys.argv[1]
    with tempfile.TemporaryDirectory(prefix="vivoe-valgrind-") as logs:
        log = os.path.join(logs, "memcheck.log")
        agent = Agent(binary, write_community="private",
                      prefix=["valgrind", "--leak-check=full", "--errors-for-leak-kinds=definite",
                              "--error-exitcode=%d" % ERROR_STATUS, "--num-callers=40",
                              "--log-file=" + log])
        try:
            # Memcheck runs the agent tens of times slower.
            check(agent.wait_started(timeout=120.0), "agent did not start under valgrind:\n" + agent.stderr())
            client = Client(agent.port)
            objects = serve(client)
            client.close()
            status = agent.stop(timeout=120.0)
            stop_lines = agent.stderr().count("VIVOE MIB Server stopped")
        finally:
            agent.close()
        with open(log) as f:
            report = f.read()
    print("served a walk of %d objects, SETs, tooBig and broken datagrams under memcheck" % objects)
    print(leak_report(report))
    check(status != ERROR_STATUS, "memcheck found errors or definite leaks:\n" + report[-20000:])
    check(status == 0, "exit status %s after SIGTERM" % status)
    check(stop_lines == 1, "%d stop lines" % stop_lines)
    check("ERROR SUMMARY: 0 errors" in report, "memcheck reported errors")
    print("PASS")


if __name__ == "__main__":
    main()
