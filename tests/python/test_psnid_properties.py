"""Property tests of the resolver's parsers of outside input: the pasted
address, the [signin] section of corvane.ini and the sign-in server's
answers. Whatever they are given, the only exception is the resolver's own
ResolverError, and no error text holds the authorization code, the client
secret or the access token.

CORVANE_HYPOTHESIS_EXAMPLES sets how many inputs each property gets (default
200); the inputs are the same on every run unless CORVANE_HYPOTHESIS_RANDOM=1.
"""

import json
import os
import tempfile
import unittest
import urllib.parse
from pathlib import Path
from unittest import mock

# Hypothesis keeps a cache of Unicode tables; never in the source tree.
os.environ.setdefault("HYPOTHESIS_STORAGE_DIRECTORY",
                      os.path.join(tempfile.gettempdir(), "corvane-hypothesis"))

from hypothesis import HealthCheck, example, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402

import PSNID  # noqa: E402
import psnid_settings  # noqa: E402

SECRET = "p@ss:w rd-0451"
MASKS = ("[authorization code]", "[client secret]", "[access token]")

settings.register_profile(
    "corvane",
    max_examples=int(os.environ.get("CORVANE_HYPOTHESIS_EXAMPLES", "200")),
    deadline=None,
    database=None,  # nothing written into the source tree
    derandomize=os.environ.get("CORVANE_HYPOTHESIS_RANDOM") != "1",
    suppress_health_check=[HealthCheck.too_slow],
    print_blob=True,
)
settings.load_profile("corvane")

# Text as users and servers produce it: any character, with the characters
# that matter to the parsers drawn more often.
SYNTAX = st.sampled_from(list("=&?#:/[]%+; \t\r\n\"'\\") + ["code=", "://", "%5B", "\x00"])
TEXT = st.lists(st.one_of(st.characters(), SYNTAX), max_size=60).map("".join)
CODE = st.text(st.characters(blacklist_categories=("Zs", "Cc", "Zl", "Zp", "Cs")), min_size=1,
               max_size=40).filter(lambda code: code.strip() == code and not code.isspace())


def access_token(reply):
    """The access token a token reply hands out, if any."""
    if not 200 <= reply[0] < 300:
        return ""
    try:
        token = json.loads(reply[1]).get("access_token")
    except (ValueError, AttributeError):
        return ""
    return token if isinstance(token, str) else ""


def leaked(text, values):
    """The private values (long enough to be masked) that `text` shows."""
    return [v for v in values
            if len(v) >= 4 and v in text and not any(v in mask for mask in MASKS)]


class PropertyCase(unittest.TestCase):
    def setUp(self):
        config_dir = tempfile.TemporaryDirectory()
        self.addCleanup(config_dir.cleanup)
        self.ini = Path(config_dir.name) / psnid_settings.CONFIG_FILE_NAME
        env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
        env.update(CORVANE_CONFIG_DIR=config_dir.name, no_proxy="*", NO_PROXY="*")
        patcher = mock.patch.dict(os.environ, env, clear=True)
        patcher.start()
        self.addCleanup(patcher.stop)


class PastedAddressTest(PropertyCase):
    @given(st.one_of(TEXT, st.binary(max_size=80), st.text(max_size=200)))
    @example("https://[/remoteplay/redirect?code=abcd")
    @example("?code=%FF%FE&code=")
    def test_any_paste_finds_a_code_or_says_it_has_none(self, pasted):
        try:
            code = PSNID.extract_code(pasted)
        except PSNID.MissingCodeError as error:
            self.assertIn(str(error), (PSNID.MISSING_CODE_MESSAGE, PSNID.TOO_LONG_MESSAGE))
            return
        self.assertTrue(code)
        self.assertEqual(code, code.strip())

    @given(CODE, TEXT, st.sampled_from(["https://r.example.net/remoteplay/redirect?",
                                        "http://localhost:8080/r?state=1&", "?", "", "#"]))
    def test_the_code_of_an_address_is_found_as_sent(self, code, noise, prefix):
        pasted = "%s %scode=%s&cid=7" % (noise.split()[0] if noise.split() else "",
                                         prefix, urllib.parse.quote(code, safe=""))
        try:
            found = PSNID.extract_code(pasted)
        except PSNID.MissingCodeError:
            self.fail("no code found in %r" % pasted)
        if "code=" not in noise and "=" not in noise:
            self.assertEqual(found, code)


