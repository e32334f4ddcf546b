"""HTTP for the account ID resolver with one deadline for everything a resolve
does: name lookups, connects (several addresses raced), TLS handshakes and
every read. Redirects are refused; the CA store is found wherever the
distribution keeps it.
"""

import errno
import functools
import http.client
import os
import selectors
import socket
import ssl
import threading
import time
import urllib.parse
import urllib.request

from psnid_settings import ResolverError, _is_loopback

# Where distributions keep the system's CA bundle. OpenSSL looks only where the
# machine it was built for keeps it, which a folder of the program carrying its
# own interpreter cannot rely on.
CA_BUNDLES = (
    "/etc/ssl/certs/ca-certificates.crt",  # Debian, Ubuntu, Arch, SteamOS
    "/etc/pki/tls/certs/ca-bundle.crt",  # Fedora, RHEL
    "/etc/ssl/ca-bundle.pem",  # openSUSE
    "/etc/ssl/cert.pem",  # Alpine, Void
)


class _Deadline:
    """The moment by which the whole resolve must be done."""

    def __init__(self, seconds: float):
        self.seconds = seconds
        self._end = time.monotonic() + seconds

    def remaining(self) -> float:
        left = self._end - time.monotonic()
        if left <= 0:
            raise TimeoutError("the deadline has passed")
        return left


class _RefuseRedirects(urllib.request.HTTPRedirectHandler):
    # Following a redirect would resend the client credentials to another place.
    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None


class _DeadlineSocketMixin:
    """Waits in every send and receive only as long as the deadline allows, so
    a server that trickles its answer byte by byte cannot stretch it."""

    deadline = None

    def _arm(self):
        if self.deadline is not None:
            self.settimeout(self.deadline.remaining())

    def recv_into(self, *args, **kwargs):
        self._arm()
        return super().recv_into(*args, **kwargs)

    def recv(self, *args, **kwargs):
        self._arm()
        return super().recv(*args, **kwargs)

    def sendall(self, *args, **kwargs):
        self._arm()
        return super().sendall(*args, **kwargs)

    def do_handshake(self, *args, **kwargs):
        self._arm()
        return super().do_handshake(*args, **kwargs)


class _DeadlineSocket(_DeadlineSocketMixin, socket.socket):
    pass


class _DeadlineSSLSocket(_DeadlineSocketMixin, ssl.SSLSocket):
    pass


def _lookup(host: str, port: int, deadline: _Deadline):
    """getaddrinfo() has no timeout of its own, so it runs on a helper thread
    that is waited for only until the deadline. The thread is a daemon: a
    lookup that hangs past the deadline is left behind and cannot hold up the
    interpreter's shutdown."""
    found = {}

    def look_up():
        try:
            found["addresses"] = socket.getaddrinfo(host, port, 0, socket.SOCK_STREAM)
        except Exception as error:  # raised where the caller waits, whatever it is
            found["error"] = error

    helper = threading.Thread(target=look_up, name="corvane-name-lookup", daemon=True)
    helper.start()
    helper.join(deadline.remaining())
    if helper.is_alive():
        raise TimeoutError("name lookup of %s" % host)
    if "error" in found:
        raise found["error"]
    return found["addresses"]


# How long one connection attempt has to itself before the next address is
# tried beside it (the connection attempt delay browsers use): a network that
# silently drops one address family then costs this much, not the deadline.
CONNECT_STAGGER = 0.25
_CONNECT_PENDING = {errno.EINPROGRESS, errno.EWOULDBLOCK, errno.EAGAIN, 10035}  # 10035: WSAEWOULDBLOCK


def _interleaved(addresses):
    """The lookup's addresses with the families taking turns, first family first."""
    by_family = {}
    for entry in addresses:
        by_family.setdefault(entry[0], []).append(entry)
    queues = list(by_family.values())
    ordered = []
    while queues:
        for queue in list(queues):
            ordered.append(queue.pop(0))
            if not queue:
                queues.remove(queue)
    return ordered


def _connect(address, deadline: _Deadline) -> socket.socket:
    host, port = address
    addresses = _interleaved(_lookup(host, port, deadline))
    if not addresses:
        raise OSError("no address found for %s" % host)
    return _connect_first(addresses, deadline)


