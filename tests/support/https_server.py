#!/usr/bin/python3
"""A small HTTPS service on 127.0.0.1 for the web request tests.

Usage: https_server.py CERTIFICATE KEY STATE_DIRECTORY

Listens on a free port of 127.0.0.1 and prints that port on a line of its own
once it accepts connections. For every request it first appends one JSON line
to STATE_DIRECTORY/requests.jsonl:

    {"method": ..., "path": ... (with the query), "headers": [[name, value], ...],
     "body": the body's bytes in hex}

and then answers as STATE_DIRECTORY/answers.json says, read anew for every
request: an object from path (with the query, else without it) to

    {"status": 200, "contentType": "...", "bodyFile": "name in STATE_DIRECTORY",
     "headers": [[name, value], ...], "neverAnswer": false}

A path without an answer gets 404 with a plain-text body. With "neverAnswer"
the request is read and the connection held open, unanswered, until the
service ends. Request bodies sent with chunked transfer encoding are decoded.
The service runs until it is killed.
"""

import http.server
import json
import os
import socketserver
import ssl
import sys
import threading
import time


def main():
    certificate, key, state = sys.argv[1:4]
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(certificate, key)
    log_lock = threading.Lock()
    requests_file = os.path.join(state, "requests.jsonl")
    answers_file = os.path.join(state, "answers.json")

    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *arguments):
            pass

        def __getattr__(self, name):
            # Every method (GET, POST, PUT, ...) is served the same way.
            if name.startswith("do_"):
                return self.serve
            raise AttributeError(name)

        def read_body(self):
            if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
                body = b""
                while True:
                    size = int(self.rfile.readline().split(b";")[0].strip() or b"0", 16)
                    if size == 0:
                        while self.rfile.readline().strip():
                            pass
                        return body
                    body += self.rfile.read(size)
                    self.rfile.readline()
            length = self.headers.get("Content-Length")
            return self.rfile.read(int(length)) if length else b""

        def serve(self):
            body = self.read_body()
            record = {
                "method": self.command,
                "path": self.path,
                "headers": [[name, value] for name, value in self.headers.items()],
                "body": body.hex(),
            }
            with log_lock, open(requests_file, "a") as log:
                log.write(json.dumps(record) + "\n")

            answers = {}
            if os.path.exists(answers_file):
                with open(answers_file) as file:
                    answers = json.load(file)
            answer = answers.get(self.path) or answers.get(self.path.split("?", 1)[0])
            if answer is None:
                answer = {"status": 404, "contentType": "text/plain"}
                content = b"no answer for this path\n"
            else:
                content = b""
                if answer.get("bodyFile"):
                    with open(os.path.join(state, answer["bodyFile"]), "rb") as file:
                        content = file.read()
            if answer.get("neverAnswer"):
                while True:
                    time.sleep(3600)

            self.close_connection = True
            self.send_response(answer.get("status", 200))
            self.send_header("Content-Type", answer.get("contentType", "application/json"))
            self.send_header("Content-Length", str(len(content)))
            for name, value in answer.get("headers", []):
                self.send_header(name, value)
            self.send_header("Connection", "close")
            self.end_headers()
            self.wfile.write(content)

    class Server(http.server.ThreadingHTTPServer):
        daemon_threads = True

        def server_bind(self):
            # No reverse name lookup of the address, unlike HTTPServer's.
            socketserver.TCPServer.server_bind(self)
            self.server_name, self.server_port = self.server_address[:2]

        def finish_request(self, request, client_address):
            # The handshake runs on the request's own thread, so a client
            # that never completes one holds up nobody else.
            try:
                request = context.wrap_socket(request, server_side=True)
            except (ssl.SSLError, OSError):
                return
            self.RequestHandlerClass(request, client_address, self)

        def handle_error(self, request, client_address):
            # Clients that refuse the certificate or hang up early.
            pass

    server = Server(("127.0.0.1", 0), Handler)
    print(server.server_address[1], flush=True)
    server.serve_forever()


if __name__ == "__main__":
    main()
