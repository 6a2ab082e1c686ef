#!/usr/bin/env python3
"""A loopback HTTP server for the download tests and the demo, on Python's
standard library alone. It serves the files of one folder with ranges,
strong ETags and Last-Modified, and with fault modes that the query string
of each request picks (several may be joined with commas):

  fault=cut&at=N        close the connection once the body reaches byte N
                        (of the first K requests only, with cuts=K)
  fault=more&extra=N    send the file and N bytes more, with no length
  fault=other           send other bytes of the same size
  fault=norange         ignore Range and If-Range
  fault=status&code=C   answer C instead
  fault=redirect&hops=N redirect N times, then serve
  fault=slow&pause=MS   send 64 KiB, pause, and so on
  times=K               only the first K requests of this key misbehave
  key=NAME              the key requests are counted and logged under

The requests of each key are logged as JSON lines (the range asked and the
status answered) in _requests-<key>.jsonl under the served folder.

  test_server.py [--root DIR] --run -- COMMAND...
      starts on a free port of 127.0.0.1, runs COMMAND with
      LOFTSWITCH_TEST_SERVER=http://127.0.0.1:<port> and
      LOFTSWITCH_TEST_ROOT=DIR (a new folder, removed afterwards, without
      --root), stops, and exits with COMMAND's code
  test_server.py --root DIR --serve --port-file FILE
      serves until SIGTERM

--fault "/PATH?QUERY" gives the requests for PATH that query's faults when
they name none. Either way it stops after --lifetime seconds and
--max-requests requests.
"""
import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
from email.utils import formatdate
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 30

    def log_message(self, *args):
        pass

    def do_GET(self):
        server = self.server
        with server.lock:
            server.requests += 1
            if server.requests > server.max_requests:
                threading.Thread(target=server.shutdown, daemon=True).start()
        url = urllib.parse.urlsplit(self.path)
        query = dict(server.faults.get(url.path, {}), **dict(urllib.parse.parse_qsl(url.query)))
        key = query.get("key", "")
        with server.lock:
            count = server.counts[key] = server.counts.get(key, 0) + 1
        self.entry = {"range": self.headers.get("Range", ""), "key": key}
        faults = set(query.get("fault", "").split(",")) - {""}
        if count > int(query.get("times", "1000000")):
            faults = set()
        path = os.path.join(server.root, urllib.parse.unquote(url.path).lstrip("/"))
        if not os.path.isfile(path) or os.path.commonpath([server.root, os.path.realpath(path)]) != server.root:
            return self.answer(404, b"not found\n")
        if "status" in faults:
            return self.answer(int(query["code"]), b"fault\n")
        if "redirect" in faults and count <= int(query.get("hops", "1")):
            return self.answer(302, b"", {"Location": self.path})
        with open(path, "rb") as f:
            data = f.read()
        etag = '"%s"' % hashlib.sha256(data).hexdigest()[:16]
        modified = formatdate(os.path.getmtime(path), usegmt=True)
        if "other" in faults:
            data = bytes(b ^ 0x5A for b in data)
        start, status = 0, 200
        asked = self.headers.get("Range", "")
        condition = self.headers.get("If-Range")
        if asked.startswith("bytes=") and asked.endswith("-") and "norange" not in faults:
            if condition is None or condition in (etag, modified):
                start = int(asked[6:-1])
                if start >= len(data):
                    return self.answer(416, b"", {"Content-Range": "bytes */%d" % len(data)})
                status = 206
        headers = {"ETag": etag, "Last-Modified": modified, "Accept-Ranges": "bytes"}
        if status == 206:
            headers["Content-Range"] = "bytes %d-%d/%d" % (start, len(data) - 1, len(data))
        body = data[start:]
        if "more" in faults:
            body += b"x" * int(query.get("extra", "1"))
            headers["Connection"] = "close"
            return self.answer(status, body, headers, length=False)
        end = len(body)
        if "cut" in faults and count <= int(query.get("cuts", "1000000")):
            end = max(0, min(end, int(query["at"]) - start))
        pause = int(query.get("pause", "0")) / 1000 if "slow" in faults else 0
        self.answer(status, body[:end], headers, declared=len(body), pause=pause)
        if end < len(body):
            self.close_connection = True
            self.connection.shutdown(socket.SHUT_RDWR)

    def answer(self, status, body, headers=None, length=True, declared=None, pause=0):
        entry = dict(self.entry, status=status)
        if re.fullmatch(r"[\w-]+", entry.pop("key")):
            with self.server.lock:
                with open(os.path.join(self.server.root, "_requests-%s.jsonl" % self.entry["key"]), "a") as log:
                    log.write(json.dumps(entry) + "\n")
        self.send_response(status)
        for name, value in (headers or {}).items():
            self.send_header(name, value)
        if length:
            self.send_header("Content-Length", str(len(body) if declared is None else declared))
        else:
            self.close_connection = True
        self.end_headers()
        for at in range(0, len(body), 65536 if pause else max(len(body), 1)):
            self.wfile.write(body[at:at + 65536] if pause else body)
            if pause:
                self.wfile.flush()
                time.sleep(pause)


class Server(ThreadingHTTPServer):
    def handle_error(self, request, client_address):
        # A client that hangs up (a cancelled download) is no error here.
        if not isinstance(sys.exc_info()[1], (BrokenPipeError, ConnectionResetError)):
            super().handle_error(request, client_address)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root")
    parser.add_argument("--run", action="store_true")
    parser.add_argument("--serve", action="store_true")
    parser.add_argument("--port-file")
    parser.add_argument("--lifetime", type=float, default=600)
    parser.add_argument("--max-requests", type=int, default=5000)
    parser.add_argument("--fault", action="append", default=[])
    parser.add_argument("command", nargs=argparse.REMAINDER)
    args = parser.parse_args()
    scratch = None if args.root else tempfile.mkdtemp(prefix="loftswitch-served-")
    server = Server(("127.0.0.1", 0), Handler)
    server.daemon_threads = True
    server.root = os.path.realpath(args.root or scratch)
    server.lock = threading.Lock()
    server.requests, server.max_requests = 0, args.max_requests
    server.counts = {}
    server.faults = {}
    for fault in args.fault:
        path, _, query = fault.partition("?")
        server.faults[path] = dict(urllib.parse.parse_qsl(query))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    url = "http://127.0.0.1:%d" % server.server_address[1]
    deadline = threading.Timer(args.lifetime, server.shutdown)
    deadline.daemon = True
    deadline.start()
    try:
        if args.run:
            command = args.command[1:] if args.command[:1] == ["--"] else args.command
            env = dict(os.environ, LOFTSWITCH_TEST_SERVER=url, LOFTSWITCH_TEST_ROOT=server.root)
            child = subprocess.Popen(command, env=env)
            try:
                return child.wait(timeout=args.lifetime)
            except subprocess.TimeoutExpired:
                child.kill()
                return 124
        with open(args.port_file, "w") as f:
            f.write(url + "\n")
        stop = threading.Event()
        signal.signal(signal.SIGTERM, lambda *_: stop.set())
        signal.signal(signal.SIGINT, lambda *_: stop.set())
        stop.wait(args.lifetime)
        return 0
    finally:
        server.shutdown()
        server.server_close()
        if scratch:
            shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