INI_LINE = st.one_of(
    TEXT,
    st.sampled_from(["[signin]", "[DEFAULT]", "[other]", "auth_host = https://auth.example.net",
                     "redirect_host = redirect.example.net", "client_secret = " + SECRET,
                     "client_secret: \"%s\"" % SECRET, "http_timeout = 5", "  continued",
                     "client_id = 0000000-bad", SECRET, "[" + SECRET + "]",
                     "auth_host = " + SECRET, "%s = x" % SECRET]),
)


class SignInSectionTest(PropertyCase):
    @given(st.lists(INI_LINE, max_size=12), st.sampled_from(["\n", "\r\n"]),
           st.sampled_from(["utf-8", "utf-8-sig", "latin-1"]))
    def test_any_configuration_loads_or_says_what_to_fix_without_the_secret(
            self, lines, newline, encoding):
        self.ini.write_bytes(newline.join(lines).encode(encoding, errors="replace"))
        try:
            config = psnid_settings.load_config()
        except PSNID.ResolverError as error:
            self.assertEqual(leaked(str(error), [SECRET]), [])
            return
        self.assertTrue(config.auth_base.startswith(("https://", "http://")))
        self.assertGreater(config.timeout, 0)


ANSWER_VALUE = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(), TEXT),
    lambda inner: st.one_of(st.lists(inner, max_size=3),
                            st.dictionaries(TEXT, inner, max_size=3)),
    max_leaves=8)
KEYS = st.sampled_from(["access_token", "user_id", "error", "error_description", "scopes"])


@st.composite
def answers(draw, code, token):
    """One server answer: (HTTP status, body), the body perhaps echoing what it was sent."""
    status = draw(st.sampled_from([200, 201, 204, 302, 400, 401, 403, 404, 429, 500, 503]))
    echo = st.sampled_from([code, token, SECRET, "code=" + code, "bad " + SECRET + " here"])
    members = draw(st.dictionaries(KEYS, st.one_of(ANSWER_VALUE, echo), max_size=4))
    kind = draw(st.sampled_from(["json", "json", "text", "bytes"]))
    if kind == "json":
        return status, json.dumps(members).encode()
    if kind == "text":
        return status, draw(TEXT).encode("utf-8", errors="surrogatepass")
    return status, draw(st.binary(max_size=40))


class ServerAnswerTest(PropertyCase):
    @given(st.data(), CODE, st.text(max_size=30))
    def test_any_answers_give_an_id_or_an_error_without_secrets(self, data, code, token):
        os.environ.update(CORVANE_AUTH_HOST="http://127.0.0.1:9",
                          CORVANE_REDIRECT_HOST="redirect.example.net",
                          CORVANE_CLIENT_SECRET=SECRET)
        token_reply = data.draw(answers(code, token))
        replies = iter([token_reply, data.draw(answers(code, token))])
        pasted = "https://r.example.net/r?code=" + urllib.parse.quote(code, safe="")
        with mock.patch.object(PSNID._AuthServer, "_send", lambda server, request: next(replies)):
            try:
                account_id = PSNID.getpsnid(pasted)
            except PSNID.ResolverError as error:
                self.assertEqual(leaked(str(error), [code, SECRET, access_token(token_reply)]), [], str(error))
                return
        self.assertEqual(len(account_id), 12)


if __name__ == "__main__":
    unittest.main()
