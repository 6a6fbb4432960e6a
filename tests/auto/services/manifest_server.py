#!/usr/bin/env python3
"""Update manifests over HTTP on 127.0.0.1, for the update check tests.

GET /<id>/version.json answers with ROOT/<id>/body and the status in ROOT/<id>/status
(200 when absent). The status "hang" accepts the request and never answers; "endless"
sends the body and then spaces without end. Prints "port N" once listening,
"request PATH" for each request and "closed ID" when a client gives up on a hanging or
endless reply.
"""
import http.server
import os
import sys
import threading

ROOT = sys.argv[1]
lock = threading.Lock()


def say(line):
    with lock:
        print(line, flush=True)


def read(folder, name, default):
    try:
        with open(os.path.join(ROOT, folder, name), "rb") as f:
            return f.read()
    except OSError:
        return default


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        say("request " + self.path)
        app, _, rest = self.path[1:].partition("/")
        if rest != "version.json" or app.startswith("."):
            self.send_error(404)
            return
        body, status = read(app, "body", b""), read(app, "status", b"200").decode()
        self.close_connection = True
        try:
            if status == "hang":
                while self.connection.recv(4096):
                    pass
            elif status == "endless":
                self.send_response(200)
                self.send_header("Connection", "close")
                self.end_headers()
                self.wfile.write(body)
                while True:
                    self.wfile.write(b" " * 65536)
            else:
                self.send_response(int(status))
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                self.close_connection = False
                return
        except OSError:
            pass
        say("closed " + app)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
say("port %d" % server.server_address[1])
server.serve_forever()
