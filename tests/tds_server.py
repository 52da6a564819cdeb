#!/usr/bin/env python3
"""A stand-in SQL Server for tests: speaks as much TDS 7.4 as the FreeTDS
ODBC driver needs to log in and run batches, logs what the driver sends and
answers from a script.

    tds_server.py --port-file FILE --log FILE [--script FILE] [--mode MODE]

The port it listens on (127.0.0.1, chosen by the system) is written to the
port file once it accepts. The log holds one JSON object per line:
  {"event": "login", "user": ..., "password": ..., "database": ..., "app": ...,
   "server": ..., "tds": "7.4"}
  {"event": "connect"}
  {"event": "batch", "sql": ...}
  {"event": "transaction", "request": "begin" | "commit" | "rollback"}

Modes: normal (the default: log in and answer batches from the script) and
silent (accept the connection and never answer a byte: a starved server).

The script holds one rule a line, tried in order against each batch
(case-insensitive regular expression, tab, answer):
  ok [ROWCOUNT]                  done, with the row count
  row NAME=TEXT;NAME=TEXT...     a result of one row of varchar columns
  error NUMBER CLASS TEXT        the server's error, then done with the error flag
  close                          drop the connection (a lost session)
An answer "N*answer" holds for the first N batches the rule matches only.
A batch no rule matches gets "ok 0" ("ok 1" for INSERT, UPDATE and DELETE).
"""

import argparse
import json
import re
import socket
import struct
import sys
import threading

PRELOGIN, LOGIN7, SQLBATCH, RPC, TRANSMGR, ATTENTION, REPLY = 0x12, 0x10, 0x01, 0x03, 0x0E, 0x06, 0x04
# Latin1_General_CI_AS: LCID 0x0409, case-insensitive, accent-sensitive, code page 1252.
COLLATION = bytes([0x09, 0x04, 0xD0, 0x00, 0x34])


def ucs2(text):
    return text.encode("utf-16-le")


def b_varchar(text):
    return bytes([len(text)]) + ucs2(text)


def us_varchar(text):
    return struct.pack("<H", len(text)) + ucs2(text)


def done(status=0, count=0, token=0xFD):
    return struct.pack("<BHHQ", token, status | (0x10 if count else 0), 0xC1, count)


def env_change(kind, new, old=b""):
    body = bytes([kind]) + new + old
    return struct.pack("<BH", 0xE3, len(body)) + body


def error_token(number, cls, text, state=1, token=0xAA):
    body = struct.pack("<IBB", number, state, cls) + us_varchar(text) + b_varchar("standin") + b_varchar("")
    body += struct.pack("<I", 1)
    return struct.pack("<BH", token, len(body)) + body


def one_row(pairs):
    """Column descriptions and one row of varchar columns (Windows-1252)."""
    meta, row = struct.pack("<BH", 0x81, len(pairs)), b"\xd1"
    for name, text in pairs:
        meta += struct.pack("<IHBH", 0, 1, 0xA7, 8000) + COLLATION + b_varchar(name)
        data = text.encode("cp1252")
        row += struct.pack("<H", len(data)) + data
    return meta + row


