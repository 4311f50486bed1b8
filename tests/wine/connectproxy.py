#!/usr/bin/env python3
"""An HTTP proxy on loopback that opens CONNECT tunnels and nothing else.

usage: connectproxy.py LOG [PORT]

Listens on 127.0.0.1:PORT (0, the default: any free port) and prints the port
on its first line. Each CONNECT host:port is written to LOG, resolved as the
machine resolves it, and tunnelled from 127.0.0.2, so that the server at the
other end sees which connections came through here. Anything else is
answered 405 and written to LOG too.
"""
import socket
import sys
import threading

TUNNEL_SOURCE = "127.0.0.2"


def relay(source, target):
    try:
        while data := source.recv(65536):
            target.sendall(data)
    except OSError:
        pass
    finally:
        for s in (source, target):
            try:
                s.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(client, log):
    head = b""
    while b"\r\n\r\n" not in head:
        data = client.recv(4096)
        if not data or len(head) > 65536:
            client.close()
            return
        head += data
    method, target = head.split(b"\r\n", 1)[0].decode("latin-1").split(" ")[:2]
    with open(log, "a") as f:
        f.write("%s %s\n" % (method, target))
    if method != "CONNECT":
        client.sendall(b"HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\n\r\n")
        client.close()
        return
    host, port = target.rsplit(":", 1)
    try:
        upstream = socket.create_connection((host, int(port)), timeout=10,
                                            source_address=(TUNNEL_SOURCE, 0))
    except OSError:
        client.sendall(b"HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n")
        client.close()
        return
    upstream.settimeout(None)
    client.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n")
    rest = head.split(b"\r\n\r\n", 1)[1]
    if rest:
        upstream.sendall(rest)
    threading.Thread(target=relay, args=(upstream, client), daemon=True).start()
    relay(client, upstream)


def main():
    log = sys.argv[1]
    server = socket.socket()
    server.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    server.bind(("127.0.0.1", int(sys.argv[2]) if len(sys.argv) > 2 else 0))
    server.listen(16)
    print(server.getsockname()[1], flush=True)
    while True:
        client, _ = server.accept()
        threading.Thread(target=serve, args=(client, log), daemon=True).start()


if __name__ == "__main__":
    main()
