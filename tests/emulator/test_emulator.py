"""Tests of the service emulator and its cipher. Run from this folder:
    python3 -m unittest -v test_emulator
"""

import json
import os
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import emulator  # noqa: E402
import tscipher  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))

SAMPLE = ("[exe]=tool.exe||[size]=1234||[hash]=0123456789ABCDEF0123456789ABCDEF||[path]=C:\\Tools\\tool.exe"
          "||[lang]=en")
SAMPLE_HASH = "0123456789ABCDEF0123456789ABCDEF"
GO_ANSWER = "[Class]=GO||[AppName]=Tool||[end]=true"


def raw_exchange(port, request, timeout=5.0):
    """Sends raw request bytes; returns (head text, body bytes, how the connection ended:
    "eof", "reset" or "timeout"). Reads until the server closes."""
    sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
    data = bytearray()
    ending = "eof"
    try:
        sock.sendall(request)
        while True:
            chunk = sock.recv(65536)
            if not chunk:
                break
            data += chunk
    except ConnectionResetError:
        ending = "reset"
    except socket.timeout:
        ending = "timeout"
    finally:
        sock.close()
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    return head.decode("latin-1"), body, ending


def get(port, target, extra=b""):
    return raw_exchange(port, b"GET " + target.encode("latin-1") + b" HTTP/1.1\r\nHost: x\r\n" + extra +
                        b"Connection: close\r\n\r\n")


def header(head, name):
    for line in head.split("\r\n")[1:]:
        key, _, value = line.partition(":")
        if key.strip().lower() == name.lower():
            return value.strip()
    return None


class CipherTest(unittest.TestCase):
    def test_published_vectors(self):
        vectors = [("0000000000000000", "0000000000000000", "4EF997456198DD78"),
                   ("FFFFFFFFFFFFFFFF", "FFFFFFFFFFFFFFFF", "51866FD5B85ECB8A"),
                   ("3000000000000000", "1000000000000001", "7D856F9A613063F2"),
                   ("FEDCBA9876543210", "0123456789ABCDEF", "0ACEAB0FC6A0A28D"),
                   ("F0E1D2C3B4A59687", "FEDCBA9876543210", "E87A244E2CC85E82"),
                   ("F0E1D2C3B4A5968778695A4B3C2D1E0F0011223344556677", "FEDCBA9876543210", "05044B62FA52D080")]
        for key, plain, cipher in vectors:
            fish = tscipher.Blowfish(bytes.fromhex(key))
            self.assertEqual(fish.encrypt(bytes.fromhex(plain)).hex().upper(), cipher, key)
            self.assertEqual(fish.decrypt(bytes.fromhex(cipher)).hex().upper(), plain, key)

    def test_request_round_trip_and_block_rules(self):
        hex_text = tscipher.encrypt_request(SAMPLE)
        self.assertEqual(len(hex_text) % 16, 0)
        self.assertEqual(hex_text, hex_text.upper())
        buffer, text = tscipher.decrypt_request(hex_text)
        self.assertEqual(text, SAMPLE)
        self.assertEqual(len(buffer), 112)
        two = tscipher.REQUEST_CIPHER.encrypt(b"sameblk!" * 2)
        self.assertEqual(two[:8], two[8:])
        for bad in (b"", b"1234567"):
            with self.assertRaisesRegex(tscipher.CipherLengthError, "^Incorrect buffer length$"):
                tscipher.REQUEST_CIPHER.encrypt(bad)
        for bad in ("ABC", "ZZ" * 8, "00" * 7, ""):
            with self.assertRaises(ValueError):
                tscipher.decrypt_request(bad)

    def test_committed_table_matches_generator(self):
        with open(os.path.join(ROOT, "store", "blowfish_tables.inc")) as f:
            committed = f.read()
        self.assertEqual(committed, tscipher.generator.render(tscipher.generator.pi_words()))

    def test_base64_without_padding(self):
        self.assertEqual(tscipher.encode_base64(b"abc"), "YWJj")
        self.assertEqual(tscipher.encode_base64(b"ab"), "YWI")
        self.assertEqual(tscipher.encode_base64(b"\xfb\xff"), "+/8")


