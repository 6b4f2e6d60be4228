"""python-zeroconf as a second, independent mDNS implementation on the
loopback only (never another interface: interfaces=['127.0.0.1']).

    zeroconf_peer.py publish NAME TYPE PORT [KEY=VALUE | KEY]...
        announces NAME (TYPE like "_orvtest._tcp") at 127.0.0.1:PORT with
        that TXT record, prints "published", and keeps it announced until
        standard input closes.
    zeroconf_peer.py resolve NAME TYPE [SECONDS]
        looks NAME up until it answers (at most SECONDS, default 20) and
        prints one line of JSON: host, port, the TXT record (a key alone is
        null) and how long it took in ms.
"""
import json
import socket
import sys
import time

from zeroconf import IPVersion, ServiceInfo, Zeroconf


def txt(entries):
    record = {}
    for entry in entries:
        key, sep, value = entry.partition("=")
        record[key] = value if sep else None
    return record


def main():
    zc = Zeroconf(interfaces=["127.0.0.1"], ip_version=IPVersion.V4Only)
    try:
        if sys.argv[1] == "publish":
            name, kind, port = sys.argv[2], sys.argv[3], int(sys.argv[4])
            info = ServiceInfo(kind + ".local.", name + "." + kind + ".local.", port=port,
                               addresses=[socket.inet_aton("127.0.0.1")],
                               properties=txt(sys.argv[5:]), server=name.replace(" ", "-") + ".local.")
            zc.register_service(info)
            print("published", flush=True)
            sys.stdin.read()
            zc.unregister_service(info)
            return 0
        name, kind = sys.argv[2], sys.argv[3]
        limit = float(sys.argv[4]) if len(sys.argv) > 4 else 20.0
        start = time.monotonic()
        info = None
        while info is None and time.monotonic() - start < limit:
            info = zc.get_service_info(kind + ".local.", name + "." + kind + ".local.", timeout=2000)
        if info is None:
            print(json.dumps({"error": "not found"}), flush=True)
            return 1
        props = {k.decode("latin-1"): (None if v is None else v.decode("latin-1"))
                 for k, v in info.properties.items()}
        print(json.dumps({"host": info.server, "port": info.port, "txt": props,
                          "ms": round((time.monotonic() - start) * 1000)}), flush=True)
        return 0
    finally:
        zc.close()


if __name__ == "__main__":
    sys.exit(main())
