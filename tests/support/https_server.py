#!/usr/bin/python3
# SPDX-License-Identifier: Apache-2.0
# A small HTTPS service on 127.0.0.1: https_server.py DIRECTORY NAME STATE, with the certificate DIRECTORY/NAME.pem
# for 127.0.0.1 (self-signed, made with its key NAME.key unless there). Prints its port once it listens. Each
# request is appended as a JSON line to STATE/requests.jsonl, then answered from the file STATE/answer<path> ('/'
# written '|'), with the query, else without: its first line is the status, or "never" to hold the connection
# unanswered; the rest is the body. Paths without an answer get 404. Each connection accepted is a line of
# STATE/connections.
import http.server, json, os, ssl, subprocess, sys, threading, time

directory, name, state = sys.argv[1:4]
certificate = os.path.join(directory, name)
if not os.path.exists(certificate + ".pem"):
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                    "-days", "2", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                    certificate + ".key", "-out", certificate + ".pem"], check=True, capture_output=True)
context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
context.load_cert_chain(certificate + ".pem", certificate + ".key")
lock = threading.Lock()


class Handler(http.server.BaseHTTPRequestHandler):
    log_message = lambda self, *arguments: None  # noqa: E731

    def do_GET(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0))).decode()
        headers = {name.lower(): value for name, value in self.headers.items()}
        with lock, open(os.path.join(state, "requests.jsonl"), "a") as log:
            log.write(json.dumps({"method": self.command, "path": self.path, "headers": headers, "body": body}) + "\n")
        status, content = b"404", b"no answer"
        for path in (self.path, self.path.split("?")[0]):
            if os.path.exists(name := os.path.join(state, "answer" + path.replace("/", "|"))):
                with open(name, "rb") as file:
                    status, content = file.read().split(b"\n", 1)
                break
        while status == b"never":
            time.sleep(3600)
        self.send_response(int(status))
        self.send_header("Content-Length", str(len(content)))
        if status.startswith(b"3"):
            self.send_header("Location", "/")
        self.end_headers()
        self.wfile.write(content)

    do_POST = do_GET


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def finish_request(self, request, address):  # the handshake on the request's own thread
        with lock, open(os.path.join(state, "connections"), "a") as log:
            log.write("%s:%d\n" % address[:2])
        try:
            super().finish_request(context.wrap_socket(request, server_side=True), address)
        except OSError:  # a client that refused the certificate
            pass


server = Server(("127.0.0.1", 0), Handler)
print(server.server_address[1], flush=True)
server.serve_forever()