def _connect_first(addresses, deadline: _Deadline) -> socket.socket:
    """Connect to the first address that answers. The next address is tried
    when an attempt fails, or when it has not answered within CONNECT_STAGGER;
    earlier attempts go on meanwhile, all within the one deadline."""
    waiting = list(addresses)
    attempts = selectors.DefaultSelector()
    failure = None
    next_start = 0.0
    try:
        while waiting or attempts.get_map():
            now = time.monotonic()
            if waiting and (not attempts.get_map() or now >= next_start):
                family, kind, proto, _, target = waiting.pop(0)
                sock = _DeadlineSocket(family, kind, proto)
                sock.setblocking(False)
                code = sock.connect_ex(target)
                if code == 0:
                    return _connected(sock, deadline)
                if code in _CONNECT_PENDING:
                    attempts.register(sock, selectors.EVENT_WRITE)
                    next_start = now + CONNECT_STAGGER
                else:
                    sock.close()
                    failure = OSError(code, os.strerror(code))
                continue
            wait = deadline.remaining()
            if waiting:
                wait = min(wait, max(0.0, next_start - now))
            for key, _ in attempts.select(wait):
                sock = key.fileobj
                attempts.unregister(sock)
                code = sock.getsockopt(socket.SOL_SOCKET, socket.SO_ERROR)
                if code == 0:
                    return _connected(sock, deadline)
                sock.close()
                failure = OSError(code, os.strerror(code))
                next_start = 0.0  # a refused attempt makes way for the next at once
        raise failure
    finally:
        for key in list(attempts.get_map().values()):
            key.fileobj.close()
        attempts.close()


def _connected(sock: socket.socket, deadline: _Deadline) -> socket.socket:
    sock.deadline = deadline
    try:
        sock.settimeout(deadline.remaining())
    except TimeoutError:
        sock.close()
        raise
    return sock


class _DeadlineConnectionMixin:
    def __init__(self, *args, deadline: _Deadline, **kwargs):
        super().__init__(*args, **kwargs)
        self._deadline = deadline
        self._create_connection = self._open_socket

    def _open_socket(self, address, timeout=None, source_address=None):
        return _connect(address, self._deadline)


class _DeadlineHTTPConnection(_DeadlineConnectionMixin, http.client.HTTPConnection):
    pass


class _DeadlineHTTPSConnection(_DeadlineConnectionMixin, http.client.HTTPSConnection):
    pass


class _DeadlineHTTPHandler(urllib.request.HTTPHandler):
    def __init__(self, deadline: _Deadline):
        super().__init__()
        self._deadline = deadline

    def http_open(self, req):
        return self.do_open(functools.partial(_DeadlineHTTPConnection, deadline=self._deadline), req)


def _ca_store():
    """The keyword arguments naming the CA certificates to verify servers with
    (SSL_CERT_FILE first), or None when this computer has none."""
    defaults = ssl.get_default_verify_paths()  # a path only where it exists
    for path in (defaults.cafile,) + CA_BUNDLES:
        if path and os.path.isfile(path):
            return {"cafile": path}
    if defaults.capath:
        return {"capath": defaults.capath}
    return None


class _DeadlineHTTPSHandler(urllib.request.HTTPSHandler):
    def __init__(self, deadline: _Deadline):
        self._ca_store = _ca_store()
        context = ssl.create_default_context(**(self._ca_store or {}))
        # Every TLS socket of this context carries the deadline from its handshake on.
        context.sslsocket_class = type(
            "_ResolveSSLSocket", (_DeadlineSSLSocket,), {"deadline": deadline})
        super().__init__(context=context)
        self._deadline = deadline

    def https_open(self, req):
        if self._ca_store is None:
            raise ResolverError(
                "No CA certificates were found on this computer (looked for %s), so the "
                "sign-in server at %s cannot be verified; install your system's "
                "ca-certificates package." % (", ".join(CA_BUNDLES), req.host))
        return self.do_open(functools.partial(_DeadlineHTTPSConnection, deadline=self._deadline),
                            req, context=self._context)


def _proxies_for(base: str) -> dict:
    """The proxies the requests to `base` (scheme://host[:port]) go through.

    A server on this computer is reached directly: a proxy would see the code,
    the client secret and the token, in the clear over plain http. Any other
    server is https only, and the user's https proxy (and no_proxy) apply.
    """
    host = urllib.parse.urlsplit(base).hostname or ""
    if _is_loopback(host) or _is_loopback("[%s]" % host):
        return {}
    proxies = urllib.request.getproxies()
    proxies.pop("http", None)  # plain http only ever goes to this computer
    return proxies


def build_opener(base: str, deadline: _Deadline):
    """An opener for the requests to `base` (scheme://host[:port]) that keeps
    `deadline` and follows no redirect."""
    return urllib.request.build_opener(
        urllib.request.ProxyHandler(_proxies_for(base)),
        _DeadlineHTTPHandler(deadline), _DeadlineHTTPSHandler(deadline), _RefuseRedirects()
    )