class EmulatorTestBase(unittest.TestCase):
    catalogue = {"answers": {SAMPLE_HASH: GO_ANSWER},
                 "manifest": "TSID=0123456789ABCDEF\r\nFILE={origin}/data/x.xdb||data/summary/x.xdb||ffffffff\r\n"}

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        files = os.path.join(self.tmp.name, "files")
        os.makedirs(os.path.join(files, "data"))
        with open(os.path.join(files, "data", "x.cab"), "wb") as f:
            f.write(b"MSCF\0cabinet")
        with open(os.path.join(files, "top.xdb"), "wb") as f:
            f.write(b"plain store")
        with open(os.path.join(self.tmp.name, "secret.xdb"), "wb") as f:
            f.write(b"outside")
        self.emu = emulator.Emulator(catalogue=self.catalogue, files=files)
        self.port = self.emu.port
        self.client = self.emu.client

    def tearDown(self):
        self.emu.stop()
        self.tmp.cleanup()

    def query_target(self, text=SAMPLE):
        return emulator.QUERY_PATH + "?" + tscipher.encrypt_request(text)


class EndpointTest(EmulatorTestBase):
    def test_query_is_decrypted_recorded_and_answered_from_catalogue(self):
        head, body, _ = get(self.port, self.query_target())
        self.assertTrue(head.startswith("HTTP/1.1 200"))
        self.assertEqual(body.decode(), GO_ANSWER)
        unknown = SAMPLE.replace(SAMPLE_HASH, "")
        _, body, _ = get(self.port, self.query_target(unknown))
        self.assertEqual(body.decode(), "[Class]=?||[end]=true")

        first, second = self.client.requests("query")
        self.assertEqual(first["request_text"], SAMPLE)
        self.assertEqual(first["hash"], SAMPLE_HASH)
        self.assertEqual(first["buffer_length"], 112)
        self.assertEqual(first["fields"][0], ["exe", "tool.exe"])
        self.assertEqual(second["fields"][2:4], [["hash", ""], ["path", "C:\\Tools\\tool.exe"]])

    def test_garbled_queries_get_400_and_are_recorded(self):
        for query in ("XYZ", "ABC", "00" * 7, "", "%00%FF", "0" * 60002):
            head, _, _ = get(self.port, emulator.QUERY_PATH + "?" + query)
            self.assertTrue(head.startswith("HTTP/1.1 400"), query[:20])
        records = self.client.requests("query")
        self.assertEqual(len(records), 6)
        self.assertTrue(all("undecryptable" in r["error"] for r in records))
        # Still serving.
        self.assertEqual(get(self.port, self.query_target())[1].decode(), GO_ANSWER)

    def test_non_ascii_request_bytes_survive(self):
        text = "[exe]=caf\xe9.exe||[hash]=||[path]=C:\\\xfc\\x||[lang]=en"
        get(self.port, self.query_target(text))
        self.assertEqual(self.client.requests()[0]["request_text"], text)

    def test_manifest_feedback_and_downloads(self):
        target = emulator.MANIFEST_PATH + "?[guid]=00ff||[tsid]=0011||[lang]=en||[build]=18900||[VS]"
        _, body, _ = get(self.port, target)
        self.assertEqual(body.decode(), "TSID=0123456789ABCDEF\r\nFILE=%s/data/x.xdb||data/summary/x.xdb||ffffffff\r\n"
                         % self.emu.origin)
        manifest = self.client.requests("manifest")[0]
        self.assertEqual(manifest["fields"][0], ["guid", "00ff"])
        self.assertEqual(manifest["fields"][-1], ["[VS]", None])

        head, body, _ = get(self.port, emulator.FEEDBACK_PATH + "?Md5=ABCD&tsid=0001")
        self.assertTrue(head.startswith("HTTP/1.1 200"))
        self.assertEqual(self.client.requests("feedback")[0]["fields"], [["Md5", "ABCD"], ["tsid", "0001"]])

        self.assertEqual(get(self.port, "/data/x.cab")[1], b"MSCF\0cabinet")
        self.assertEqual(get(self.port, "/any/where/top.xdb")[1], b"plain store")
        for missing in ("/data/x.xdb", "/../secret.xdb", "/data/%2e%2e/%2e%2e/secret.xdb", "/"):
            self.assertTrue(get(self.port, missing)[0].startswith("HTTP/1.1 404"), missing)

    def test_posts_record_their_bodies(self):
        report = b'<TSReq><Traffic><Time start="0" end="5"/></Traffic></TSReq>'
        request = b"POST %s HTTP/1.1\r\nHost: x\r\nConnection: close\r\nContent-Length: %d\r\n\r\n%s" % (
            emulator.EVENTS_PATH.encode(), len(report), report)
        _, body, _ = raw_exchange(self.port, request)
        self.assertEqual(body, b"OK")
        raw = b"<TSReq>abc</TSReq>"
        chunked = (b"POST /raw HTTP/1.1\r\nHost: x\r\nConnection: close\r\nTransfer-Encoding: chunked\r\n\r\n"
                   b"5\r\n<TSRe\r\nd\r\nq>abc</TSReq>\r\n0\r\n\r\n")
        raw_exchange(self.port, chunked)
        events, = self.client.requests("events")
        self.assertEqual(events["body"].encode("latin-1"), report)
        posted, = self.client.requests("raw")
        self.assertEqual(posted["request_text"].encode("latin-1"), raw)

    def test_hostile_requests_get_defined_answers(self):
        cases = [
            (b"POST /raw HTTP/1.1\r\nContent-Length: lots\r\n\r\n", "400"),
            (b"POST /raw HTTP/1.1\r\nContent-Length: -5\r\n\r\n", "400"),
            (b"POST /raw HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\n", "413"),
            (b"POST /raw HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "400"),
            (b"POST /raw HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", "400"),
            (b"\x00\xff\xfe garbage\r\n\r\n", "400"),
        ]
        for request, status in cases:
            if b"Content-Length: 10" in request:
                # The client gives up sending: the emulator must answer once it sees EOF.
                sock = socket.create_connection(("127.0.0.1", self.port), timeout=5)
                sock.sendall(request)
                sock.shutdown(socket.SHUT_WR)
                head = sock.recv(4096).decode("latin-1")
                sock.close()
            else:
                head, _, _ = raw_exchange(self.port, request)
            self.assertIn(" " + status + " ", head.split("\r\n")[0], request[:40])
        self.assertEqual(get(self.port, self.query_target())[1].decode(), GO_ANSWER)


class ScriptTest(EmulatorTestBase):
    def test_status_body_and_times(self):
        self.client.script(status=404, body="missing", times=1)
        head, body, _ = get(self.port, self.query_target())
        self.assertTrue(head.startswith("HTTP/1.1 404"))
        self.assertEqual(body, b"missing")
        self.assertEqual(get(self.port, self.query_target())[1].decode(), GO_ANSWER)

    def test_204_with_empty_body(self):
        self.client.script(status=204, body="")
        head, body, _ = get(self.port, self.query_target())
        self.assertTrue(head.startswith("HTTP/1.1 204"))
        self.assertEqual(header(head, "Content-Length"), "0")
        self.assertEqual(body, b"")

    def test_match_selects_requests(self):
        self.client.script({"match": {"hash": "FFFF"}, "body": "[Class]=SA||[end]=true"},
                           {"match": {"endpoint": "manifest"}, "status": 500})
        self.assertEqual(get(self.port, self.query_target())[1].decode(), GO_ANSWER)
        self.assertEqual(get(self.port, self.query_target("[hash]=FFFF"))[1], b"[Class]=SA||[end]=true")
        self.assertTrue(get(self.port, emulator.MANIFEST_PATH + "?x")[0].startswith("HTTP/1.1 500"))

    def test_missing_and_wrong_content_length_and_truncation(self):
        self.client.script(content_length="omit", times=1)
        head, body, ending = get(self.port, self.query_target())
        self.assertIsNone(header(head, "Content-Length"))
        self.assertEqual(header(head, "Connection"), "close")
        self.assertEqual((body.decode(), ending), (GO_ANSWER, "eof"))

        self.client.script(content_length=1000, times=1)
        head, body, ending = get(self.port, self.query_target())
        self.assertEqual(header(head, "Content-Length"), "1000")
        self.assertEqual((body.decode(), ending), (GO_ANSWER, "eof"))

        self.client.script(body="0123456789", truncate=4, times=1)
        head, body, ending = get(self.port, self.query_target())
        self.assertEqual(header(head, "Content-Length"), "10")
        self.assertEqual((body, ending), (b"0123", "eof"))

    def test_drops_reset_the_connection(self):
        for where in ("before_response", "after_headers", "mid_body"):
            self.client.script(body="x" * 100000, drop=where, times=1)
            head, body, ending = get(self.port, self.query_target())
            self.assertLess(len(body), 100000, where)
            if where == "before_response":
                self.assertEqual(head, "", where)
            else:
                self.assertTrue(head.startswith("HTTP/1.1 200"), where)
        self.assertEqual(len(self.client.requests()), 3)

    def test_junk_and_binary_bodies(self):
        self.client.script(junk=3000, times=1)
        self.client.script(body_b64="AP8AfA==", times=1)
        _, junk, _ = get(self.port, self.query_target())
        _, binary, _ = get(self.port, self.query_target())
        self.assertEqual(len(junk), 3000)
        self.assertNotIn(b"[end]=true", junk)
        self.assertEqual(binary, b"\x00\xff\x00|")

    def test_junk_larger_than_any_request_body(self):
        self.client.script(junk=20 * 1024 * 1024, times=1)
        _, junk, _ = get(self.port, self.query_target())
        self.assertEqual(len(junk), 20 * 1024 * 1024)
        with self.assertRaises(urllib.error.HTTPError):
            self.client.script(junk=64 * 1024 * 1024 + 1)

    def test_delays_and_in_flight_count(self):
        self.client.script(delay_ms=400)
        started = time.monotonic()
        results = []
        threads = [threading.Thread(target=lambda: results.append(get(self.port, self.query_target())))
                   for _ in range(6)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        elapsed = time.monotonic() - started
        self.assertGreaterEqual(elapsed, 0.4)
        self.assertLess(elapsed, 2.0, "delayed requests must run concurrently")
        self.assertEqual([r[1].decode() for r in results], [GO_ANSWER] * 6)
        self.assertEqual(self.client.stats()["max_in_flight"], 6)

        self.client.reset()
        self.client.script(body="late", body_delay_ms=300, times=1)
        started = time.monotonic()
        self.assertEqual(get(self.port, self.query_target())[1], b"late")
        self.assertGreaterEqual(time.monotonic() - started, 0.3)

    def test_trickle_sends_the_body_one_byte_per_interval(self):
        self.client.script(body="slow", trickle_ms=100, times=1)
        started = time.monotonic()
        head, body, ending = get(self.port, self.query_target())
        self.assertEqual((body, ending), (b"slow", "eof"))
        self.assertEqual(header(head, "Connection"), "close")
        self.assertGreaterEqual(time.monotonic() - started, 0.3, "three waits between four bytes at least")

    def test_bad_scripts_are_refused_and_reset_forgets(self):
        for bad in ('{"status": "x"}', '{"drop": "sometimes"}', '{"colour": 1}', '[1]', "not json",
                    '{"content_length": -1}', '{"trickle_ms": 0}', '{"body_b64": "***"}', '{"match": {"x": 1}}'):
            request = urllib.request.Request(self.emu.origin + "/__control/script", data=bad.encode(), method="POST")
            with self.assertRaises(urllib.error.HTTPError) as caught:
                urllib.request.urlopen(request, timeout=5)
            self.assertEqual(caught.exception.code, 400, bad)
            self.assertIn("error", json.loads(caught.exception.read()))
        with self.assertRaises(urllib.error.HTTPError):
            self.client.catalogue({"answers": {"A": 1}})

        self.client.script(status=503)
        self.client.catalogue({"answers": {"FFFF": "[Class]=T||[end]=true"}})
        get(self.port, self.query_target())
        self.client.reset()
        self.assertEqual(self.client.requests(), [])
        self.assertEqual(self.client.stats()["rules"], 0)
        self.assertEqual(get(self.port, self.query_target())[1].decode(), GO_ANSWER)
        self.assertEqual(get(self.port, self.query_target("[hash]=FFFF"))[1].decode(), "[Class]=?||[end]=true")


class CommandLineTest(unittest.TestCase):
    def test_prints_listening_line_and_serves_catalogue(self):
        with tempfile.TemporaryDirectory() as tmp:
            catalogue = os.path.join(tmp, "catalogue.json")
            with open(catalogue, "w") as f:
                json.dump({"answers": {SAMPLE_HASH: GO_ANSWER}}, f)
            process = subprocess.Popen([sys.executable, os.path.join(HERE, "emulator.py"), "--port", "0",
                                        "--catalogue", catalogue, "--port-file", os.path.join(tmp, "port")],
                                       stdout=subprocess.PIPE, text=True)
            try:
                line = process.stdout.readline().strip()
                self.assertRegex(line, r"^listening on 127\.0\.0\.1:\d+$")
                port = int(line.rsplit(":", 1)[1])
                with open(os.path.join(tmp, "port")) as f:
                    self.assertEqual(int(f.read()), port)
                self.assertEqual(get(port, emulator.QUERY_PATH + "?" + tscipher.encrypt_request(SAMPLE))[1].decode(),
                                 GO_ANSWER)
            finally:
                process.terminate()
                process.wait(10)
                process.stdout.close()

    def test_rejects_bad_catalogue(self):
        with tempfile.NamedTemporaryFile("w", suffix=".json") as f:
            f.write('{"answers": []}')
            f.flush()
            result = subprocess.run([sys.executable, os.path.join(HERE, "emulator.py"), "--port", "0",
                                     "--catalogue", f.name], capture_output=True, text=True, timeout=30)
        self.assertEqual(result.returncode, 2)
        self.assertIn("answers", result.stderr)


if __name__ == "__main__":
    unittest.main()
