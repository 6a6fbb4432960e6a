#!/usr/bin/env python3
"""Update manifests over HTTP on 127.0.0.1: GET /<id>/version.json answers ROOT/<id>/body
with the status in ROOT/<id>/status, where "hang" never answers. Prints "port N",
"request PATH" for each request and "closed ID" when a client gives up on a hanging reply."""
import http.server
import os
import sys


def say(line):
    os.write(1, (line + "\n").encode())  # one write: whole lines from any thread


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def log_message(self, *args):
        pass

    def do_GET(self):
        say("request " + self.path)
        app = self.path.split("/")[1]
        try:
            body = open(f"{sys.argv[1]}/{app}/body", "rb").read()
            status = open(f"{sys.argv[1]}/{app}/status").read()
        except OSError:
            return self.send_error(404)
        try:
            if status == "hang":
                while self.connection.recv(4096):
                    pass
            else:
                self.send_response(int(status))
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)
                return
        except OSError:
            pass
        self.close_connection = True
        say("closed " + app)


server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
say("port %d" % server.server_address[1])
server.serve_forever()
