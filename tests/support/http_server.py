#!/usr/bin/env python3
"""Local HTTP server for tests, the demo and benchmarks (standard library only).

Usage: http_server.py DIRECTORY [--port N] [--tls PEM]

Listens on 127.0.0.1 (port 0 = a free port unless --port is given), prints the
port alone on the first line of stdout, flushes, then serves files from
DIRECTORY. The first path segment selects how a request is answered, so one
server covers every case:

  /files/<name>          the file; honours "Range: bytes=N-" / "N-M" with 206
                         unless "If-Range" names another version (then 200
                         with the whole file)
  /status/<code>         answers with that status and a short body
                         ("?retry-after=V" adds the header "Retry-After: V")
  /short/<name>          announces the full Content-Length, sends half, closes
  /chunked/<name>        the whole file, chunked (size unknown to the client)
  /chunked-short/<name>  chunked, closes after half without the last chunk
  /redirect/<rest>       302 to /<rest> on this server (with an ETag of its
                         own, which says nothing about the target); "?pad=N"
                         makes its body N bytes long
  /redirect-loop         302 to itself, forever
  /redirect-file         302 to file:///etc/passwd
  /redirect-to?url=U     302 to the absolute URL U (another scheme or server)
  /stall/<name>          full Content-Length, sends 64 KiB, then goes silent
                         (until the client leaves or 60 s pass)
  /drop-once/<name>      the first request for <name> sends half and closes;
                         later ones are served like /files/ (with Range)
  /drop-norange/<name>   the first request drops like /drop-once/, later ones
                         ignore Range and send the whole file with 200
  /norange/<name>        ignores Range, always 200 with the whole file
  /fail-once/<name>      the first request for <name> gets 503, later ones
                         are served like /files/
  /busy/<name>           the first requests for <name> ("?times=N", default 1)
                         get "?status=S" (default 503) with "Retry-After: V"
                         when "?retry-after=V" is given; later ones are served
                         like /files/
  /slow/<name>           the file throttled to 262144 bytes/s (or ?bps=N),
                         honouring Range
  /drop-change/<name>    the first request sends half of <name> and closes;
                         later ones serve the file <name>.v2 instead (another
                         version: other bytes, other ETag), honouring Range
                         and If-Range. "?tag=first" labels <name>.v2 with
                         <name>'s validators (a server whose tags go stale);
                         "?if-range=ignore" honours Range whatever If-Range says
  /drop-novalidator/<name>  the first request drops like /drop-once/, later
                         ones honour Range; no ETag or Last-Modified ever
  /late-signature/<name> like /files/, but a name ending in ".minisig" is
                         answered only after 3 s

Every mode that sends a file also takes "?bps=N" to throttle it to N bytes/s,
and, except /drop-novalidator/, sends the validators of the version served:
ETag (from the file's inode, size and mtime; "?etag=weak" marks it W/, "?etag=none" leaves
it out) and Last-Modified (the file's modification time).
  /headers               the request's header lines as the body
  /_requests             one line per request served so far:
                         "<path> <Range header or ->", followed by
                         " If-Range: <value>" when the request carried one
  /_targets              one line per request served so far: its whole
                         target, query included

With --tls the server speaks HTTPS with the certificate and key in PEM.
Unknown names give 404. Only the loopback interface is used.
"""

import argparse
import email.utils
import os
import ssl
import sys
import threading
import time
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

CHUNK = 64 * 1024


