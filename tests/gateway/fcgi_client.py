# A small FastCGI client for tests: records over a socket.
import socket, struct

BEGIN, ABORT, END, PARAMS, STDIN, STDOUT, STDERR, DATA, GET_VALUES, GET_VALUES_RESULT, UNKNOWN_TYPE = range(1, 12)

def record(type_, rid, content=b""):
    pad = (8 - len(content) % 8) % 8
    return struct.pack(">BBHHBB", 1, type_, rid, len(content), pad, 0) + content + b"\0" * pad

def stream(type_, rid, content):
    out = b""
    for i in range(0, len(content), 65535):
        out += record(type_, rid, content[i:i + 65535])
    return out + record(type_, rid)

def length(n):
    return bytes([n]) if n < 128 else struct.pack(">I", n | 0x80000000)

def pairs(items):
    out = b""
    for name, value in items:
        name = name.encode() if isinstance(name, str) else name
        value = value.encode() if isinstance(value, str) else value
        out += length(len(name)) + length(len(value)) + name + value
    return out

def decode_pairs(b):
    out, i = [], 0
    while i < len(b):
        lens = []
        for _ in range(2):
            if b[i] < 128:
                lens.append(b[i]); i += 1
            else:
                lens.append(struct.unpack(">I", b[i:i + 4])[0] & 0x7FFFFFFF); i += 4
        out.append((b[i:i + lens[0]], b[i + lens[0]:i + lens[0] + lens[1]]))
        i += lens[0] + lens[1]
    return out

def request_bytes(rid, params, body=b"", role=1, keep=False):
    return (record(BEGIN, rid, struct.pack(">HB5x", role, 1 if keep else 0)) +
            stream(PARAMS, rid, pairs(params)) + stream(STDIN, rid, body))

class Reader:
    def __init__(self, sock):
        self.sock, self.buf = sock, b""
    def next(self):
        while True:
            if len(self.buf) >= 8:
                _, t, rid, n, pad, _ = struct.unpack(">BBHHBB", self.buf[:8])
                if len(self.buf) >= 8 + n + pad:
                    content = self.buf[8:8 + n]
                    self.buf = self.buf[8 + n + pad:]
                    return t, rid, content
            chunk = self.sock.recv(65536)
            if not chunk:
                return None
            self.buf += chunk
    def response(self, rid):
        """STDOUT bytes and (app status, protocol status) of request rid."""
        out = b""
        while True:
            r = self.next()
            if r is None:
                raise EOFError("connection closed before END_REQUEST")
            t, got, content = r
            if got != rid:
                raise AssertionError("record for %d while reading %d" % (got, rid))
            if t == STDOUT:
                out += content
            elif t == END:
                return out, struct.unpack(">IB3x", content)

def connect(address):
    if address.startswith("unix:"):
        s = socket.socket(socket.AF_UNIX)
        s.connect(address[5:])
    else:
        host, port = address.rsplit(":", 1)
        s = socket.create_connection((host, int(port)))
    s.settimeout(30)
    return s
