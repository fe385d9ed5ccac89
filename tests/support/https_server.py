#!/usr/bin/python3
"""A small HTTPS service on 127.0.0.1: https_server.py CERTIFICATE KEY STATE_DIRECTORY.

Prints its port once it listens. Each request is appended as a JSON line to STATE/requests.jsonl and then
answered from the file STATE/answer<path> ('/' written '|'), the path with its query, else without: its
first line is the status, or "never" to hold the connection unanswered; the rest is the body. 404 else.
"""

import http.server
import json
import os
import ssl
import sys
import threading
import time

certificate, key, state = sys.argv[1:4]
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certificate, key)
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *arguments):
        pass

    def do_GET(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        headers = {name.lower(): value for name, value in self.headers.items()}
        record = {"method": self.command, "path": self.path, "headers": headers, "body": body.decode("utf-8")}
        with lock, open(os.path.join(state, "requests.jsonl"), "a") as log:
            log.write(json.dumps(record) + "\n")
        status, content = b"404", b"no answer"
        for path in (self.path, self.path.split("?")[0]):
            name = os.path.join(state, "answer" + path.replace("/", "|"))
            if os.path.exists(name):
                with open(name, "rb") as file:
                    status, content = file.read().split(b"\n", 1)
                break
        while status == b"never":
            time.sleep(3600)
        self.send_response(int(status))
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(content)))
        if status.startswith(b"3"):
            self.send_header("Location", "/")
        self.end_headers()
        self.wfile.write(content)

    do_POST = do_GET


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, address):
        # The handshake runs on the request's own thread; clients that refuse the certificate are dropped.
        try:
            super().finish_request(context.wrap_socket(request, server_side=True), address)
        except OSError:
            pass


server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
