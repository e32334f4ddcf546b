"""Resolve the PlayStation Network account ID of a freshly signed-in user.

After the OAuth 2.0 sign-in in the browser, the user pastes the address of the
redirect page.  getpsnid() takes the authorization code from that address,
exchanges it for an access token, asks the authorization server which user the
token belongs to, and returns the account ID: the base64 text of the 64-bit
user id in little-endian byte order.

The desktop program runs this module in an embedded interpreter, so it uses the
standard library only and reports every failure as a ResolverError whose message
can be shown to the user as is.
"""

import base64
import configparser
import errno
import functools
import http.client
import json
import logging
import math
import os
import re
import selectors
import socket
import ssl
import sys
import threading
import time
import urllib.error
import urllib.parse
import urllib.request
from dataclasses import dataclass
from pathlib import Path

__all__ = ["getpsnid", "ResolverError", "MissingCodeError", "ConfigError"]

log = logging.getLogger("corvane.psnid")

# One deadline for a whole resolve: name lookups, connects, TLS handshakes and
# every read of both requests together.
HTTP_TIMEOUT = 30.0
TIMEOUT_ENV = "CORVANE_HTTP_TIMEOUT"
TIMEOUT_KEY = "http_timeout"
# Set by the desktop program: its own deadline for the whole press is the
# setting, so the module finishes a little earlier to report the cause first.
# Messages still name the setting's value.
DEADLINE_ENV = "CORVANE_RESOLVER_DEADLINE"
MAX_ANSWER_BYTES = 1 << 20
# A redirect address is a few hundred characters; anything beyond this is not one.
MAX_PASTED_CHARS = 64 * 1024

DEFAULT_CLIENT_ID = "00000000-0000-4000-8000-00000000c0de"
CONFIG_DIR_ENV = "CORVANE_CONFIG_DIR"
# Set by the desktop program: it has read corvane.ini and the environment
# itself and put the effective values into the CORVANE_* variables, so this
# module must not read the file again. The value is the file's path.
GIVEN_SETTINGS_ENV = "CORVANE_SETTINGS_FILE"
CONFIG_FILE_NAME = "corvane.ini"
CONFIG_SECTION = "signin"
# (key in the [signin] section, environment variable that overrides it)
CONFIG_KEYS = (
    ("auth_host", "CORVANE_AUTH_HOST"),
    ("redirect_host", "CORVANE_REDIRECT_HOST"),
    ("client_id", "CORVANE_CLIENT_ID"),
    ("client_secret", "CORVANE_CLIENT_SECRET"),
)

# Where distributions keep the system's CA bundle. OpenSSL looks only where the
# machine it was built for keeps it, which a folder of the program carrying its
# own interpreter cannot rely on.
CA_BUNDLES = (
    "/etc/ssl/certs/ca-certificates.crt",  # Debian, Ubuntu, Arch, SteamOS
    "/etc/pki/tls/certs/ca-bundle.crt",  # Fedora, RHEL
    "/etc/ssl/ca-bundle.pem",  # openSUSE
    "/etc/ssl/cert.pem",  # Alpine, Void
)

TOKEN_PATH = "/2.0/oauth/token"
REDIRECT_PATH = "/remoteplay/redirect"

MISSING_CODE_MESSAGE = (
    "The pasted address has no authorization code; copy the whole address "
    "of the page you were redirected to."
)
TOO_LONG_MESSAGE = (
    "The pasted text is too long to be the address of the redirect page; copy "
    "only the address from the browser's address bar."
)
CLIENT_ID_PATTERN = re.compile(
    r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"
)
RETRY_SIGN_IN = "sign in again and paste the new address."
USER_ID_LIMIT = 2**64 - 1


class ResolverError(Exception):
    """Any failure to resolve the account ID; the message is meant for the user."""


class MissingCodeError(ResolverError, ValueError):
    """The pasted text carries no authorization code."""


class ConfigError(ResolverError, RuntimeError):
    """The sign-in configuration is missing or unusable."""


