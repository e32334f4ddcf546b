import base64
import os
import socket
import ssl
import tempfile
import threading
import time
import unittest
from pathlib import Path
from unittest import mock
from urllib.parse import parse_qs

import PSNID
import psnid_settings
import psnid_transport
from fake_signin_server import FakeSignInServer

SECRET = "p@ss:w rd"
TOKEN = "tok/en +x"
PASTED = "https://redirect.example.net/remoteplay/redirect?code=v3ryC0de&cid=7"
REDIRECT_URI = "https://redirect.example.net/remoteplay/redirect"


def info(user_id):
    return 200, {"user_id": user_id, "scopes": "psn:s2s"}


def basic(pair):
    return "Basic " + base64.b64encode(pair.encode()).decode()


class ResolverCase(unittest.TestCase):
    def setUp(self):
        config_dir = tempfile.TemporaryDirectory()
        self.addCleanup(config_dir.cleanup)
        self.ini = Path(config_dir.name) / "corvane.ini"
        env = {k: v for k, v in os.environ.items() if not k.startswith("CORVANE_")}
        env.update(CORVANE_CONFIG_DIR=config_dir.name, no_proxy="*", NO_PROXY="*")
        patcher = mock.patch.dict(os.environ, env, clear=True)
        patcher.start()
        self.addCleanup(patcher.stop)

    def serve(self, token_reply=(200, {"access_token": TOKEN}), info_reply=info("1"), delay=0.0,
              trickle=0.0):
        server = FakeSignInServer(token_reply, info_reply, delay, trickle).start()
        self.addCleanup(server.stop)
        os.environ.update(
            CORVANE_AUTH_HOST="http://" + server.host,
            CORVANE_REDIRECT_HOST="redirect.example.net",
            CORVANE_CLIENT_SECRET=SECRET,
        )
        return server

    def sent_form(self, server):
        return parse_qs(server.request("POST")[3])


class ExchangeTest(ResolverCase):
    def test_sends_standard_grant_and_returns_little_endian_id(self):
        server = self.serve(info_reply=info(str(0x0102030405060708)))
        self.assertEqual(PSNID.getpsnid(PASTED), "CAcGBQQDAgE=")  # 08 07 ... 01
        _, path, headers, _ = server.request("POST")
        self.assertEqual(path, "/2.0/oauth/token")
        self.assertEqual(headers["Content-Type"], "application/x-www-form-urlencoded")
        self.assertEqual(self.sent_form(server), {
            "grant_type": ["authorization_code"],
            "code": ["v3ryC0de"],
            "redirect_uri": [REDIRECT_URI],
        })
        _, info_path, info_headers, _ = server.request("GET")
        self.assertEqual(info_path, "/2.0/oauth/token/tok%2Fen%20%2Bx")
        expected = basic("00000000-0000-4000-8000-00000000c0de:p%40ss%3Aw+rd")
        self.assertEqual(headers["Authorization"], expected)
        self.assertEqual(info_headers["Authorization"], expected)

    def test_loopback_server_is_reached_without_the_users_proxy(self):
        # The proxy would see the secret and the code in the clear. It refuses
        # connections here, so a request sent through it fails.
        closed = socket.socket()
        closed.bind(("127.0.0.1", 0))
        self.addCleanup(closed.close)
        proxy = "http://127.0.0.1:%d" % closed.getsockname()[1]
        for name in ("no_proxy", "NO_PROXY"):
            os.environ.pop(name, None)
        os.environ.update(http_proxy=proxy, HTTP_PROXY=proxy, https_proxy=proxy,
                          all_proxy=proxy)
        server = self.serve()
        self.assertEqual(PSNID.getpsnid(PASTED), "AQAAAAAAAAA=")
        self.assertIsNotNone(server.request("POST"))
        for base in ("http://localhost:8765", "https://127.0.0.1", "http://[::1]:80"):
            self.assertEqual(psnid_transport._proxies_for(base), {}, base)
        # A server elsewhere is https, through the user's https proxy.
        self.assertEqual(psnid_transport._proxies_for("https://auth.example.net").get("https"), proxy)
        self.assertNotIn("http", psnid_transport._proxies_for("https://auth.example.net"))

    def test_user_id_range_and_forms(self):
        server = self.serve()
        top = "//////////8="
        good = {"1": "AQAAAAAAAAA=", 1: "AQAAAAAAAAA=", 0: "AAAAAAAAAAA=",
                "18446744073709551615": top, 2**64 - 1: top}
        for user_id, expected in good.items():
            with self.subTest(user_id=user_id):
                server.replies["GET"] = info(user_id)
                self.assertEqual(PSNID.getpsnid(PASTED), expected)
        for user_id in (-1, "-1", "0x10", "1.5", 1.5, " 1", "\u0663", True, None,
                        2**64, str(2**64), "9" * 5000):
            with self.subTest(user_id=user_id):
                server.replies["GET"] = info(user_id)
                with self.assertRaisesRegex(PSNID.ResolverError, "not understood.*user_id"):
                    PSNID.getpsnid(PASTED)


