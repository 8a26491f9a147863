#!/usr/bin/env python3
"""Loopback emulator of the reputation service, for tests and the demo.

Endpoints (fixed paths; the host is 127.0.0.1 and the port is ours):
  GET  /data/app/check/default2.asp?<HEX>   reputation query: the hexadecimal text is the
                                            encrypted request; answered from the catalogue by
                                            the request's [hash] (else the default answer)
  GET  /library/app/feedback/?Md5=..        submission page (a small HTML page)
  GET  /data/manifest/?[guid]=..||..||[VS]  manifest: the catalogue's command file
  GET  any other path                       download from the --files directory (.cab, .xdb, pages)
  POST /data/services/LodanP/events/LodanPevents.tsservice   traffic summary
  POST any other path                       raw query
Every request outside /__control/ is recorded. The control API (same port):
  GET  /__control/requests[?endpoint=query]  recorded requests, oldest first
  GET  /__control/stats                      {"requests", "in_flight", "max_in_flight"}
  POST /__control/script                     add one rule (JSON object) or several (JSON list)
  POST /__control/catalogue                  merge catalogue entries (same form as --catalogue)
  POST /__control/reset                      forget requests, rules, counters and catalogue changes
  GET  /__control/ping                       "ok"
Rule (below) lists the fields of a scripted answer; test_emulator.py shows each in use.

Usage: python3 emulator.py --port N [--catalogue file.json] [--files dir] [--port-file f] [--verbose]
Prints "listening on 127.0.0.1:N" once the socket accepts connections (N is the real port
when --port 0 asked for a free one).
"""

import argparse
import base64
import copy
import json
import os
import random
import socket
import struct
import sys
import threading
import time
import urllib.parse
import urllib.request
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import tscipher  # noqa: E402

QUERY_PATH = "/data/app/check/default2.asp"
FEEDBACK_PATH = "/library/app/feedback/"
MANIFEST_PATH = "/data/manifest/"
EVENTS_PATH = "/data/services/LodanP/events/LodanPevents.tsservice"
CONTROL_PREFIX = "/__control/"

MAX_BODY = 16 * 1024 * 1024
# Generated junk answers may be larger than any request body the emulator accepts:
# tests use them to see what a client does with a huge answer.
MAX_JUNK = 64 * 1024 * 1024

DEFAULT_CATALOGUE = {
    "answers": {},                               # MD5 text -> answer text
    "default_answer": "[Class]=?||[end]=true",   # for a hash the catalogue lacks
    "manifest": "",                              # command file; "{origin}" becomes http://127.0.0.1:N
    "feedback_page": "<html><body>Application feedback</body></html>",
    "events_answer": "OK",
    "raw_answer": "OK",
}


def merge_catalogue(base, update):
    """`base` updated by `update` (answers merged by hash, other keys replaced).
    Raises ValueError for anything but the documented form."""
    if not isinstance(update, dict):
        raise ValueError("catalogue must be a JSON object")
    result = copy.deepcopy(base)
    for key, value in update.items():
        if key not in DEFAULT_CATALOGUE:
            raise ValueError("unknown catalogue key %r" % key)
        if key == "answers":
            if not isinstance(value, dict) or not all(isinstance(v, str) for v in value.values()):
                raise ValueError("answers must map hash text to answer text")
            result["answers"].update(value)
        elif not isinstance(value, str):
            raise ValueError("%s must be text" % key)
        else:
            result[key] = value
    return result


