"""The sign-in settings of the account ID resolver: the [signin] section of
corvane.ini, the CORVANE_* variables that override it, and the errors every
part of the resolver reports with (their messages are shown to the user as is).
"""

import base64
import configparser
import math
import os
import re
import sys
import urllib.parse
from dataclasses import dataclass
from pathlib import Path

# One deadline for a whole resolve: name lookups, connects, TLS handshakes and
# every read of both requests together.
HTTP_TIMEOUT = 30.0
TIMEOUT_ENV = "CORVANE_HTTP_TIMEOUT"
TIMEOUT_KEY = "http_timeout"
# Set by the desktop program: its own deadline for the whole press is the
# setting, so the module finishes a little earlier to report the cause first.
# Messages still name the setting's value.
DEADLINE_ENV = "CORVANE_RESOLVER_DEADLINE"

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

REDIRECT_PATH = "/remoteplay/redirect"
CLIENT_ID_PATTERN = re.compile(
    r"[0-9a-fA-F]{8}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{4}-[0-9a-fA-F]{12}"
)


class ResolverError(Exception):
    """Any failure to resolve the account ID; the message is meant for the user."""


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
