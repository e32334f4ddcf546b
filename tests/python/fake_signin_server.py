"""A loopback stand-in for the authorization server's token endpoints."""

import json
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer


class FakeSignInServer:
    """Answers POST /2.0/oauth/token and GET /2.0/oauth/token/<token>.

    Each reply is (status, body); a dict or list body is sent as JSON, bytes as is.
    Every request is recorded as (method, path, headers, body text) so tests can
    inspect it from their own thread.
    """

    def __init__(self, token_reply, info_reply, delay=0.0, trickle=0.0):
        self.replies = {"POST": token_reply, "GET": info_reply}
        self.delay = delay
        self.trickle = trickle  # seconds between the bytes of an answer
        self.requests = []
        self._release = threading.Event()
        self._server = ThreadingHTTPServer(("127.0.0.1", 0), _Handler)
        self._server.fake = self
        self._thread = threading.Thread(target=self._server.serve_forever, args=(0.05,))

    @property
    def host(self):
        return "127.0.0.1:%d" % self._server.server_address[1]

    def start(self):
        self._thread.start()
        return self

    def stop(self):
        self._release.set()  # lets a delayed handler finish at once
        self._server.shutdown()
        self._server.server_close()
        self._thread.join()

    def request(self, method):
        return next(r for r in self.requests if r[0] == method)

    def _answer(self, handler):
        length = int(handler.headers.get("Content-Length") or 0)
        body = handler.rfile.read(length).decode("utf-8")
        self.requests.append((handler.command, handler.path, handler.headers, body))
        if self.delay and self._release.wait(self.delay):
            return
        status, payload = self.replies[handler.command]
        if not isinstance(payload, bytes):
            payload = json.dumps(payload).encode("utf-8")
        if self.trickle:
            self._trickle(handler, status, payload)
            return
        handler.send_response(status)
        handler.send_header("Content-Type", "application/json")
        handler.send_header("Content-Length", str(len(payload)))
        handler.end_headers()
        handler.wfile.write(payload)

    def _trickle(self, handler, status, payload):
        answer = b"HTTP/1.1 %d OK\r\nContent-Length: %d\r\n\r\n" % (status, len(payload))
        for byte in answer + payload:
            if self._release.wait(self.trickle):
                return
            try:
                handler.wfile.write(bytes([byte]))
                handler.wfile.flush()
            except OSError:
                return


class _Handler(BaseHTTPRequestHandler):
    def do_POST(self):
        self.server.fake._answer(self)

    do_GET = do_POST

    def log_message(self, *args):
        pass
