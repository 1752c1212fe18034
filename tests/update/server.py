#!/usr/bin/env python3
"""A loopback HTTP(S) server for the updater tests.

usage: server.py <routes.json> <port file> [<certificate> <key>]

routes.json maps a request path to an answer: {"status": 200, "file": "<path>" or "body": "<text>",
"headers": {...}, "stall_before_ms": N (wait before the status line), "stall_after_ms": N (send half the body,
then wait), "trickle_ms": N (send the body one byte every N ms)}. The file is read when asked, so a test may
change it between requests. The route "*" may name a "root" folder: a path that no route names is then the file
under it, as a static web server serves an update tree. Unknown paths answer 404.
Every request is appended to <port file>.log as "<path> <user agent> <cookie or -> <authorization or ->".
The chosen port is written to <port file> once the server listens.
"""
import http.server
import json
import os
import ssl
import sys
import time


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        with open(self.server.log_path, "a") as log:
            log.write("%s %s %s %s\n" % (self.path, self.headers.get("User-Agent", "-"),
                                          self.headers.get("Cookie", "-"), self.headers.get("Authorization", "-")))
        with open(self.server.routes_path) as f:
            routes = json.load(f)
        route = routes.get(self.path)
        root = routes.get("*", {}).get("root")
        if route is None and root and ".." not in self.path:
            path = os.path.join(root, self.path.lstrip("/"))
            if os.path.isfile(path):
                route = {"status": 200, "file": path}
        if route is None:
            route = {"status": 404, "body": "not here"}
        if "file" in route:
            with open(route["file"], "rb") as f:
                body = f.read()
        else:
            body = route.get("body", "").encode()
        time.sleep(route.get("stall_before_ms", 0) / 1000.0)
        try:
            self.send_response(route.get("status", 200))
            for name, value in route.get("headers", {}).items():
                self.send_header(name, value)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            stall = route.get("stall_after_ms", 0)
            trickle = route.get("trickle_ms", 0)
            if trickle:
                for i in range(len(body)):
                    self.wfile.write(body[i:i + 1])
                    self.wfile.flush()
                    time.sleep(trickle / 1000.0)
            elif stall:
                self.wfile.write(body[: len(body) // 2])
                self.wfile.flush()
                time.sleep(stall / 1000.0)
                self.wfile.write(body[len(body) // 2:])
            else:
                self.wfile.write(body)
        except (BrokenPipeError, ConnectionResetError, ssl.SSLError):
            pass


def main():
    routes_path, port_path = sys.argv[1], sys.argv[2]
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.routes_path = routes_path
    server.log_path = port_path + ".log"
    if len(sys.argv) > 4:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(sys.argv[3], sys.argv[4])
        server.socket = context.wrap_socket(server.socket, server_side=True)
    tmp = port_path + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(server.server_address[1]))
    os.rename(tmp, port_path)
    server.serve_forever()


if __name__ == "__main__":
    main()
