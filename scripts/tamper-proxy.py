#!/usr/bin/env python3
"""Passes pinches on to a daemon and alters each answer's text on the way back.

The altered answer no longer matches the daemon's signature, so the window shows everything
at once: the red badge, the pinch id, the result row and the error line.

usage: tamper-proxy.py DAEMON_URL   (prints the proxy's own URL, then serves until killed)
"""
import http.server
import json
import sys
import urllib.request

daemon_url = sys.argv[1]


class Handler(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        body = self.rfile.read(int(self.headers.get("Content-Length", 0)))
        request = urllib.request.Request(
            daemon_url, data=body, headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request) as reply:
            answer = json.load(reply)
        answer["response"] += " (altered on the way)"
        data = json.dumps(answer).encode()
        self.send_response(200)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)

    def log_message(self, *args):
        pass


server = http.server.HTTPServer(("127.0.0.1", 0), Handler)
print(f"http://127.0.0.1:{server.server_port}/pinch", flush=True)
server.serve_forever()
