#!/usr/bin/env python3
"""Recording forward HTTP proxy for tests (standard library only).

Usage: forward_proxy.py RECORD_FILE [--port N]

Listens on 127.0.0.1 (port 0 = a free port unless --port is given), prints
the port alone on the first line of stdout, flushes, then takes absolute-form
requests ("GET http://host:port/path HTTP/1.1"). Each request line is
appended to RECORD_FILE (one line, flushed before the request is forwarded),
the request is sent on to the origin with its headers (hop-by-hop ones left
out) and the origin's answer is relayed as it arrives; the connection to the
client is closed after every answer. A request that is not absolute-form, or
whose origin cannot be reached, gets 400 or 502. CONNECT is not supported.
"""

import argparse
import http.client
import sys
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

from http_server import serve

CHUNK = 64 * 1024
HOP_BY_HOP = {"connection", "proxy-connection", "keep-alive", "proxy-authorization",
              "te", "trailer", "transfer-encoding", "upgrade"}


class Proxy(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, record_path):
        super().__init__(address, Handler)
        self.record_path = record_path
        self.lock = threading.Lock()

    def record(self, line):
        with self.lock, open(self.record_path, "a", encoding="utf-8") as record:
            record.write(line + "\n")

    def handle_error(self, request, client_address):
        # A client hanging up mid-body is routine in tests.
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)


class Handler(BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_GET(self):
        self.server.record(self.requestline)
        target = urllib.parse.urlsplit(self.path)
        if target.scheme != "http" or not target.hostname:
            self.send_error(400, "absolute-form http request expected")
            return
        path = target.path or "/"
        if target.query:
            path += "?" + target.query
        headers = {name: value for name, value in self.headers.items()
                   if name.lower() not in HOP_BY_HOP}
        origin = http.client.HTTPConnection(target.hostname, target.port or 80, timeout=60)
        try:
            origin.request("GET", path, headers=headers)
            answer = origin.getresponse()
        except OSError as error:
            origin.close()
            self.send_error(502, "origin unreachable: %s" % error)
            return
        try:
            self.relay(answer)
        finally:
            origin.close()

    def relay(self, answer):
        self.send_response_only(answer.status, answer.reason)
        for name, value in answer.getheaders():
            if name.lower() not in HOP_BY_HOP:
                self.send_header(name, value)
        self.send_header("Connection", "close")
        self.end_headers()
        while True:
            data = answer.read1(CHUNK)
            if not data:
                break
            self.wfile.write(data)
        self.wfile.flush()
        self.close_connection = True


def main():
    parser = argparse.ArgumentParser(description="recording forward HTTP proxy")
    parser.add_argument("record")
    parser.add_argument("--port", type=int, default=0)
    args = parser.parse_args()
    server = Proxy(("127.0.0.1", args.port), args.record)
    serve(server)


if __name__ == "__main__":
    main()