@dataclass(frozen=True)
class SignInConfig:
    source: Path
    auth_base: str  # scheme://host[:port]
    auth_host: str  # host[:port], for messages
    redirect_uri: str
    client_id: str
    client_secret: str
    timeout: float = HTTP_TIMEOUT

    def basic_authorization(self) -> str:
        # RFC 6749 2.3.1: both parts are form-urlencoded before base64.
        pair = "%s:%s" % (
            urllib.parse.quote_plus(self.client_id, safe=""),
            urllib.parse.quote_plus(self.client_secret, safe=""),
        )
        return "Basic " + base64.b64encode(pair.encode("utf-8")).decode("ascii")


def getpsnid(url: str) -> str:
    """Return the account ID of the user whose redirect address was pasted."""
    try:
        return _resolve(url)
    except ResolverError:
        raise
    except Exception as error:  # the embedded caller can only show a message
        log.exception("unexpected failure while resolving the account ID")
        raise ResolverError(
            "Resolving the account ID failed unexpectedly (%s: %s)."
            % (type(error).__name__, error)
        ) from error


def _resolve(url) -> str:
    code = extract_code(url)
    config = load_config()
    server = _AuthServer(config, _Deadline(_own_deadline(config.timeout)))
    private = {code: "[authorization code]", config.client_secret: "[client secret]"}
    try:
        access_token = _exchange_code(server, code)
        private[access_token] = "[access token]"
        user_id = _fetch_user_id(server, access_token)
    except ResolverError as error:
        # A server may echo what it was sent in its error text, which ends up
        # in a message box and the diagnostic log.
        raise type(error)(_masked(str(error), private)) from None
    log.debug("resolved user id from %s", config.auth_host)
    return account_id(user_id)


# Shorter values are not masked: replacing every "ab" would garble the text.
_MIN_MASKED_LENGTH = 4


def _masked(text: str, private: dict) -> str:
    for value in sorted(private, key=len, reverse=True):
        if len(value) >= _MIN_MASKED_LENGTH:
            text = text.replace(value, private[value])
    return text


def account_id(user_id: int) -> str:
    return base64.b64encode(user_id.to_bytes(8, "little")).decode("ascii")


# --- pasted address -------------------------------------------------------


def extract_code(pasted) -> str:
    """Find the code= value in a pasted address, query string or stray text."""
    if isinstance(pasted, bytes):
        pasted = pasted.decode("utf-8", errors="replace")
    if not isinstance(pasted, str):
        raise MissingCodeError(MISSING_CODE_MESSAGE)
    if len(pasted) > MAX_PASTED_CHARS:
        raise MissingCodeError(TOO_LONG_MESSAGE)
    # Users sometimes copy words around the address; the code never has spaces.
    for word in pasted.split():
        if "=" not in word:  # holds no query pair at all
            continue
        code = _code_in_word(word)
        if code:
            return code
    raise MissingCodeError(MISSING_CODE_MESSAGE)


def _code_in_word(word: str) -> str:
    try:
        parts = urllib.parse.urlsplit(word)
        candidates = [parts.query, parts.fragment]
        if not (parts.scheme or parts.netloc or parts.query):
            candidates.append(parts.path)  # a bare query string
    except ValueError:
        candidates = [word.lstrip("?")]
    for text in candidates:
        for value in urllib.parse.parse_qs(text).get("code", []):
            if value.strip():
                return value.strip()
    return ""


# --- configuration --------------------------------------------------------


def config_dir() -> Path:
    explicit = os.environ.get(CONFIG_DIR_ENV, "")
    if explicit:
        return Path(explicit).expanduser()
    if sys.platform == "win32":
        appdata = os.environ.get("APPDATA", "")
        base = Path(appdata) if appdata else Path.home() / "AppData" / "Roaming"
    else:
        xdg = os.environ.get("XDG_CONFIG_HOME", "")
        base = Path(xdg) if os.path.isabs(xdg) else Path.home() / ".config"
    return base / "Corvane"