class Server(ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, address, root):
        super().__init__(address, Handler)
        self.root = os.path.abspath(root)
        self.lock = threading.Lock()
        self.seen = set()       # "<mode>/<name>" already requested once
        self.counts = {}        # "<mode>/<name>" -> requests so far
        self.requests = []      # lines for /_requests
        self.targets = []       # lines for /_targets

    def handle_error(self, request, client_address):
        # A client hanging up mid-body is routine here (abandon, stall tests).
        if isinstance(sys.exc_info()[1], (ConnectionError, TimeoutError)):
            return
        super().handle_error(request, client_address)

    def count(self, key):
        """How many requests for `key` came before this one."""
        with self.lock:
            before = self.counts.get(key, 0)
            self.counts[key] = before + 1
            return before

    def first_time(self, key):
        with self.lock:
            if key in self.seen:
                return False
            self.seen.add(key)
            return True


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "BrisvaneTestServer/1.0"

    def log_message(self, fmt, *args):  # keep test output clean
        pass

    # ---- helpers -------------------------------------------------------

    def file_path(self, name):
        name = urllib.parse.unquote(name)
        path = os.path.abspath(os.path.join(self.server.root, name))
        if not path.startswith(self.server.root + os.sep) or not os.path.isfile(path):
            return None
        return path

    def send_plain(self, code, text, extra=None):
        body = text.encode()
        self.send_response(code)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        for key, value in (extra or {}).items():
            self.send_header(key, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def parse_range(self, size):
        """(start, end) inclusive from a single byte range, None without one,
        or "bad" when unsatisfiable."""
        header = self.headers.get("Range")
        if not header or not header.startswith("bytes="):
            return None
        spec = header[len("bytes="):].split(",")[0].strip()
        first, _, last = spec.partition("-")
        try:
            if first == "":
                start, end = max(0, size - int(last)), size - 1
            else:
                start = int(first)
                end = int(last) if last else size - 1
        except ValueError:
            return None
        if start >= size or end < start:
            return "bad"
        return start, min(end, size - 1)

    def validators(self, path, etag_kind="strong"):
        """(ETag or None, Last-Modified) of the file's current version."""
        # Identity, size and modification time: cheap even for big files,
        # and different for every other version of the file.
        info = os.stat(path)
        tag = "%x-%x-%x" % (info.st_ino, info.st_size, info.st_mtime_ns)
        etag = {"strong": '"%s"' % tag, "weak": 'W/"%s"' % tag}.get(etag_kind)
        modified = email.utils.formatdate(info.st_mtime, usegmt=True)
        return etag, modified

    def range_still_valid(self, etag, modified):
        """False when If-Range names another version than the one served: a
        weak or absent tag never matches, a date must be the exact one."""
        condition = self.headers.get("If-Range")
        if condition is None:
            return True
        condition = condition.strip()
        if condition.startswith('"'):
            return etag is not None and not etag.startswith("W/") and condition == etag
        if condition.startswith("W/"):
            return False
        return condition == modified

    def send_file(self, path, honour_range=True, limit=None, bps=None, stall_after=None,
                  validators=None, check_if_range=True):
        """Sends the file (or its requested range). `limit` stops after that
        many body bytes and closes; `bps` throttles; `stall_after` goes
        silent after that many bytes. `validators` is (ETag or None,
        Last-Modified or None) to send and to hold If-Range against."""
        size = os.path.getsize(path)
        etag, modified = validators or (None, None)
        byte_range = self.parse_range(size) if honour_range else None
        if byte_range is not None and check_if_range and not self.range_still_valid(etag, modified):
            byte_range = None
        if byte_range == "bad":
            self.send_plain(416, "range not satisfiable",
                            {"Content-Range": "bytes */%d" % size})
            return
        if byte_range is None:
            start, end, code = 0, size - 1, 200
        else:
            (start, end), code = byte_range, 206
        length = end - start + 1 if size else 0
        self.send_response(code)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(length))
        self.send_header("Accept-Ranges", "bytes" if honour_range else "none")
        if etag is not None:
            self.send_header("ETag", etag)
        if modified is not None:
            self.send_header("Last-Modified", modified)
        if code == 206:
            self.send_header("Content-Range", "bytes %d-%d/%d" % (start, end, size))
        if limit is not None:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        sent = 0
        began = time.monotonic()
        with open(path, "rb") as source:
            source.seek(start)
            while sent < length:
                step = min(CHUNK, length - sent)
                if limit is not None:
                    step = min(step, limit - sent)
                if stall_after is not None:
                    step = min(step, stall_after - sent)
                if step <= 0:
                    break
                data = source.read(step)
                if not data:
                    break
                self.wfile.write(data)
                sent += len(data)
                if bps:
                    ahead = sent / bps - (time.monotonic() - began)
                    if ahead > 0:
                        time.sleep(ahead)
        self.wfile.flush()
        if stall_after is not None and sent < length:
            self.stall()
        if sent < length:
            self.close_connection = True

    def stall(self):
        # Stay silent until the client hangs up (a read then returns b"").
        self.connection.settimeout(0.2)
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            try:
                if self.connection.recv(1) == b"":
                    return
            except OSError as error:
                if "timed out" not in str(error):
                    return

    def send_chunked(self, path, cut):
        data = open(path, "rb").read()
        stop = len(data) // 2 if cut else len(data)
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Transfer-Encoding", "chunked")
        if cut:
            self.send_header("Connection", "close")
        self.end_headers()
        if self.command == "HEAD":
            return
        for offset in range(0, stop, CHUNK):
            piece = data[offset:min(offset + CHUNK, stop)]
            self.wfile.write(b"%x\r\n" % len(piece) + piece + b"\r\n")
        if cut:
            self.close_connection = True
        else:
            self.wfile.write(b"0\r\n\r\n")
        self.wfile.flush()

    def send_unsized(self, path, cut):
        # No Content-Length, not chunked: the end of the body is the end of
        # the connection, whether the server meant it or not.
        data = open(path, "rb").read()
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Connection", "close")
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(data[:len(data) // 2] if cut else data)
            self.wfile.flush()
        self.close_connection = True

    # ---- dispatch ------------------------------------------------------

    def do_HEAD(self):
        self.do_GET()

    def do_GET(self):
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        line = "%s %s" % (url.path, self.headers.get("Range", "-"))
        if self.headers.get("If-Range") is not None:
            line += " If-Range: %s" % self.headers.get("If-Range")
        with self.server.lock:
            self.server.requests.append(line)
            self.server.targets.append(self.path)
        mode, _, rest = url.path.lstrip("/").partition("/")

        if mode in ("_requests", "_targets"):
            with self.server.lock:
                lines = self.server.requests if mode == "_requests" else self.server.targets
                text = "".join(line + "\n" for line in lines)
            self.send_plain(200, text)
            return
        if mode == "headers":
            self.send_plain(200, "".join("%s: %s\n" % item for item in self.headers.items()))
            return
        retry_after = query.get("retry-after")
        busy_header = {"Retry-After": retry_after[0]} if retry_after else {}
        if mode == "status":
            try:
                code = int(rest)
            except ValueError:
                code = 400
            if code < 200 or code in (204, 304):
                self.send_response(code)
                self.send_header("Content-Length", "0")
                self.end_headers()
            else:
                self.send_plain(code, "status %d\n" % code, busy_header)
            return
        if mode == "redirect":
            try:
                pad = max(0, int(query.get("pad", ["0"])[0]))
            except ValueError:
                pad = 0
            self.send_plain(302, "moved\n".ljust(pad, "."),
                            {"Location": "/" + rest, "ETag": '"redirect"'})
            return
        if mode == "redirect-loop":
            self.send_plain(302, "again\n", {"Location": "/redirect-loop"})
            return
        if mode == "redirect-to":
            self.send_plain(302, "moved\n", {"Location": query.get("url", [""])[0]})
            return
        if mode == "redirect-file":
            self.send_plain(302, "elsewhere\n", {"Location": "file:///etc/passwd"})
            return

        path = self.file_path(rest) if rest else None
        if path is None:
            self.send_plain(404, "not found\n")
            return
        size = os.path.getsize(path)
        try:
            bps = max(0, int(query.get("bps", ["0"])[0]))
        except ValueError:
            bps = 0

        tags = self.validators(path, query.get("etag", ["strong"])[0])
        first_half = dict(honour_range=False, limit=size // 2, bps=bps, validators=tags)
        if mode == "files":
            self.send_file(path, bps=bps, validators=tags)
        elif mode == "short":
            self.send_file(path, honour_range=False, limit=size // 2, bps=bps, validators=tags)
        elif mode == "chunked":
            self.send_chunked(path, cut=False)
        elif mode == "chunked-short":
            self.send_chunked(path, cut=True)
        elif mode == "cut-each":
            # A proxy that ends every response after 1 MiB: each try gains.
            self.send_file(path, limit=1 << 20, bps=bps, validators=tags)
        elif mode in ("unsized", "unsized-short"):
            # A signature stays whole, so that its check meets the cut body.
            self.send_unsized(path, cut=mode == "unsized-short" and not path.endswith(".minisig"))
        elif mode == "stall":
            self.send_file(path, stall_after=min(CHUNK, size // 2), validators=tags)
        elif mode == "drop-once":
            if self.server.first_time(url.path):
                self.send_file(path, **first_half)
            else:
                self.send_file(path, bps=bps, validators=tags)
        elif mode == "drop-norange":
            if self.server.first_time(url.path):
                self.send_file(path, **first_half)
            else:
                self.send_file(path, honour_range=False, bps=bps, validators=tags)
        elif mode == "norange":
            self.send_file(path, honour_range=False, bps=bps, validators=tags)
        elif mode == "fail-once":
            if self.server.first_time(url.path):
                self.send_plain(503, "try later\n")
            else:
                self.send_file(path, bps=bps, validators=tags)
        elif mode == "busy":
            try:
                times, code = int(query.get("times", ["1"])[0]), int(query.get("status", ["503"])[0])
            except ValueError:
                times, code = 1, 503
            if self.server.count(url.path) < times:
                self.send_plain(code, "busy\n", busy_header)
            else:
                self.send_file(path, bps=bps, validators=tags)
        elif mode == "slow":
            self.send_file(path, bps=bps or 262144, validators=tags)
        elif mode == "drop-change":
            changed = path + ".v2"
            if self.server.first_time(url.path):
                self.send_file(path, **first_half)
            elif not os.path.isfile(changed):
                self.send_plain(404, "no second version\n")
            else:
                if query.get("tag", [""])[0] != "first":
                    tags = self.validators(changed, query.get("etag", ["strong"])[0])
                self.send_file(changed, bps=bps, validators=tags,
                               check_if_range=query.get("if-range", [""])[0] != "ignore")
        elif mode == "late-signature":
            if path.endswith(".minisig"):
                time.sleep(3)
            self.send_file(path, bps=bps, validators=tags)
        elif mode == "drop-novalidator":
            if self.server.first_time(url.path):
                self.send_file(path, honour_range=False, limit=size // 2, bps=bps)
            else:
                self.send_file(path, bps=bps)
        else:
            self.send_plain(404, "unknown mode\n")


def serve(server):
    """Prints the port `server` listens on (what the tests wait for), then
    serves until interrupted."""
    sys.stdout.write("%d\n" % server.server_address[1])
    sys.stdout.flush()
    try:
        server.serve_forever(poll_interval=0.1)
    except KeyboardInterrupt:
        pass
    finally:
        server.server_close()


def main():
    parser = argparse.ArgumentParser(description="local HTTP test server")
    parser.add_argument("directory")
    parser.add_argument("--port", type=int, default=0)
    parser.add_argument("--tls", metavar="PEM")
    args = parser.parse_args()
    server = Server(("127.0.0.1", args.port), args.directory)
    if args.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls)
        server.socket = context.wrap_socket(server.socket, server_side=True)
    serve(server)


if __name__ == "__main__":
    main()