class FailureMessageTest(ResolverCase):
    def test_server_answers_become_actionable_messages(self):
        cases = [
            ((400, {"error": "invalid_grant", "error_description": "Code expired"}), info("1"),
             r"^The sign-in code was rejected \(invalid_grant: Code expired\); "
             r"sign in again and paste the new address\.$"),
            ((401, {"error": "invalid_client"}), info("1"), "client_secret.*CORVANE_CLIENT_SECRET"),
            ((500, b"oops"), info("1"), r"127\.0\.0\.1:\d+ has a problem \(HTTP 500\); try again later"),
            ((200, b"<html>"), info("1"), "not understood"),
            ((200, {"token_type": "bearer"}), info("1"), r"not understood \(no access_token\)"),
            ((200, {"access_token": TOKEN}), (200, {"scopes": "x"}), "not understood.*user_id"),
        ]
        for token_reply, info_reply, message in cases:
            with self.subTest(message=message):
                self.serve(token_reply, info_reply)
                with self.assertRaisesRegex(PSNID.ResolverError, message):
                    PSNID.getpsnid(PASTED)

    def test_echoed_code_token_and_secret_are_masked(self):
        # What the server was sent comes back in its error text, which reaches
        # a message box and the diagnostic log.
        first = "got v3ryC0de with %s" % SECRET
        second = "got %s and v3ryC0de" % TOKEN
        cases = [
            ((400, {"error": "invalid_grant", "error_description": first}), info("1"),
             "got [authorization code] with [client secret]"),
            ((200, {"access_token": TOKEN}), (401, {"error": second}),
             "got [access token] and [authorization code]"),
        ]
        for token_reply, info_reply, masked in cases:
            with self.subTest(masked=masked):
                self.serve(token_reply, info_reply)
                with self.assertRaises(PSNID.ResolverError) as raised:
                    PSNID.getpsnid(PASTED)
                message = str(raised.exception)
                self.assertIn(masked, message)
                for private in ("v3ryC0de", TOKEN, SECRET):
                    self.assertNotIn(private, message)

    def test_slow_server_reports_timeout(self):
        self.serve(delay=60)
        overrides = [mock.patch.object(psnid_settings, "HTTP_TIMEOUT", 0.2),
                     mock.patch.dict(os.environ, {"CORVANE_HTTP_TIMEOUT": "0.3"})]
        for override, seconds in zip(overrides, ("0.2", "0.3")):
            with self.subTest(seconds=seconds), override:
                with self.assertRaisesRegex(
                        PSNID.ResolverError, r"127\.0\.0\.1:\d+ did not answer within %s seconds" % seconds):
                    PSNID.getpsnid(PASTED)

    def test_one_deadline_covers_lookup_and_a_trickling_answer(self):
        # Each byte arrives well within any per-read timeout; only a deadline
        # for the whole exchange ends it (the full answer would take minutes).
        self.serve(trickle=0.1, token_reply=(200, {"access_token": "x" * 2000}))
        os.environ["CORVANE_HTTP_TIMEOUT"] = "1"
        started = time.monotonic()
        with self.assertRaisesRegex(PSNID.ResolverError, r"did not answer within 1 seconds"):
            PSNID.getpsnid(PASTED)
        self.assertLess(time.monotonic() - started, 10)

        release = threading.Event()
        self.addCleanup(release.set)

        def hanging_lookup(*args, **kwargs):
            release.wait(60)
            raise OSError("released")

        with mock.patch.object(socket, "getaddrinfo", hanging_lookup):
            started = time.monotonic()
            with self.assertRaisesRegex(PSNID.ResolverError, r"did not answer within 1 seconds"):
                PSNID.getpsnid(PASTED)
            self.assertLess(time.monotonic() - started, 10)
            # The hung lookup is left behind; it must not keep the interpreter
            # from shutting down.
            lookups = [t for t in threading.enumerate() if t.name == "corvane-name-lookup"]
            self.assertTrue(lookups)
            self.assertTrue(all(t.daemon for t in lookups))

    def test_message_names_the_configured_timeout_not_the_own_deadline(self):
        self.serve(delay=60)
        os.environ.update(CORVANE_HTTP_TIMEOUT="3", CORVANE_RESOLVER_DEADLINE="0.4")
        started = time.monotonic()
        with self.assertRaisesRegex(PSNID.ResolverError, r"did not answer within 3 seconds"):
            PSNID.getpsnid(PASTED)
        self.assertLess(time.monotonic() - started, 2.5)

    def test_next_address_is_tried_when_the_first_does_not_connect(self):
        server = self.serve()
        real_port = int(server.host.rsplit(":", 1)[1])
        # A listener whose queue is full drops further connection requests
        # without an answer, as a network that loses one address family does.
        silent = socket.socket()
        self.addCleanup(silent.close)
        silent.bind(("127.0.0.1", 0))
        silent.listen(0)
        silent_port = silent.getsockname()[1]
        for _ in range(3):
            filler = socket.socket()
            self.addCleanup(filler.close)
            filler.setblocking(False)
            filler.connect_ex(("127.0.0.1", silent_port))
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            refused_port = probe.getsockname()[1]

        def entry(port):
            return (socket.AF_INET, socket.SOCK_STREAM, socket.IPPROTO_TCP, "", ("127.0.0.1", port))

        os.environ["CORVANE_HTTP_TIMEOUT"] = "4"
        cases = {"silent first": [entry(silent_port), entry(real_port)],
                 "refused first": [entry(refused_port), entry(real_port)],
                 "two silent first": [entry(silent_port), entry(silent_port), entry(real_port)]}
        for name, addresses in cases.items():
            with self.subTest(name), \
                    mock.patch.object(socket, "getaddrinfo", lambda *a, **k: list(addresses)):
                started = time.monotonic()
                self.assertEqual(PSNID.getpsnid(PASTED), "AQAAAAAAAAA=")
                self.assertLess(time.monotonic() - started, 3.5)
        with mock.patch.object(socket, "getaddrinfo", lambda *a, **k: [entry(silent_port)]):
            with self.assertRaisesRegex(PSNID.ResolverError, r"did not answer within 4 seconds"):
                PSNID.getpsnid(PASTED)

    def test_ca_store_is_found_where_the_distribution_keeps_it(self):
        # A bundled OpenSSL knows only the build machine's place for it.
        self.serve()
        with tempfile.TemporaryDirectory() as folder:
            fedora_bundle = os.path.join(folder, "ca-bundle.crt")
            Path(fedora_bundle).touch()
            nowhere = ssl.DefaultVerifyPaths(None, None, "", "", "", "")
            with mock.patch.object(ssl, "get_default_verify_paths", lambda: nowhere):
                with mock.patch.object(psnid_transport, "CA_BUNDLES", (folder + "/none.crt", fedora_bundle)):
                    self.assertEqual(psnid_transport._ca_store(), {"cafile": fedora_bundle})
                with mock.patch.object(psnid_transport, "CA_BUNDLES", (folder + "/none.crt",)):
                    os.environ["CORVANE_AUTH_HOST"] = "https://auth.example.net"
                    with self.assertRaisesRegex(
                            PSNID.ResolverError,
                            r"^No CA certificates .*none\.crt.*auth\.example\.net cannot be verified"):
                        PSNID.getpsnid(PASTED)

    def test_unreachable_server_names_host(self):
        self.serve()
        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            dead = "127.0.0.1:%d" % probe.getsockname()[1]
        os.environ["CORVANE_AUTH_HOST"] = "http://" + dead
        with self.assertRaisesRegex(
                PSNID.ResolverError, "%s refused the connection.*auth_host.*CORVANE_AUTH_HOST" % dead):
            PSNID.getpsnid(PASTED)

        def unknown_name(*args, **kwargs):
            raise socket.gaierror(socket.EAI_NONAME, "Name or service not known")

        os.environ["CORVANE_AUTH_HOST"] = "https://auth.invalid"
        with mock.patch.object(socket, "getaddrinfo", unknown_name):
            with self.assertRaisesRegex(
                    PSNID.ResolverError, "host auth.invalid could not be found.*auth_host"):
                PSNID.getpsnid(PASTED)

        def no_idna_codec(*args, **kwargs):
            raise LookupError("unknown encoding: idna")

        with mock.patch.object(socket, "getaddrinfo", no_idna_codec):
            with self.assertRaisesRegex(PSNID.ResolverError, r"LookupError: unknown encoding"):
                PSNID.getpsnid(PASTED)