def load_config() -> SignInConfig:
    given = os.environ.get(GIVEN_SETTINGS_ENV, "")
    path = Path(given) if given else config_dir() / CONFIG_FILE_NAME
    from_file = {} if given else _read_signin_section(path)
    values = {}
    for key, env in CONFIG_KEYS:
        values[key] = os.environ.get(env, "").strip() or from_file.get(key, "")
    values["client_id"] = values["client_id"] or DEFAULT_CLIENT_ID
    missing = [(key, env) for key, env in CONFIG_KEYS if not values[key]]
    if missing:
        wanted = "; ".join(
            "%s (or the environment variable %s)" % pair for pair in missing
        )
        raise ConfigError(
            "Sign-in is not configured. In section [%s] of %s set: %s."
            % (CONFIG_SECTION, path, wanted)
        )
    auth_base, auth_host = _host_base(values["auth_host"], "auth_host", path)
    redirect_base, _ = _host_base(values["redirect_host"], "redirect_host", path)
    if not CLIENT_ID_PATTERN.fullmatch(values["client_id"]):
        raise _bad_setting(
            "client_id", "is not an OAuth client id of the form "
            "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx (hexadecimal digits)", path)
    return SignInConfig(
        source=path,
        auth_base=auth_base,
        auth_host=auth_host,
        redirect_uri=redirect_base + REDIRECT_PATH,
        client_id=values["client_id"],
        client_secret=values["client_secret"],
        timeout=http_timeout(from_file.get(TIMEOUT_KEY, "")),
    )


def _read_signin_section(path: Path) -> dict:
    parser = configparser.ConfigParser(interpolation=None)
    try:
        with open(path, encoding="utf-8-sig") as ini:
            parser.read_file(ini)
    except FileNotFoundError:
        return {}
    except (OSError, UnicodeDecodeError, configparser.Error) as error:
        # The parser's own message quotes the offending line, which may hold
        # the client secret; only the line number is passed on.
        line = getattr(error, "lineno", None)
        where = " (line %d)" % line if isinstance(line, int) else ""
        raise ConfigError(
            "The configuration file %s could not be read%s; fix or remove it."
            % (path, where)
        ) from None
    if not parser.has_section(CONFIG_SECTION):
        return {}
    return {key: _unquote(value) for key, value in parser.items(CONFIG_SECTION)}


def _unquote(value: str) -> str:
    # Qt's settings writer wraps values containing separators in quotes.
    value = value.strip()
    if len(value) >= 2 and value[0] == value[-1] == '"':
        value = value[1:-1].strip()
    return value


_HOST_LABEL = re.compile(r"[A-Za-z0-9](?:[A-Za-z0-9-]*[A-Za-z0-9])?")
_IPV6 = re.compile(r"\[[0-9A-Fa-f:.]*:[0-9A-Fa-f:.]*\]")
_AUTHORITY = re.compile(r"(?P<host>\[[^\]]*\]|[^:\[\]]+)(?::(?P<port>[0-9]{1,5}))?")
_SCHEME = re.compile(r"(?P<scheme>[A-Za-z][A-Za-z0-9+.-]*)://")


def _is_host_name(host: str) -> bool:
    if _IPV6.fullmatch(host):
        return True
    labels = host.split(".")
    return len(host) <= 253 and all(_HOST_LABEL.fullmatch(label) for label in labels)


def _is_loopback(host: str) -> bool:
    host = host.lower()
    if host in ("localhost", "[::1]"):
        return True
    parts = host.split(".")
    return (len(parts) == 4 and parts[0] == "127"
            and all(p.isdigit() and len(p) <= 3 and int(p) <= 255 for p in parts))


def _host_base(value: str, key: str, path: Path):
    """Turn 'host', 'host:port' or 'http(s)://host[:port]' into a base URL.

    Plain http is accepted only for a server on this computer: anything else
    would carry the code, the client secret and the token in the clear.
    """
    text = value.rstrip("/")
    scheme = "https"
    prefix = _SCHEME.match(text)
    if prefix:
        scheme = prefix.group("scheme").lower()
        text = text[prefix.end():]
    match = _AUTHORITY.fullmatch(text)
    port = match.group("port") if match else None
    usable = (
        scheme in ("http", "https")
        and match is not None
        and _is_host_name(match.group("host"))
        and (port is None or 1 <= int(port) <= 65535)
    )
    if not usable:
        raise _bad_setting(key, "is not a host name, host:port or http(s)://host[:port]", path)
    if scheme == "http" and not _is_loopback(match.group("host")):
        raise _bad_setting(
            key, "uses plain http://, which is allowed only for a server on this "
            "computer (localhost, 127.0.0.0/8, ::1); use https://", path)
    return "%s://%s" % (scheme, text), text


