#!/usr/bin/env python3
"""The benchmarks' reference HTTP responder: the server side of a floor.

It shares no code with the service emulator (tests/emulator), so a fault of the
emulator (a stall, a slow answer) can only slow the figure measured against the
emulator, never the floor that bounds it. It does the least a server can do:
reads a request's head, answers every request with the same fixed status,
headers and body in one write on a socket without Nagle's algorithm, keeps the
connection open for the next request (HTTP/1.1) and closes it when the client
does.

  reference_server.py --port-file FILE --body TEXT
prints nothing; writes its port to FILE once it listens.
"""
import argparse
import socket
import threading


def serve(connection, answer):
    connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pending = b""
    with connection:
        while True:
            end = pending.find(b"\r\n\r\n")
            if end < 0:
                data = connection.recv(65536)
                if not data:
                    return
                pending += data
                continue
            # Requests without a body only (GET): the head is the whole request.
            pending = pending[end + 4:]
            connection.sendall(answer)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--body", required=True)
    args = parser.parse_args()
    body = args.body.encode("latin-1")
    answer = (b"HTTP/1.1 200 OK\r\nServer: reference\r\nContent-Type: text/plain\r\n"
              b"Content-Length: %d\r\n\r\n" % len(body)) + body
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(256)
    with open(args.port_file, "w") as f:
        f.write(str(listener.getsockname()[1]))
    while True:
        connection, _ = listener.accept()
        threading.Thread(target=serve, args=(connection, answer), daemon=True).start()


if __name__ == "__main__":
    main()
