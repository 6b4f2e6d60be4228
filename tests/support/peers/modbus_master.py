"""A Modbus RTU master from pymodbus, polling one slave over a serial line.

    modbus_master.py DEVICE UNIT REQUESTS

Runs REQUESTS requests at 9600 baud, 8 data bits, even parity, one stop
bit, cycling through writes of one register (function 6), writes of
several (16), reads (3) that check what was written, and one read past the
end of the slave's 100 registers, which must come back as exception 2.
Prints one line of JSON: requests, failures (no answer, a wrong answer or
an unexpected exception), and the latency of the answered ones in ms.
Exits 0 when every request was answered as expected.
"""
import json
import sys
import time

from pymodbus.client import ModbusSerialClient


def main():
    device, unit, total = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
    # strict=False: pymodbus would otherwise reconfigure the line for its
    # inter-character timeout, which a pseudo-terminal refuses (it has no
    # parity to keep and so rejects the unchanged settings).
    client = ModbusSerialClient(port=device, baudrate=9600, bytesize=8, parity="E", stopbits=1,
                                timeout=1, retries=0, strict=False)
    if not client.connect():
        print(json.dumps({"error": "cannot open " + device}))
        return 2
    shadow = [0] * 100
    failures, latencies, details = 0, [], []
    for i in range(total):
        kind = i % 4
        address = (i * 7) % 96
        start = time.perf_counter()
        try:
            if kind == 0:
                value = (i * 2654435761) & 0xFFFF
                r = client.write_register(address, value, slave=unit)
                ok = not r.isError() and r.value == value
                shadow[address] = value
            elif kind == 1:
                values = [(i + k * 40503) & 0xFFFF for k in range(4)]
                r = client.write_registers(address, values, slave=unit)
                ok = not r.isError() and r.count == 4
                shadow[address:address + 4] = values
            elif kind == 2:
                r = client.read_holding_registers(address, 4, slave=unit)
                ok = not r.isError() and r.registers == shadow[address:address + 4]
            else:
                r = client.read_holding_registers(98, 4, slave=unit)
                ok = r.isError() and getattr(r, "exception_code", None) == 2
        except Exception as e:  # a torn or garbled answer
            r, ok = e, False
        elapsed = (time.perf_counter() - start) * 1000.0
        if ok:
            latencies.append(elapsed)
        else:
            failures += 1
            if len(details) < 5:
                details.append("%d: %s" % (i, r))
    client.close()
    latencies.sort()

    def at(q):
        return round(latencies[min(len(latencies) - 1, int(q * len(latencies)))], 2) if latencies else None

    print(json.dumps({
        "requests": total, "failures": failures, "details": details,
        "latency_ms": {"mean": round(sum(latencies) / len(latencies), 2) if latencies else None,
                       "p50": at(0.5), "p99": at(0.99), "max": at(1.0)},
    }))
    return 0 if failures == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
