#!/usr/bin/env python3
"""Webhook receiver for the channel tests, on 127.0.0.1 only.

Answers the first --fail-first requests with --fail-status (or a redirect to
--redirect), then 200 with a short text; --silent reads each request and never
answers; --chunked answers in chunks and keeps the connection. Every request is appended to --record as one JSON line (path, headers,
body). --cert/--key serve over TLS. Prints "ready" once it listens.
"""
import argparse
import http.server
import json
import ssl
import time

parser = argparse.ArgumentParser()
parser.add_argument("--port", type=int, required=True)
parser.add_argument("--record", required=True)
parser.add_argument("--fail-first", type=int, default=0)
parser.add_argument("--fail-status", type=int, default=503)
parser.add_argument("--redirect", default="")
parser.add_argument("--silent", action="store_true")
parser.add_argument("--chunked", action="store_true")  # chunked answer, connection kept open
parser.add_argument("--cert")
parser.add_argument("--key")
args = parser.parse_args()
seen = 0


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"

    def do_POST(self):
        global seen
        body = self.rfile.read(int(self.headers.get("Content-Length", "0")))
        with open(args.record, "a") as record:
            record.write(json.dumps({"path": self.path, "headers": dict(self.headers),
                                     "body": body.decode("utf-8", "replace")}) + "\n")
        seen += 1
        if args.silent:
            time.sleep(600)
            return
        if args.chunked:
            self.send_response(200)
            self.send_header("Transfer-Encoding", "chunked")
            self.end_headers()
            self.wfile.write(b"6\r\nstored\r\n0\r\n\r\n")
            self.wfile.flush()
            self.close_connection = False  # whatever the client asked for
            return
        if args.redirect:
            self.answer(302, "moved\n", [("Location", args.redirect)])
        elif seen <= args.fail_first:
            self.answer(args.fail_status, "try later\nattempt %d\n" % seen)
        else:
            self.answer(200, "stored\nevent %d\n" % seen)

    def answer(self, status, text, headers=()):
        data = text.encode()
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("Connection", "close")
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *unused):
        pass


server = http.server.HTTPServer(("127.0.0.1", args.port), Handler)
if args.cert:
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    server.socket = context.wrap_socket(server.socket, server_side=True)
print("ready", flush=True)
server.serve_forever()