def _bad_setting(key: str, problem: str, path: Path) -> ConfigError:
    # Names the key only: the value may be a secret put in the wrong place.
    env = dict(CONFIG_KEYS)[key]
    return ConfigError(
        "%s %s; fix it in section [%s] of %s or in the environment variable %s."
        % (key, problem, CONFIG_SECTION, path, env)
    )


def http_timeout(from_file: str = "") -> float:
    raw = os.environ.get(TIMEOUT_ENV, "").strip() or from_file
    if not raw:
        return float(HTTP_TIMEOUT)
    try:
        seconds = float(raw)
    except ValueError:
        seconds = math.nan
    if not (math.isfinite(seconds) and seconds > 0):
        raise ConfigError(
            "%s (or %s in section [%s]) must be a positive number of seconds."
            % (TIMEOUT_ENV, TIMEOUT_KEY, CONFIG_SECTION)
        )
    return seconds


def _own_deadline(setting: float) -> float:
    try:
        seconds = float(os.environ.get(DEADLINE_ENV, ""))
    except ValueError:
        return setting
    return seconds if math.isfinite(seconds) and 0 < seconds < setting else setting


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


# --- talking to the authorization server ----------------------------------


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


class _AuthServer:
    """Sends requests to the authorization host and turns failures into messages."""

    def __init__(self, config: SignInConfig, deadline: _Deadline):
        self.config = config
        self.host = config.auth_host
        self.deadline = deadline
        self._opener = urllib.request.build_opener(
            urllib.request.ProxyHandler(_proxies_for(config.auth_base)),
            _DeadlineHTTPHandler(deadline), _DeadlineHTTPSHandler(deadline), _RefuseRedirects()
        )

    def call(self, request, rejected: str) -> dict:
        """Return the JSON object of a 2xx answer; raise ResolverError otherwise."""
        request.add_header("Accept", "application/json")
        request.add_header("Authorization", self.config.basic_authorization())
        log.debug("%s %s", request.get_method(), self.host)
        status, body = self._send(request)
        log.debug("answer: HTTP %s, %d bytes", status, len(body))
        if 200 <= status < 300:
            answer = _json_object(body)
            if answer is None:
                raise _not_understood(self.host, "not a JSON object")
            return answer
        raise _status_error(status, _json_object(body) or {}, self.config, rejected)

    def _send(self, request):
        try:
            timeout = self.deadline.remaining()
            with self._opener.open(request, timeout=timeout) as response:
                return response.status, _read_limited(response)
        except urllib.error.HTTPError as error:
            with error:
                try:
                    return error.code, _read_limited(error)
                except TimeoutError as reason:
                    raise self._failed(reason) from reason
                except (OSError, http.client.HTTPException):
                    return error.code, b""
        except urllib.error.URLError as error:
            raise self._failed(error.reason) from error
        except (OSError, http.client.HTTPException) as error:
            raise self._failed(error) from error

    def _failed(self, reason) -> ResolverError:
        return _network_error(reason, self.host, self.config.timeout)


def _exchange_code(server: _AuthServer, code: str) -> str:
    form = urllib.parse.urlencode(
        {
            "grant_type": "authorization_code",
            "code": code,
            "redirect_uri": server.config.redirect_uri,
        }
    )
    request = urllib.request.Request(
        server.config.auth_base + TOKEN_PATH,
        data=form.encode("ascii"),
        method="POST",
        headers={"Content-Type": "application/x-www-form-urlencoded"},
    )
    answer = server.call(request, rejected="The sign-in code was rejected")
    token = answer.get("access_token")
    if not isinstance(token, str) or not token:
        raise _not_understood(server.host, "no access_token")
    return token


