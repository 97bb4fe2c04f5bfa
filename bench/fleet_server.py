#!/usr/bin/env python3
"""An overloaded download server for bench/fleet_bench (standard library only).

Usage: fleet_server.py [--slots N] [--serve-ms MS] [--size BYTES] [--bare-every K]
                       [--cut-clients N]

Listens on 127.0.0.1 (a free port), prints the port on the first line of
stdout, then answers:

  /fleet/<anything>  while fewer than --slots downloads are being served, a
                     body of --size bytes sent after --serve-ms (each served
                     download holds a slot that long); otherwise 503 with
                     "Retry-After: S", S the first whole second whose
                     announced returns still fit the serving rate. Every
                     K-th 503 (--bare-every, 0 never) has no Retry-After.
  /cut/<anything>    the first request for each name waits until --cut-clients
                     of them have arrived, then all get half of a body of
                     --size bytes (with an entity tag) and are cut at the
                     same instant; every later request is closed unanswered,
                     as by a server that went down
  /_times            one line per /fleet request: seconds since the first one
  /_cut_times        the same for /cut requests
  /_reset            forgets the requests and announced returns
  /_quit             stops the server
"""

import argparse
import math
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True
    request_queue_size = 1024  # a fleet connects at once

    def handle_error(self, request, client_address):
        # Clients hanging up on a kept-alive connection are routine here.
        if isinstance(sys.exc_info()[1], ConnectionError):
            return
        super().handle_error(request, client_address)

    def __init__(self, args):
        super().__init__(("127.0.0.1", 0), Handler)
        self.args = args
        self.body = b"x" * args.size
        # Downloads a second the slots can serve: what returns may add up to.
        self.rate = max(1, int(args.slots * 1000 / max(1, args.serve_ms)))
        self.lock = threading.Lock()
        self.reset()

    def reset(self):
        with self.lock:
            self.active = 0
            self.times = []
            self.returns = {}   # whole second -> returns announced for it
            self.rejected = 0
            self.cut_times = []
            self.cut_seen = set()
            self.cut_barrier = threading.Barrier(max(1, self.args.cut_clients))

    def admit(self):
        """None when a slot is taken, else the Retry-After to answer with
        ("" for none)."""
        with self.lock:
            self.times.append(time.monotonic())
            if self.active < self.args.slots:
                self.active += 1
                return None
            self.rejected += 1
            if self.args.bare_every and self.rejected % self.args.bare_every == 0:
                return ""
            now = math.floor(time.monotonic())
            wait = 1
            while self.returns.get(now + wait, 0) >= self.rate:
                wait += 1
            self.returns[now + wait] = self.returns.get(now + wait, 0) + 1
            return str(wait)

    def first_cut(self, path):
        """Notes a /cut request; True for the first one of its name."""
        with self.lock:
            self.cut_times.append(time.monotonic())
            first = path not in self.cut_seen
            self.cut_seen.add(path)
            return first

    def release(self):
        with self.lock:
            self.active -= 1


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, fmt, *args):
        pass

    def reply(self, code, body, headers=()):
        self.send_response(code)
        self.send_header("Content-Length", str(len(body)))
        for key, value in headers:
            self.send_header(key, value)
        self.end_headers()
        self.wfile.write(body)

    def do_GET(self):
        server = self.server
        if self.path == "/_times":
            with server.lock:
                first = server.times[0] if server.times else 0
                text = "".join("%.6f\n" % (t - first) for t in server.times)
            self.reply(200, text.encode())
        elif self.path == "/_cut_times":
            with server.lock:
                first = server.cut_times[0] if server.cut_times else 0
                text = "".join("%.6f\n" % (t - first) for t in server.cut_times)
            self.reply(200, text.encode())
        elif self.path.startswith("/cut/"):
            self.serve_cut()
        elif self.path == "/_reset":
            server.reset()
            self.reply(200, b"reset\n")
        elif self.path == "/_quit":
            self.reply(200, b"bye\n")
            threading.Thread(target=server.shutdown, daemon=True).start()
        elif self.path.startswith("/fleet/"):
            self.serve_download()
        else:
            self.reply(404, b"not found\n")

    def serve_cut(self):
        server = self.server
        self.close_connection = True
        if not server.first_cut(self.path):
            return  # down: the connection closes without an answer
        try:
            server.cut_barrier.wait(timeout=30)
        except threading.BrokenBarrierError:
            pass
        self.send_response(200)
        self.send_header("Content-Length", str(len(server.body)))
        self.send_header("ETag", '"cut-1"')
        self.send_header("Accept-Ranges", "bytes")
        self.end_headers()
        self.wfile.write(server.body[: len(server.body) // 2])
        self.wfile.flush()

    def serve_download(self):
        server = self.server
        retry_after = server.admit()
        if retry_after is not None:
            headers = [("Retry-After", retry_after)] if retry_after else []
            self.reply(503, b"busy\n", headers)
            return
        try:
            time.sleep(server.args.serve_ms / 1000)
            self.reply(200, server.body, [("Content-Type", "application/octet-stream")])
        finally:
            server.release()


def main():
    parser = argparse.ArgumentParser(description="overloaded server for the fleet bench")
    parser.add_argument("--slots", type=int, default=20)
    parser.add_argument("--serve-ms", type=int, default=400)
    parser.add_argument("--size", type=int, default=64 * 1024)
    parser.add_argument("--bare-every", type=int, default=10)
    parser.add_argument("--cut-clients", type=int, default=8)
    server = Server(parser.parse_args())
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    server.serve_forever(poll_interval=0.1)
    server.server_close()


if __name__ == "__main__":
    main()
