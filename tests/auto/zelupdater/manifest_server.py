#!/usr/bin/env python3
"""A manifest server for the update check tests, on loopback only.

Serves GET /<id>/version.json from ROOT/<id>/:
  body     the reply body (default empty)
  status   the HTTP status code (default 200)
  type     the content type (default application/json)
  hang     present: accept the request and never answer
  endless  present: answer 200 with body, then spaces without end
Prints "port N" once listening, then "request PATH" for each request and "closed ID" when
a client gives up on a hanging or endless reply.
"""
import http.server
import os
import socket
import sys
import threading

ROOT = sys.argv[1]
print_lock = threading.Lock()


def say(line):
    with print_lock:
        print(line, flush=True)


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def read_file(self, folder, name, default=None):
        try:
            with open(os.path.join(folder, name), "rb") as f:
                return f.read()
        except FileNotFoundError:
            return default

    def do_GET(self):
        say("request " + self.path)
        parts = self.path.strip("/").split("/")
        if len(parts) != 2 or parts[1] != "version.json" or "." in parts[0]:
            self.send_error(404)
            return
        app = parts[0]
        folder = os.path.join(ROOT, app)
        body = self.read_file(folder, "body", b"")
        if os.path.exists(os.path.join(folder, "hang")):
            self.wait_for_close(app)
            return
        if os.path.exists(os.path.join(folder, "endless")):
            self.send_response(200)
            self.send_header("Content-Type", "application/json")
            self.send_header("Connection", "close")
            self.end_headers()
            try:
                self.wfile.write(body)
                chunk = b" " * 65536
                while True:
                    self.wfile.write(chunk)
            except (BrokenPipeError, ConnectionResetError):
                say("closed " + app)
            self.close_connection = True
            return
        status = int(self.read_file(folder, "status", b"200"))
        kind = self.read_file(folder, "type", b"application/json").decode()
        self.send_response(status)
        self.send_header("Content-Type", kind)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def wait_for_close(self, app):
        self.connection.settimeout(None)
        try:
            while self.connection.recv(4096):
                pass
        except OSError:
            pass
        say("closed " + app)
        self.close_connection = True


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    address_family = socket.AF_INET


def main():
    server = Server(("127.0.0.1", 0), Handler)
    say("port %d" % server.server_address[1])
    server.serve_forever()


if __name__ == "__main__":
    main()
