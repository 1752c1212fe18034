#!/usr/bin/env python3
"""A loopback speed-test service for the internet probe's tests (plain HTTP on 127.0.0.1).

usage: server.py <behaviour.json> <port file>

GET /__down?bytes=N answers N zero bytes; POST /__up reads the body and answers. The behaviour file is read at each
request, so a test may change it between requests: {"status": 200, "stall_ms": N (wait before the status line),
"rate": bytes per second of a download or of reading an upload (0: as fast as possible), "close_after": N (send
only N bytes of a download, without a length, then close)}. Every request is appended to <port file>.log as
"<method> <path> <user agent> <body length> <client port>". The chosen port is written to <port file> once the
server listens.
"""
import http.server
import json
import os
import sys
import time

CHUNK = 65536


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def behaviour(self, length):
        with open(self.server.log_path, "a") as log:
            log.write("%s %s %s %d %d\n" % (self.command, self.path, self.headers.get("User-Agent", "-"), length,
                                            self.client_address[1]))
        with open(self.server.behaviour_path) as f:
            b = json.load(f)
        time.sleep(b.get("stall_ms", 0) / 1000.0)
        return b

    def paced(self, rate, started, done):
        if rate:
            ahead = done / rate - (time.monotonic() - started)
            if ahead > 0:
                time.sleep(ahead)

    def do_GET(self):
        b = self.behaviour(0)
        try:
            count = int(self.path.split("bytes=", 1)[1]) if self.path.startswith("/__down?bytes=") else 0
            close_after = b.get("close_after", -1)
            self.send_response(b.get("status", 200))
            if close_after >= 0:
                count = min(count, close_after)
                self.send_header("Connection", "close")
                self.close_connection = True
            else:
                self.send_header("Content-Length", str(count))
            self.end_headers()
            started, sent, rate = time.monotonic(), 0, b.get("rate", 0)
            zeros = bytes(CHUNK)
            while sent < count:
                n = min(CHUNK, count - sent)
                self.wfile.write(zeros[:n])
                sent += n
                self.paced(rate, started, sent)
            self.wfile.flush()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True

    def do_POST(self):
        length = int(self.headers.get("Content-Length", "0"))
        b = self.behaviour(length)
        try:
            started, got, rate = time.monotonic(), 0, b.get("rate", 0)
            while got < length:
                piece = self.rfile.read(min(CHUNK // 4 if rate else CHUNK, length - got))
                if not piece:
                    self.close_connection = True
                    return
                got += len(piece)
                self.paced(rate, started, got)
            self.send_response(b.get("status", 200))
            self.send_header("Content-Length", "0")
            self.end_headers()
        except (BrokenPipeError, ConnectionResetError):
            self.close_connection = True


def main():
    behaviour_path, port_path = sys.argv[1], sys.argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.behaviour_path = behaviour_path
    server.log_path = port_path + ".log"
    tmp = port_path + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, port_path)
    server.serve_forever()


if __name__ == "__main__":
    main()