class Rule:
    """One scripted answer. JSON fields, all optional:
      match:          {"method", "path" (exact, without query), "endpoint", "hash"}; all given must hold
      times:          number of requests the rule serves before it is dropped (default: until reset)
      delay_ms:       wait before the status line
      status, reason: status line (default 200 and the standard reason)
      body | body_b64 | junk: body text (Latin-1), base64 bytes, or N pseudo-random bytes (N up to 64 MiB);
                      without any of them the endpoint's normal answer is sent
      headers:        extra headers {"Name": "value"}
      content_length: "auto" (default), "omit" (no header; the body ends with the connection)
                      or a number to declare instead of the real length
      truncate:       send only the first N body bytes, then close the connection
      body_delay_ms:  wait between the headers and the body
      trickle_ms:     send the body one byte at a time, this many milliseconds apart (a server
                      that keeps a download alive without ever finishing it in time)
      header_trickle_ms: after the status line, send one more header line this many milliseconds
                      apart until the client goes away (the headers never end)
      drop:           "before_response", "after_headers" or "mid_body": reset the connection there
    Every rule other than a plain answer closes the connection after the response."""

    KEYS = {"match", "times", "delay_ms", "status", "reason", "body", "body_b64", "junk", "headers",
            "content_length", "truncate", "body_delay_ms", "trickle_ms", "header_trickle_ms", "drop"}
    DROPS = {"before_response", "after_headers", "mid_body"}

    def __init__(self, definition):
        if not isinstance(definition, dict):
            raise ValueError("a rule is a JSON object")
        unknown = set(definition) - self.KEYS
        if unknown:
            raise ValueError("unknown rule fields: %s" % ", ".join(sorted(unknown)))
        self.definition = definition
        self.match = definition.get("match", {})
        if not isinstance(self.match, dict) or set(self.match) - {"method", "path", "endpoint", "hash"}:
            raise ValueError("match takes method, path, endpoint and hash")
        self.times = self._number("times", None, minimum=1)
        self.delay = self._number("delay_ms", 0) / 1000.0
        self.body_delay = self._number("body_delay_ms", 0) / 1000.0
        trickle = self._number("trickle_ms", None, minimum=1, maximum=60000)
        self.trickle = trickle / 1000.0 if trickle is not None else 0
        header_trickle = self._number("header_trickle_ms", None, minimum=1, maximum=60000)
        self.header_trickle = header_trickle / 1000.0 if header_trickle is not None else 0
        self.status = self._number("status", 200, minimum=100, maximum=999)
        self.reason = definition.get("reason")
        self.headers = definition.get("headers", {})
        if not isinstance(self.headers, dict) or not all(
                isinstance(k, str) and isinstance(v, str) for k, v in self.headers.items()):
            raise ValueError("headers must map names to text")
        self.body = None
        if "body" in definition:
            if not isinstance(definition["body"], str):
                raise ValueError("body must be text")
            self.body = definition["body"].encode("latin-1", "replace")
        elif "body_b64" in definition:
            self.body = base64.b64decode(definition["body_b64"], validate=True)
        elif "junk" in definition:
            count = self._number("junk", 0, maximum=MAX_JUNK)
            self.body = random.Random(count).randbytes(count)
        length = definition.get("content_length", "auto")
        if length not in ("auto", "omit") and (not isinstance(length, int) or isinstance(length, bool)
                                               or length < 0):
            raise ValueError("content_length is \"auto\", \"omit\" or a number")
        self.content_length = length
        self.truncate = self._number("truncate", None)
        self.drop = definition.get("drop")
        if self.drop is not None and self.drop not in self.DROPS:
            raise ValueError("drop is one of %s" % ", ".join(sorted(self.DROPS)))

    def _number(self, key, default, minimum=0, maximum=10**9):
        value = self.definition.get(key, default)
        if value is default:
            return value
        if not isinstance(value, int) or isinstance(value, bool) or not minimum <= value <= maximum:
            raise ValueError("%s must be a whole number from %d to %d" % (key, minimum, maximum))
        return value

    def matches(self, record):
        for key, want in self.match.items():
            if record.get(key) != want:
                return False
        return True

    @property
    def misbehaves(self):
        return (self.content_length != "auto" or self.truncate is not None or self.drop is not None
                or self.trickle > 0 or self.header_trickle > 0)