class PastedTextTest(ResolverCase):
    def test_code_is_found_and_kept_intact(self):
        server = self.serve()
        pastes = {
            "  %s \n" % PASTED: "v3ryC0de",
            "code=v3ryC0de&state=x": "v3ryC0de",
            "?state=1&code=v3ryC0de#section": "v3ryC0de",
            "é %s?state=€&code=Ab-C_1.2~3 €" % REDIRECT_URI: "Ab-C_1.2~3",
            "%s?state=%%E2%%82%%AC&code=%%C3%%A9t%%C3%%A9" % REDIRECT_URI: "été",
        }
        for pasted, code in pastes.items():
            with self.subTest(pasted=pasted):
                server.requests.clear()
                PSNID.getpsnid(pasted)
                self.assertEqual(self.sent_form(server)["code"], [code])

    def test_missing_code_asks_for_whole_address(self):
        server = self.serve()
        for pasted in ("", "  ", REDIRECT_URI + "?state=x", REDIRECT_URI + "?code=&a=1", "hello"):
            with self.subTest(pasted=pasted):
                with self.assertRaisesRegex(ValueError, "no authorization code; copy the whole address"):
                    PSNID.getpsnid(pasted)
        self.assertEqual(server.requests, [])


class ConfigurationTest(ResolverCase):
    def test_missing_or_malformed_settings_are_named(self):
        with self.assertRaises(RuntimeError) as caught:
            PSNID.getpsnid(PASTED)
        message = str(caught.exception)
        for part in ("[signin]", str(self.ini), "auth_host (or the environment variable CORVANE_AUTH_HOST)",
                     "redirect_host", "CORVANE_REDIRECT_HOST", "client_secret", "CORVANE_CLIENT_SECRET"):
            self.assertIn(part, message)
        self.assertNotIn("client_id", message)  # has a default
        self.serve()
        os.environ["CORVANE_AUTH_HOST"] = "https://auth.example.net/some/path"
        with self.assertRaisesRegex(RuntimeError, "auth_host .*CORVANE_AUTH_HOST"):
            PSNID.getpsnid(PASTED)

    def test_ini_file_supplies_settings_and_environment_wins(self):
        server = self.serve()
        self.ini.write_text(
            "[signin]\nauth_host = http://%s/\nredirect_host = http://localhost:8765\n"
            'client_id = 11111111-2222-3333-4444-55555555aaaa\nclient_secret = "file secret"\n' % server.host, encoding="utf-8")
        for key in ("CORVANE_AUTH_HOST", "CORVANE_REDIRECT_HOST", "CORVANE_CLIENT_SECRET"):
            del os.environ[key]
        PSNID.getpsnid(PASTED)
        self.assertEqual(self.sent_form(server)["redirect_uri"], ["http://localhost:8765/remoteplay/redirect"])
        self.assertEqual(server.request("POST")[2]["Authorization"], basic("11111111-2222-3333-4444-55555555aaaa:file+secret"))

        server.requests.clear()
        os.environ.update(CORVANE_CLIENT_ID="aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", CORVANE_REDIRECT_HOST="redirect.example.net")
        PSNID.getpsnid(PASTED)
        self.assertEqual(self.sent_form(server)["redirect_uri"], [REDIRECT_URI])
        self.assertEqual(server.request("POST")[2]["Authorization"], basic("aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee:file+secret"))

    def test_settings_are_checked_and_never_quoted(self):
        self.serve()
        secret = "s3cr3t-value"
        refused = {
            "auth_host": ["a&b.example.net", "a=b.example.net", "a%41.example.net",
                          "https://a.example.net/x", "user@a.example.net", "a.example.net:0",
                          "a.example.net:70000", "ftp://a.example.net", "a b", "[::1",
                          "http://auth.example.net", "http://10.0.0.1:80", "http://127.example"],
            "client_id": ["file-id", "00000000-0000-4000-8000-00000000c0d",
                          "0000000000-00-4000-8000-00000000c0de", "g0000000-0000-4000-8000-00000000c0de"],
        }
        for key, values in refused.items():
            for value in values:
                with self.subTest(key=key, value=value):
                    os.environ["CORVANE_" + key.upper()] = value + secret
                    with self.assertRaisesRegex(PSNID.ConfigError, "^%s .*CORVANE_%s" % (key, key.upper())) as caught:
                        PSNID.getpsnid(PASTED)
                    self.assertNotIn(secret, str(caught.exception))
            self.serve()
            os.environ["CORVANE_CLIENT_ID"] = "00000000-0000-4000-8000-00000000C0DE"
        for host in ("http://localhost:1", "http://127.1.2.3", "http://[::1]:8080", "a-b.example.net:443",
                     "HTTPS://auth.example.net/", "[2001:db8::1]"):
            with self.subTest(host=host):
                self.assertEqual(psnid_settings._host_base(host, "auth_host", self.ini)[1],
                                 host.split("://")[-1].rstrip("/"))
        for text in ("client_secret = %s\n[signin]\n" % secret, "[signin]\n%s\n" % secret,
                     "[signin]\nclient_secret = a\nclient_secret = %s\n" % secret):
            with self.subTest(ini=text):
                os.environ.pop("CORVANE_CLIENT_ID", None)
                self.ini.write_text(text, encoding="utf-8")
                with self.assertRaisesRegex(PSNID.ConfigError, "could not be read") as caught:
                    PSNID.getpsnid(PASTED)
                self.assertNotIn(secret, str(caught.exception))

    def test_settings_given_by_the_program_are_used_as_they_are(self):
        server = self.serve()
        self.ini.write_text("broken line before any section\n", encoding="utf-8")
        os.environ.update(CORVANE_SETTINGS_FILE=str(self.ini), CORVANE_CLIENT_SECRET="")
        with self.assertRaisesRegex(PSNID.ConfigError, r"client_secret \(or the environment variable"):
            PSNID.getpsnid(PASTED)
        os.environ["CORVANE_CLIENT_SECRET"] = SECRET
        self.assertEqual(PSNID.getpsnid(PASTED), "AQAAAAAAAAA=")
        self.assertEqual(len(server.requests), 2)

    @unittest.skipIf(os.name == "nt", "XDG locations apply outside Windows")
    def test_config_dir_follows_xdg(self):
        del os.environ["CORVANE_CONFIG_DIR"]
        os.environ["XDG_CONFIG_HOME"] = "/srv/conf"
        self.assertEqual(psnid_settings.config_dir(), Path("/srv/conf/Corvane"))


if __name__ == "__main__":
    unittest.main()