class Session(threading.Thread):
    def __init__(self, server, conn):
        super().__init__(daemon=True)
        self.server, self.conn = server, conn

    def read_message(self):
        """One message (packets up to the end-of-message flag): (type, payload)."""
        payload, kind = b"", None
        while True:
            head = self.recv_exact(8)
            if head is None:
                return None, None
            kind, status, length = head[0], head[1], struct.unpack(">H", head[2:4])[0]
            body = self.recv_exact(length - 8)
            if body is None:
                return None, None
            payload += body
            if status & 0x01:
                return kind, payload

    def recv_exact(self, n):
        data = b""
        while len(data) < n:
            chunk = self.conn.recv(n - len(data))
            if not chunk:
                return None
            data += chunk
        return data

    def send(self, payload, kind=REPLY):
        size = 4096 - 8
        parts = [payload[i:i + size] for i in range(0, len(payload), size)] or [b""]
        for i, part in enumerate(parts):
            last = i == len(parts) - 1
            head = struct.pack(">BBHHBB", kind, 1 if last else 0, len(part) + 8, 0, i + 1, 0)
            self.conn.sendall(head + part)

    def run(self):
        try:
            self.serve()
        except (OSError, ValueError, struct.error) as e:
            self.server.log({"event": "session-error", "error": str(e)})
        finally:
            try:
                self.conn.close()
            except OSError:
                pass

    def serve(self):
        self.server.log({"event": "connect"})
        if self.server.mode == "silent":
            while self.conn.recv(4096):
                pass
            return
        while True:
            kind, payload = self.read_message()
            if kind is None:
                return
            if kind == PRELOGIN:
                self.send(self.prelogin_reply())
            elif kind == LOGIN7:
                if not self.login(payload):
                    return
            elif kind == SQLBATCH:
                if not self.batch(payload):
                    return
            elif kind == TRANSMGR:
                self.transaction(payload)
            elif kind == RPC:
                # The program sends plain batches only; a prepared call is noted and answered empty.
                self.server.log({"event": "rpc"})
                self.send(done(0))
            elif kind == ATTENTION:
                self.send(done(0x20))
            else:
                self.server.log({"event": "unknown-packet", "type": kind})
                return

    @staticmethod
    def prelogin_reply():
        # VERSION, ENCRYPTION (not supported: no TLS), INSTOPT, THREADID, MARS
        options = [(0, bytes([16, 0, 0x10, 0x00, 0, 0])), (1, bytes([2])), (2, b"\x00"),
                   (3, b""), (4, b"\x00")]
        table_len = 5 * len(options) + 1
        head, data = b"", b""
        for token, value in options:
            head += struct.pack(">BHH", token, table_len + len(data), len(value))
            data += value
        return head + b"\xff" + data

    def login(self, p):
        def field(at):
            offset, chars = struct.unpack("<HH", p[at:at + 4])
            return p[offset:offset + 2 * chars]

        version = struct.unpack("<I", p[4:8])[0]
        raw_password = field(44)
        password = bytes((((b ^ 0xA5) << 4) & 0xF0) | ((b ^ 0xA5) >> 4) for b in raw_password)
        record = {
            "event": "login",
            "tds": {0x74000004: "7.4", 0x730B0003: "7.3", 0x72090002: "7.2", 0x71000001: "7.1"}.get(
                version, hex(version)),
            "host": field(36).decode("utf-16-le"),
            "user": field(40).decode("utf-16-le"),
            "password": password.decode("utf-16-le", errors="replace"),
            "app": field(48).decode("utf-16-le"),
            "server": field(52).decode("utf-16-le"),
            "database": field(68).decode("utf-16-le"),
        }
        self.server.log(record)
        db = record["database"] or "master"
        out = env_change(1, b_varchar(db), b_varchar("master"))
        out += env_change(7, bytes([len(COLLATION)]) + COLLATION, b"\x00")
        out += env_change(2, b_varchar("us_english"), b_varchar(""))
        out += env_change(4, b_varchar("4096"), b_varchar("4096"))
        ack = bytes([1]) + struct.pack(">I", 0x74000004) + b_varchar("Microsoft SQL Server") + bytes([16, 0, 0x10, 0])
        out += struct.pack("<BH", 0xAD, len(ack)) + ack
        self.send(out + done(0))
        return True

    @staticmethod
    def strip_headers(p):
        total = struct.unpack("<I", p[0:4])[0] if len(p) >= 4 else 0
        return p[total:] if 4 <= total <= len(p) else p

    def batch(self, payload):
        sql = self.strip_headers(payload).decode("utf-16-le", errors="replace")
        self.server.log({"event": "batch", "sql": sql})
        answer = self.server.answer_for(sql)
        words = answer.split(" ", 1)
        verb, rest = words[0].lower(), (words[1] if len(words) > 1 else "")
        if verb == "close":
            return False
        if verb == "error":
            number, cls, text = (rest.split(" ", 2) + ["", ""])[:3]
            self.send(error_token(int(number), int(cls), text) + done(0x02))
        elif verb == "row":
            self.send(one_row([pair.split("=", 1) for pair in rest.split(";")]) + done(0, 1))
        else:
            self.send(done(0, int(rest) if rest.strip() else 0))
        return True

    def transaction(self, payload):
        p = self.strip_headers(payload)
        request = struct.unpack("<H", p[0:2])[0] if len(p) >= 2 else 0
        name = {5: "begin", 7: "commit", 8: "rollback"}.get(request, str(request))
        self.server.log({"event": "transaction", "request": name})
        descriptor = struct.pack("<Q", 1)
        if request == 5:
            out = env_change(8, bytes([8]) + descriptor, b"\x00")
        elif request in (7, 8):
            out = env_change(9 if request == 7 else 10, b"\x00", bytes([8]) + descriptor)
        else:
            out = b""
        self.send(out + done(0))


class Server:
    def __init__(self, args):
        self.mode = args.mode
        self.lock = threading.Lock()
        self.log_file = open(args.log, "a", encoding="utf-8")
        self.rules = []
        if args.script:
            with open(args.script, encoding="utf-8") as f:
                for line in f:
                    line = line.rstrip("\r\n")
                    if not line or line.startswith("#") or "\t" not in line:
                        continue
                    pattern, answer = line.split("\t", 1)
                    times = re.match(r"(\d+)\*", answer)
                    self.rules.append([re.compile(pattern, re.IGNORECASE | re.DOTALL), answer[times.end():].strip()
                                       if times else answer.strip(), int(times.group(1)) if times else -1])

    def log(self, record):
        with self.lock:
            self.log_file.write(json.dumps(record, ensure_ascii=False) + "\n")
            self.log_file.flush()

    def answer_for(self, sql):
        with self.lock:
            for rule in self.rules:
                if rule[2] != 0 and rule[0].search(sql):
                    rule[2] -= 1
                    return rule[1]
        return "ok 1" if re.match(r"\s*(INSERT|UPDATE|DELETE)\b", sql, re.IGNORECASE) else "ok 0"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--port-file", required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--script")
    parser.add_argument("--mode", default="normal", choices=["normal", "silent"])
    args = parser.parse_args()
    server = Server(args)
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    with open(args.port_file + ".tmp", "w") as f:
        f.write(str(listener.getsockname()[1]))
    import os
    os.replace(args.port_file + ".tmp", args.port_file)
    while True:
        conn, _ = listener.accept()
        Session(server, conn).start()


if __name__ == "__main__":
    sys.exit(main())