class State:
    def __init__(self, catalogue=None, files=None, verbose=False):
        self.lock = threading.Lock()
        self.stop = threading.Event()
        self.initial_catalogue = merge_catalogue(DEFAULT_CATALOGUE, catalogue or {})
        self.catalogue = copy.deepcopy(self.initial_catalogue)
        self.files = os.path.realpath(files) if files else None
        self.verbose = verbose
        self.origin = ""
        self.reset()

    def reset(self):
        with self.lock:
            self.requests = []
            self.rules = []
            self.seq = 0
            self.max_in_flight = 0
            self.in_flight = getattr(self, "in_flight", 0)
            self.catalogue = copy.deepcopy(self.initial_catalogue)

    def enter(self):
        with self.lock:
            self.in_flight += 1
            self.max_in_flight = max(self.max_in_flight, self.in_flight)

    def leave(self):
        with self.lock:
            self.in_flight -= 1

    def record(self, record):
        with self.lock:
            self.seq += 1
            record["seq"] = self.seq
            self.requests.append(record)

    def take_rule(self, record):
        with self.lock:
            for rule in self.rules:
                if rule.matches(record):
                    if rule.times is not None:
                        rule.times -= 1
                        if rule.times == 0:
                            self.rules.remove(rule)
                    return rule
        return None