def _fetch_user_id(server: _AuthServer, access_token: str) -> int:
    token_segment = urllib.parse.quote(access_token, safe="")
    request = urllib.request.Request(
        "%s%s/%s" % (server.config.auth_base, TOKEN_PATH, token_segment),
        method="GET",
    )
    answer = server.call(request, rejected="The sign-in server refused the new token")
    return parse_user_id(answer.get("user_id"), server.host)


def parse_user_id(value, host: str) -> int:
    """Accept a decimal 64-bit unsigned number given as JSON string or number."""
    if isinstance(value, str) and re.fullmatch(r"[0-9]{1,20}", value):
        number = int(value)
    elif isinstance(value, int) and not isinstance(value, bool):
        number = value
    else:
        number = -1
    if not 0 <= number <= USER_ID_LIMIT:
        raise _not_understood(host, "user_id is missing or not a 64-bit unsigned number")
    return number


def _read_limited(response) -> bytes:
    # An oversized answer is cut off and then fails to parse as JSON.
    return response.read(MAX_ANSWER_BYTES)


def _json_object(body: bytes):
    try:
        answer = json.loads(body)
    except ValueError:  # includes JSONDecodeError and UnicodeDecodeError
        return None
    return answer if isinstance(answer, dict) else None


# --- messages -------------------------------------------------------------


def _status_error(status: int, answer: dict, config: SignInConfig, rejected: str):
    host = config.auth_host
    error = _printable(answer.get("error"))
    description = _printable(answer.get("error_description"))
    detail = "%s: %s" % (error, description) if error and description else error
    if error == "invalid_client":
        return ResolverError(
            "The sign-in server at %s rejected the client credentials (%s); check "
            "client_id and client_secret in section [%s] of %s or the environment "
            "variables CORVANE_CLIENT_ID and CORVANE_CLIENT_SECRET."
            % (host, detail, CONFIG_SECTION, config.source)
        )
    if status in (400, 401):
        return ResolverError(
            "%s (%s); %s" % (rejected, detail or "HTTP %d" % status, RETRY_SIGN_IN)
        )
    if status >= 500:
        return ResolverError(
            "The sign-in server at %s has a problem (HTTP %d); try again later."
            % (host, status)
        )
    return ResolverError(
        "The sign-in server at %s answered with unexpected HTTP status %d%s; try "
        "again later, and check auth_host if this keeps happening."
        % (host, status, " (%s)" % detail if detail else "")
    )


# Where the user fixes the address of the server the resolver talks to.
_AUTH_HOST_SETTING = "auth_host in corvane.ini [signin] (or CORVANE_AUTH_HOST)"


def _network_error(reason, host: str, timeout: float) -> ResolverError:
    if isinstance(reason, TimeoutError):
        return ResolverError(
            "The sign-in server at %s did not answer within %g seconds; check your "
            "network connection and try again." % (host, timeout)
        )
    if isinstance(reason, ssl.SSLCertVerificationError):
        return ResolverError(
            "The certificate of the sign-in server at %s could not be verified (%s); "
            "check auth_host and your system clock." % (host, reason.verify_message)
        )
    if isinstance(reason, http.client.HTTPException):
        return _not_understood(host, type(reason).__name__)
    if isinstance(reason, socket.gaierror):
        return ResolverError(
            "The sign-in host %s could not be found; check the setting %s."
            % (host, _AUTH_HOST_SETTING)
        )
    if isinstance(reason, ConnectionRefusedError):
        return ResolverError(
            "The sign-in server at %s refused the connection; check the host and port "
            "in the setting %s." % (host, _AUTH_HOST_SETTING)
        )
    return ResolverError(
        "The sign-in server at %s could not be reached (%s); check your network "
        "connection and try again." % (host, reason)
    )


def _not_understood(host: str, what: str) -> ResolverError:
    return ResolverError(
        "The answer of the sign-in server at %s was not understood (%s); try again "
        "later." % (host, what)
    )


def _printable(value, limit: int = 200) -> str:
    """Server-provided text, trimmed so it cannot flood or garble a message."""
    if not isinstance(value, str):
        return ""
    text = "".join(char if char.isprintable() else " " for char in value).strip()
    return text if len(text) <= limit else text[: limit - 1] + "\u2026"
