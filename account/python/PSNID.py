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
import http.client
import json
import logging
import re
import socket
import ssl
import urllib.error
import urllib.parse
import urllib.request

from psnid_settings import (
    CONFIG_SECTION,
    ConfigError,
    ResolverError,
    SignInConfig,
    _own_deadline,
    load_config,
)
from psnid_transport import _Deadline, build_opener

__all__ = ["getpsnid", "ResolverError", "MissingCodeError", "ConfigError"]

log = logging.getLogger("corvane.psnid")

MAX_ANSWER_BYTES = 1 << 20
# A redirect address is a few hundred characters; anything beyond this is not one.
MAX_PASTED_CHARS = 64 * 1024
TOKEN_PATH = "/2.0/oauth/token"

MISSING_CODE_MESSAGE = (
    "The pasted address has no authorization code; copy the whole address "
    "of the page you were redirected to."
)
TOO_LONG_MESSAGE = (
    "The pasted text is too long to be the address of the redirect page; copy "
    "only the address from the browser's address bar."
)
RETRY_SIGN_IN = "sign in again and paste the new address."
USER_ID_LIMIT = 2**64 - 1


class MissingCodeError(ResolverError, ValueError):
    """The pasted text carries no authorization code."""


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


# --- talking to the authorization server ----------------------------------


class _AuthServer:
    """Sends requests to the authorization host and turns failures into messages."""

    def __init__(self, config: SignInConfig, deadline: _Deadline):
        self.config = config
        self.host = config.auth_host
        self.deadline = deadline
        self._opener = build_opener(config.auth_base, deadline)

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