class BadRequest(Exception):
    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def classify(method, path):
    if method == "POST":
        return "events" if path == EVENTS_PATH else "raw"
    if path == QUERY_PATH:
        return "query"
    if path == FEEDBACK_PATH:
        return "feedback"
    if path == MANIFEST_PATH:
        return "manifest"
    return "download"


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "TessaryServiceEmulator/1.0"
    timeout = 30  # a client that stops sending does not hold a thread for ever

    @property
    def state(self):
        return self.server.state

    def log_message(self, fmt, *args):
        if self.state.verbose:
            sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def do_GET(self):
        self._dispatch()

    def do_POST(self):
        self._dispatch()

    def do_PUT(self):
        self._dispatch()

    def do_DELETE(self):
        self._dispatch()

    def do_HEAD(self):
        self._dispatch()

    # Request side.

    def _read_body(self):
        if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
            return self._read_chunked()
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        try:
            length = int(length.strip())
        except ValueError:
            raise BadRequest(400, "bad Content-Length")
        if length < 0:
            raise BadRequest(400, "bad Content-Length")
        if length > MAX_BODY:
            raise BadRequest(413, "body too large")
        body = self.rfile.read(length)
        if len(body) != length:
            raise BadRequest(400, "body shorter than Content-Length")
        return body

    def _read_chunked(self):
        body = bytearray()
        while True:
            line = self.rfile.readline(1024)
            try:
                size = int(line.split(b";", 1)[0].strip(), 16)
            except ValueError:
                raise BadRequest(400, "bad chunk size")
            if size < 0 or len(body) + size > MAX_BODY:
                raise BadRequest(413, "body too large")
            if size == 0:
                while self.rfile.readline(1024) not in (b"\r\n", b"\n", b""):
                    pass
                return bytes(body)
            chunk = self.rfile.read(size)
            if len(chunk) != size:
                raise BadRequest(400, "truncated chunk")
            body += chunk
            self.rfile.readline(1024)

    def _dispatch(self):
        self.state.enter()
        try:
            path, _, query = self.path.partition("?")
            if path.startswith(CONTROL_PREFIX):
                self._control(path[len(CONTROL_PREFIX):], query)
                return
            record = {
                "time": time.time(),
                "method": self.command,
                "path": path,
                "query": query,
                "endpoint": classify(self.command, path),
                "headers": [[k, v] for k, v in self.headers.items()],
            }
            try:
                body = self._read_body()
            except BadRequest as e:
                record.update(body="", body_b64="", error=str(e))
                self.state.record(record)
                self.close_connection = True
                self._send(e.status, (str(e) + "\n").encode(), close=True)
                return
            record["body"] = body.decode("latin-1")
            record["body_b64"] = base64.b64encode(body).decode("ascii")
            self._describe(record)
            self.state.record(record)
            rule = self.state.take_rule(record)
            status, answer = self._answer(record)
            if rule is None:
                self._send(status, answer)
            else:
                self._send_scripted(rule, answer)
        except (ConnectionError, socket.timeout, BrokenPipeError):
            self.close_connection = True
        finally:
            self.state.leave()

    def _describe(self, record):
        """Adds what the endpoint's request carries: the decrypted request text and
        fields of a query, the parameters of the other GET endpoints."""
        endpoint, query = record["endpoint"], record["query"]
        if endpoint == "query":
            try:
                buffer, text = tscipher.decrypt_request(query)
            except ValueError as e:
                record["error"] = "undecryptable query: %s" % e
                return
            record["buffer_length"] = len(buffer)
            record["request_text"] = text
            record["fields"] = tscipher.parse_request_fields(text)
            hashes = [v for k, v in record["fields"] if k == "hash"]
            if hashes:
                record["hash"] = hashes[0]
        elif endpoint == "manifest":
            text = urllib.parse.unquote(query, encoding="latin-1")
            record["request_text"] = text
            record["fields"] = tscipher.parse_request_fields(text)
        elif endpoint == "feedback":
            record["fields"] = urllib.parse.parse_qsl(query, keep_blank_values=True, encoding="latin-1")
        elif endpoint in ("events", "raw"):
            record["request_text"] = record["body"]

    def _answer(self, record):
        """(status, body bytes) of the endpoint's normal answer."""
        catalogue = self.state.catalogue
        endpoint = record["endpoint"]
        if record.get("error"):
            return 400, (record["error"] + "\n").encode("latin-1", "replace")
        if endpoint == "query":
            text = catalogue["answers"].get(record.get("hash"), catalogue["default_answer"])
        elif endpoint == "feedback":
            text = catalogue["feedback_page"]
        elif endpoint == "manifest":
            text = catalogue["manifest"].replace("{origin}", self.state.origin)
        elif endpoint == "events":
            text = catalogue["events_answer"]
        elif endpoint == "raw":
            text = catalogue["raw_answer"]
        else:
            data = self._read_file(record["path"])
            return (200, data) if data is not None else (404, b"not found\n")
        return 200, text.encode("latin-1", "replace")

    def _read_file(self, path):
        """The download at `path` below the files directory, else the file of that
        name at its top; None when neither exists or the path leaves the directory."""
        root = self.state.files
        if root is None:
            return None
        relative = urllib.parse.unquote(path).lstrip("/").replace("\\", "/")
        for candidate in (relative, relative.rsplit("/", 1)[-1]):
            if not candidate:
                continue
            full = os.path.realpath(os.path.join(root, candidate))
            if not full.startswith(root + os.sep) or not os.path.isfile(full):
                continue
            try:
                with open(full, "rb") as f:
                    return f.read()
            except OSError:
                return None
        return None

    # Response side. An answer is gathered and leaves in one write, on a socket
    # without Nagle's algorithm, as a real server's does: many small sends would
    # make every client exchange wait for a delayed acknowledgement. Scripted
    # faults flush what precedes the fault, so a stall or a reset still comes
    # after the headers or part of the body.

    def setup(self):
        super().setup()
        self._pending = bytearray()
        try:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        except OSError:
            pass

    def _put(self, data):
        self._pending += data

    def _flush(self):
        if self._pending:
            data = bytes(self._pending)
            self._pending.clear()
            self.wfile.write(data)

    def _status_line(self, status, reason=None):
        if reason is None:
            reason = self.responses.get(status, ("Status",))[0]
        self._put(("HTTP/1.1 %d %s\r\n" % (status, reason)).encode("latin-1", "replace"))

    def _headers(self, pairs):
        for name, value in pairs:
            self._put(("%s: %s\r\n" % (name, value)).encode("latin-1", "replace"))
        self._put(b"\r\n")

    def _send(self, status, body, close=False):
        self._status_line(status)
        pairs = [("Server", self.server_version), ("Content-Type", "text/plain"),
                 ("Content-Length", str(len(body)))]
        if close or self.close_connection:
            pairs.append(("Connection", "close"))
            self.close_connection = True
        self._headers(pairs)
        if self.command != "HEAD":
            self._put(body)
        self._flush()

    def _reset_connection(self):
        """Ends the connection with a reset instead of an orderly close."""
        self.close_connection = True
        try:
            self.connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            self.connection.close()
        except OSError:
            pass

    def _wait(self, seconds):
        if seconds > 0:
            self.state.stop.wait(seconds)

    def _send_scripted(self, rule, normal_answer):
        body = rule.body if rule.body is not None else normal_answer
        self._wait(rule.delay)
        if rule.drop == "before_response":
            self._reset_connection()
            return
        self._status_line(rule.status, rule.reason)
        if rule.header_trickle > 0:
            self._trickle_headers(rule.header_trickle)
            return
        pairs = [("Server", self.server_version)]
        names = {k.lower() for k in rule.headers}
        if "content-type" not in names:
            pairs.append(("Content-Type", "text/plain"))
        if rule.content_length == "auto":
            pairs.append(("Content-Length", str(len(body))))
        elif rule.content_length != "omit":
            pairs.append(("Content-Length", str(rule.content_length)))
        pairs += list(rule.headers.items())
        if rule.misbehaves:
            pairs.append(("Connection", "close"))
            self.close_connection = True
        self._headers(pairs)
        if rule.drop == "after_headers":
            self._flush()
            self._reset_connection()
            return
        if rule.body_delay > 0:
            self._flush()
            self._wait(rule.body_delay)
        if self.command == "HEAD":
            self._flush()
            return
        if rule.drop == "mid_body":
            self._put(body[:len(body) // 2])
            self._flush()
            self._reset_connection()
            return
        if rule.truncate is not None:
            body = body[:rule.truncate]
        if rule.trickle > 0:
            self._trickle(body, rule.trickle)
            return
        self._put(body)
        self._flush()

    def _trickle_headers(self, interval):
        """Sends one header line per `interval` seconds until the client goes away,
        the emulator stops or ten minutes have passed; the headers never end."""
        self.close_connection = True
        self._flush()
        for i in range(int(600 / interval)):
            try:
                self.wfile.write(b"X-Trickle-%d: %d\r\n" % (i, i))
                self.wfile.flush()
            except OSError:
                return
            if self.state.stop.wait(interval):
                return

    def _trickle(self, body, interval):
        """Sends `body` one byte per `interval` seconds until it is out, the client
        goes away or the emulator stops."""
        self._flush()
        for i in range(len(body)):
            try:
                self.wfile.write(body[i:i + 1])
                self.wfile.flush()
            except OSError:
                return
            if self.state.stop.wait(interval):
                return

    # Control API.

    def _json(self, status, value):
        self._send(status, json.dumps(value).encode("utf-8"))

    def _control(self, command, query):
        try:
            body = self._read_body()
        except BadRequest as e:
            self._send(e.status, (str(e) + "\n").encode(), close=True)
            return
        state = self.state
        if self.command == "GET" and command == "ping":
            self._send(200, b"ok")
        elif self.command == "GET" and command == "requests":
            wanted = urllib.parse.parse_qs(query).get("endpoint")
            with state.lock:
                records = [r for r in state.requests if not wanted or r["endpoint"] in wanted]
            self._json(200, {"requests": records})
        elif self.command == "GET" and command == "stats":
            with state.lock:
                stats = {"requests": len(state.requests), "in_flight": state.in_flight - 1,
                         "max_in_flight": state.max_in_flight, "rules": len(state.rules)}
            self._json(200, stats)
        elif self.command == "POST" and command == "reset":
            state.reset()
            self._json(200, {"reset": True})
        elif self.command == "POST" and command in ("script", "catalogue"):
            try:
                value = json.loads(body.decode("utf-8"))
                if command == "script":
                    rules = [Rule(definition) for definition in (value if isinstance(value, list) else [value])]
                    with state.lock:
                        state.rules.extend(rules)
                        count = len(state.rules)
                    self._json(200, {"rules": count})
                else:
                    with state.lock:
                        state.catalogue = merge_catalogue(state.catalogue, value)
                    self._json(200, {"answers": len(state.catalogue["answers"])})
            except (ValueError, UnicodeDecodeError, TypeError) as e:
                self._json(400, {"error": str(e)})
        else:
            self._json(404, {"error": "unknown control request %s %s" % (self.command, command)})


class Server(ThreadingHTTPServer):
    daemon_threads = True
    request_queue_size = 256  # many concurrent exchanges connect at once

    def __init__(self, port, state):
        super().__init__(("127.0.0.1", port), Handler)
        self.state = state
        state.origin = "http://127.0.0.1:%d" % self.server_address[1]

    def handle_error(self, request, client_address):
        # Clients that vanish are part of the tests; anything else is a fault worth seeing.
        if self.state.verbose or not isinstance(sys.exc_info()[1], OSError):
            super().handle_error(request, client_address)


class Emulator:
    """An emulator serving on a background thread of this process."""

    def __init__(self, port=0, catalogue=None, files=None, verbose=False):
        self.state = State(catalogue, files, verbose)
        self.server = Server(port, self.state)
        self.port = self.server.server_address[1]
        self.origin = self.state.origin
        self.thread = threading.Thread(target=self.server.serve_forever, kwargs={"poll_interval": 0.05},
                                       daemon=True)
        self.thread.start()
        self.client = EmulatorClient(self.origin)

    def stop(self):
        self.state.stop.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()


class EmulatorClient:
    """Control API client for a running emulator (in this process or another)."""

    def __init__(self, origin):
        self.origin = origin.rstrip("/")

    def _call(self, method, command, value=None):
        data = None if value is None else json.dumps(value).encode("utf-8")
        request = urllib.request.Request(self.origin + CONTROL_PREFIX + command, data=data, method=method)
        with urllib.request.urlopen(request, timeout=30) as response:
            return json.loads(response.read().decode("utf-8"))

    def script(self, *rules, **rule):
        """Adds rules: script({"status": 404}) or script(status=404)."""
        return self._call("POST", "script", list(rules) + ([rule] if rule else []))

    def catalogue(self, update):
        return self._call("POST", "catalogue", update)

    def requests(self, endpoint=None):
        suffix = "?endpoint=" + endpoint if endpoint else ""
        return self._call("GET", "requests" + suffix)["requests"]

    def stats(self):
        return self._call("GET", "stats")

    def reset(self):
        return self._call("POST", "reset", {})


def load_catalogue(path):
    with open(path, "r", encoding="utf-8") as f:
        return merge_catalogue(DEFAULT_CATALOGUE, json.load(f))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Reputation service emulator (loopback only).")
    parser.add_argument("--port", type=int, required=True, help="port on 127.0.0.1; 0 picks a free one")
    parser.add_argument("--catalogue", help="JSON file: answers by hash, default answer, manifest, pages")
    parser.add_argument("--files", help="directory served for downloads")
    parser.add_argument("--port-file", help="also write the port number to this file once listening")
    parser.add_argument("--verbose", action="store_true", help="log every request to stderr")
    args = parser.parse_args(argv)
    try:
        catalogue = load_catalogue(args.catalogue) if args.catalogue else None
    except (OSError, ValueError) as e:
        parser.error("catalogue %s: %s" % (args.catalogue, e))
    if args.files and not os.path.isdir(args.files):
        parser.error("--files %s is not a directory" % args.files)
    state = State(catalogue, args.files, args.verbose)
    server = Server(args.port, state)
    port = server.server_address[1]
    if args.port_file:
        with open(args.port_file + ".tmp", "w") as f:
            f.write("%d\n" % port)
        os.replace(args.port_file + ".tmp", args.port_file)
    print("listening on 127.0.0.1:%d" % port, flush=True)
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    finally:
        state.stop.set()
        server.server_close()
    return 0


if __name__ == "__main__":
    sys.exit(main())
