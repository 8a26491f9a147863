"""The request cipher on the emulator's side: 16-round Blowfish (electronic code
book, big-endian halves) with the product key, the hexadecimal text that carries
it, and the unpadded base64 text. Written independently of the C++ code; only the
initial pi constants come from tools/gen_blowfish_tables.py.
"""

import os
import runpy
import struct
import types

REQUEST_KEY = b"kzvorpelmunta  brixoltaquenz  dafmirtulop  quanzerbiloth"

_ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
_GENERATOR = os.path.join(_ROOT, "tools", "gen_blowfish_tables.py")


generator = types.SimpleNamespace(**runpy.run_path(_GENERATOR))
_PI = generator.pi_words()
_MASK = 0xFFFFFFFF


class CipherLengthError(ValueError):
    """A buffer whose length is 0 or not a multiple of 8."""

    def __init__(self):
        super().__init__("Incorrect buffer length")


class Blowfish:
    def __init__(self, key):
        key = bytes(key)
        if not 1 <= len(key) <= 56:
            raise ValueError("Blowfish key must be 1 to 56 bytes")
        self.p = list(_PI[:18])
        self.s = [list(_PI[18 + 256 * b:18 + 256 * (b + 1)]) for b in range(4)]
        stream = (key * (72 // len(key) + 1))[:72]
        for i in range(18):
            self.p[i] ^= struct.unpack(">I", stream[4 * i:4 * i + 4])[0]
        left = right = 0
        for i in range(0, 18, 2):
            left, right = self.encrypt_pair(left, right)
            self.p[i], self.p[i + 1] = left, right
        for box in self.s:
            for i in range(0, 256, 2):
                left, right = self.encrypt_pair(left, right)
                box[i], box[i + 1] = left, right

    def _f(self, x):
        s = self.s
        h = (s[0][x >> 24] + s[1][(x >> 16) & 0xFF]) & _MASK
        return ((h ^ s[2][(x >> 8) & 0xFF]) + s[3][x & 0xFF]) & _MASK

    def encrypt_pair(self, left, right):
        p = self.p
        for i in range(16):
            left ^= p[i]
            right ^= self._f(left)
            left, right = right, left
        left, right = right, left
        right ^= p[16]
        left ^= p[17]
        return left, right

    def decrypt_pair(self, left, right):
        p = self.p
        for i in range(17, 1, -1):
            left ^= p[i]
            right ^= self._f(left)
            left, right = right, left
        left, right = right, left
        right ^= p[1]
        left ^= p[0]
        return left, right

    def _blocks(self, data, op):
        data = bytes(data)
        if len(data) == 0 or len(data) % 8:
            raise CipherLengthError()
        out = bytearray()
        for off in range(0, len(data), 8):
            left, right = struct.unpack(">II", data[off:off + 8])
            out += struct.pack(">II", *op(left, right))
        return bytes(out)

    def encrypt(self, data):
        return self._blocks(data, self.encrypt_pair)

    def decrypt(self, data):
        return self._blocks(data, self.decrypt_pair)


REQUEST_CIPHER = Blowfish(REQUEST_KEY)


def request_buffer(text, length=None):
    """The request text zero-filled to `length` bytes (default: text plus one zero,
    brought up to a multiple of 8)."""
    if isinstance(text, str):
        text = text.encode("latin-1")
    if length is None:
        length = (len(text) + 1 + 7) // 8 * 8
    if length < len(text) or length % 8:
        raise CipherLengthError()
    return text + b"\0" * (length - len(text))


def encrypt_request(text, length=None):
    """Upper-case hexadecimal text of the encrypted, zero-filled request."""
    return REQUEST_CIPHER.encrypt(request_buffer(text, length)).hex().upper()


def decrypt_request(hex_text):
    """(buffer bytes, request text) of a hexadecimal query. The text is the buffer up
    to its first zero byte, decoded as Latin-1 so every byte survives. Raises
    ValueError for text that is not hexadecimal or not a whole number of blocks."""
    if len(hex_text) % 2 or any(c not in "0123456789ABCDEFabcdef" for c in hex_text):
        raise ValueError("not hexadecimal text")
    buffer = REQUEST_CIPHER.decrypt(bytes.fromhex(hex_text))
    return buffer, buffer.split(b"\0", 1)[0].decode("latin-1")


_B64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"


def encode_base64(data):
    """Standard alphabet, no padding."""
    out = []
    for i in range(0, len(data), 3):
        chunk = data[i:i + 3]
        group = int.from_bytes(chunk + b"\0" * (3 - len(chunk)), "big")
        chars = [_B64[(group >> shift) & 0x3F] for shift in (18, 12, 6, 0)]
        out += chars[:len(chunk) + 1]
    return "".join(out)


def parse_request_fields(text):
    """Fields of a request text: "[key]=value" joined by "||", in order, as a list of
    (key, value). A field without "=" or brackets keeps its whole text as key."""
    fields = []
    for part in text.split("||"):
        if not part:
            continue
        key, sep, value = part.partition("=")
        if sep and key.startswith("[") and key.endswith("]"):
            fields.append((key[1:-1], value))
        else:
            fields.append((part, None))
    return fields
