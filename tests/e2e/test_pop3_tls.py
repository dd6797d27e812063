"""The POP3 proxy reaching a real Dovecot over TLS: STLS on its POP3 port, POP3S on its
POP3S port, with certificates made for the run by `openssl req` (a test CA, a server
certificate for localhost and 127.0.0.1, one for another name).

The mail client (mpop, or a socket) talks to the proxy in clear on the loopback; the
proxy checks the server's certificate and name, and refuses with "-ERR" and the cause
whatever it cannot check. No certificate check is turned off anywhere: the proxy is
given the test CA as a file.

Run with /usr/bin/python3 -m unittest -v test_pop3_tls (from this folder), with
QUILLON_BIN and QUILLON_PROXY_HOST set (ctest does that).
"""

import base64
import os
import shutil
import socket
import socketserver
import subprocess
import tempfile
import threading
import unittest
from collections import Counter

import peers
from peers import HOST, HOST_NOTE, HELD_NOTE, MS_HOLD, Dovecot, ProxyHost, Quillon, mpop_fetch
from test_pop3_proxy import HELD_MESSAGES, HOLD_MARK, interleave, match_with_notes, proxied, short

OPENSSL = "/usr/bin/openssl"
MISSING = peers.missing_programs(peers.DOVECOT, peers.MPOP, OPENSSL)
MISSING += [f"${name}" for name in ("QUILLON_BIN", "QUILLON_PROXY_HOST")
            if not os.access(os.environ.get(name, ""), os.X_OK)]
SKIP_REASON = ("end-to-end peers or programs missing (" + ", ".join(MISSING) + "); "
               "install the peers with: make test-deps, and run through ctest")


def make_certificates(folder):
    """ca.pem, right.pem/right.key (localhost, 127.0.0.1) and other.pem/other.key
    (mail.example.org), the servers' signed by the CA. Throw-away keys of one run."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-days", "2"]
    requests = [
        ["-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=Quillon e2e CA"],
        ["-keyout", "right.key", "-out", "right.pem", "-subj", "/CN=localhost",
         "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
         "-CA", "ca.pem", "-CAkey", "ca.key"],
        ["-keyout", "other.key", "-out", "other.pem", "-subj", "/CN=mail.example.org",
         "-addext", "subjectAltName=DNS:mail.example.org",
         "-CA", "ca.pem", "-CAkey", "ca.key"],
    ]
    for request in requests:
        subprocess.run([OPENSSL, "req", "-x509", *key, *request], cwd=folder, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    # Dovecot's login processes read the files after dropping root.
    for name in os.listdir(folder):
        os.chmod(os.path.join(folder, name), 0o644)
    os.chmod(folder, 0o755)


def first_reply_to_user(proxy_port, login):
    """The proxy's reply to USER `login`, and whether it then closed the connection."""
    with socket.create_connection((HOST, proxy_port), timeout=30) as connection:
        reader = connection.makefile("rb")
        reader.readline()
        connection.sendall(f"USER {login}\r\n".encode())
        reply = reader.readline().decode("utf-8", "replace").rstrip("\r\n")
        closed = reply.startswith("-ERR") and reader.read() == b""
        return reply, closed


@unittest.skipIf(MISSING, SKIP_REASON)
class TLSProxyTest(unittest.TestCase):
    """Three Dovecots for the class: one with the right certificate (STLS and POP3S),
    one with a certificate for another name, one without TLS."""

    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="quillon-e2e-certs-")
        make_certificates(cls.certs)
        cls.ca = os.path.join(cls.certs, "ca.pem")
        cls.corpus = peers.corpus_messages()
        cls.servers = {}
        for name, tls in (("right", True), ("other", True), ("plain", False)):
            pair = (os.path.join(cls.certs, f"{name}.pem"),
                    os.path.join(cls.certs, f"{name}.key")) if tls else None
            cls.servers[name] = Dovecot(tls=pair)
            cls.servers[name].__enter__()
        cls.users = 0

    @classmethod
    def tearDownClass(cls):
        for server in cls.servers.values():
            server.__exit__(None, None, None)
        shutil.rmtree(cls.certs, ignore_errors=True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-e2e-tls-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.fetches = 0

    def new_user(self, server, messages):
        type(self).users += 1
        user, password = f"tls{self.users}", f"pw{self.users} secret"
        server.add_user(user, password)
        for _, message in messages:
            server.deliver(user, message)
        return user, password

    def host(self, accounts=(), hold=True, **options):
        host = ProxyHost(accounts=accounts, hold_subjects=[HOLD_MARK] if hold else [],
                         **options)
        host.__enter__()
        self.addCleanup(host.__exit__, None, None, None)
        return host

    def mpop(self, port, user, password, extra=(), context="", refused_with=None):
        """The messages mpop fetched; with `refused_with`, mpop must fail and show that
        reply of the proxy."""
        self.fetches += 1
        out = os.path.join(self.dir, f"mpop{self.fetches}")
        code, output = mpop_fetch(HOST, port, user, password, out, extra=extra)
        if refused_with is None:
            self.assertEqual(code, 0, f"{output}\n{context}")
        else:
            self.assertNotEqual(code, 0, f"{output}\n{context}")
            self.assertIn(refused_with, output)
        return peers.mpop_messages(out)

    def direct(self, port, mode, user, password):
        """What mpop fetches from the server itself over TLS, trusting the test CA."""
        extra = ["--tls=on", f"--tls-trust-file={self.ca}",
                 f"--tls-starttls={'on' if mode == 'stls' else 'off'}"]
        return self.mpop(port, user, password, extra)

    def test_stls_and_pop3s_accounts_fetch_what_a_direct_tls_fetch_gets(self):
        right = self.servers["right"]
        for mode, port in (("stls", right.port), ("pop3s", right.pop3s_port)):
            with self.subTest(mode=mode):
                user, password = self.new_user(right, self.corpus)
                direct = self.direct(port, mode, user, password)
                self.assertEqual(len(direct), len(self.corpus))
                # A filtered account: each message as the server sent it, plus the note.
                host = self.host([(user, HOST, port, "--tls", mode, "--tls-ca", self.ca)],
                                 hold=False)
                login = Quillon.login_name(user, HOST, port)
                through = self.mpop(host.pop3_port, login, password, context=host.output())
                missing, extra = match_with_notes(
                    [(str(i), m, HOST_NOTE) for i, m in enumerate(direct)], through)
                self.assertEqual(missing, [], f"left over: {short(extra)}")
                self.assertEqual(extra, [])
                # A server without an account is relayed byte for byte.
                relay = self.host(tls=mode, tls_ca=self.ca, hold=False)
                relayed = self.mpop(relay.pop3_port, login, password, context=relay.output())
                self.assertEqual(Counter(relayed), Counter(proxied(m) for m in direct))

    def test_what_cannot_be_checked_is_refused_with_its_cause(self):
        right, other, plain = (self.servers[n] for n in ("right", "other", "plain"))
        cases = [
            ("certificate for another name", other.pop3s_port, ("--tls", "pop3s"), True,
             "-ERR TLS with 127.0.0.1 failed: certificate not accepted: IP address mismatch"),
            ("CA not given", right.port, ("--tls", "stls"), False,
             "-ERR TLS with 127.0.0.1 failed: certificate not accepted: unable to get local "
             "issuer certificate"),
            ("CA not given, POP3S", right.pop3s_port, ("--tls", "pop3s"), False,
             "-ERR TLS with 127.0.0.1 failed: certificate not accepted"),
            ("server without STLS", plain.port, ("--tls", "stls"), True,
             "-ERR Server 127.0.0.1 does not offer STLS; not logging in without TLS"),
            ("server without STLS in clear by name", plain.port, ("--tls", "none"), True,
             "+OK"),
            ("POP3S to a port in clear", plain.port, ("--tls", "pop3s"), True,
             "-ERR TLS with 127.0.0.1 failed"),
            # The one way past the check: named for one account, and logged.
            ("insecure account", other.pop3s_port, ("--tls", "pop3s", "--tls-insecure"), False,
             "+OK"),
        ]
        for name, port, options, with_ca, expected in cases:
            with self.subTest(name):
                user, password = self.new_user(other if port == other.pop3s_port else
                                               right if port in (right.port, right.pop3s_port)
                                               else plain, self.corpus[:3])
                ca = ("--tls-ca", self.ca) if with_ca and "none" not in options else ()
                log = os.path.join(self.dir, f"proxy-{len(name)}-{port}.log")
                host = self.host([(user, HOST, port, *options, *ca)], hold=False, log_file=log)
                login = Quillon.login_name(user, HOST, port)
                reply, closed = first_reply_to_user(host.pop3_port, login)
                self.assertTrue(reply.startswith(expected), f"{reply}\n{host.output()}")
                self.assertEqual(closed, expected.startswith("-ERR"))
                # mpop shows the refusal and fetches nothing.
                refused = expected.startswith("-ERR")
                got = self.mpop(host.pop3_port, login, password, context=host.output(),
                                refused_with=expected if refused else None)
                self.assertEqual(len(got), 0 if refused else 3)
                with open(log, "rb") as f:
                    unchecked = b"Certificate of 127.0.0.1 is not checked" in f.read()
                self.assertEqual(unchecked, "--tls-insecure" in options)

    def test_held_mail_and_its_release_over_stls(self):
        right = self.servers["right"]
        messages = interleave(self.corpus[:12], HELD_MESSAGES)
        user, password = self.new_user(right, messages)
        host = self.host([(user, HOST, right.port, "--tls", "stls", "--tls-ca", self.ca)])
        login = Quillon.login_name(user, HOST, right.port)
        uidls = os.path.join(self.dir, "incremental.uidls")
        first = self.mpop(host.pop3_port, login, password,
                          extra=(f"--uidls-file={uidls}",), context=host.output())
        self.assertEqual(len(first), 12)
        self.assertFalse(any(b"secret" in m for m in first))
        held = [m for m in host.messages() if HOLD_MARK.encode() in m["subject"]]
        self.assertEqual({m["location"] for m in held}, {MS_HOLD})
        released = next(m for m in held if b"second" in m["subject"])
        host.release(released["uidl"])
        again = self.mpop(host.pop3_port, login, password,
                          extra=(f"--uidls-file={uidls}", "--only-new=on"),
                          context=host.output())
        missing, extra = match_with_notes([("released", HELD_MESSAGES[1][1], HELD_NOTE)], again)
        self.assertEqual((missing, extra), ([], []))


class ScriptedSASLServer(socketserver.ThreadingTCPServer):
    """A POP3 server in clear that takes one SASL log-in and serves one message. Every
    first response it gets (decoded) is kept in `responses`; it is accepted when
    `accept(mechanism, response)` says so."""

    daemon_threads = True
    allow_reuse_address = True
    MESSAGE = b"From: a@example.org\r\nSubject: scripted\r\n\r\nbody\r\n"

    def __init__(self, accept):
        self.accept = accept
        self.responses = []
        super().__init__((HOST, 0), ScriptedSASLHandler)
        self.port = self.server_address[1]
        threading.Thread(target=self.serve_forever, daemon=True).start()

    def stop(self):
        self.shutdown()
        self.server_close()


class ScriptedSASLHandler(socketserver.StreamRequestHandler):
    def send(self, line):
        self.wfile.write(line.encode() + b"\r\n")

    def take_response(self, mechanism, encoded):
        response = base64.b64decode(encoded) if encoded not in ("", "=") else b""
        self.server.responses.append((mechanism, response))
        ok = self.server.accept(mechanism, response)
        self.send("+OK logged in" if ok else "-ERR [AUTH] payload refused")
        return ok

    def handle(self):
        self.send("+OK scripted SASL server")
        logged_in = False
        message = self.server.MESSAGE
        for raw in self.rfile:
            words = raw.decode("latin-1").rstrip("\r\n").split(" ")
            command = words[0].upper()
            if command == "CAPA":
                self.send("+OK\r\nUSER\r\nSASL XOAUTH2 OAUTHBEARER PLAIN\r\nUIDL\r\n.")
            elif command == "AUTH" and not logged_in:
                if len(words) > 2:
                    logged_in = self.take_response(words[1].upper(), words[2])
                else:
                    self.send("+ ")
                    answer = self.rfile.readline().decode("latin-1").rstrip("\r\n")
                    logged_in = self.take_response(words[1].upper(), answer)
            elif command == "STAT" and logged_in:
                self.send(f"+OK 1 {len(message)}")
            elif command in ("UIDL", "LIST") and logged_in and len(words) == 1:
                entry = "uid-1" if command == "UIDL" else str(len(message))
                self.send(f"+OK\r\n1 {entry}\r\n.")
            elif command == "RETR" and logged_in:
                self.wfile.write(b"+OK\r\n" + message + b".\r\n")
            elif command == "QUIT":
                self.send("+OK bye")
                return
            else:
                self.send("-ERR not here")


@unittest.skipIf(MISSING, SKIP_REASON)
class SASLProxyTest(unittest.TestCase):
    """mpop logs in to the proxy with AUTH; the proxy takes the server from the user
    name and gives the server the user part."""

    TOKEN = "ya29.scripted-token-" + "x" * 300

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-e2e-sasl-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def proxy(self, **options):
        host = ProxyHost(hold_subjects=[], log_file=os.path.join(self.dir, "proxy.log"),
                         **options)
        host.__enter__()
        self.addCleanup(host.__exit__, None, None, None)
        return host

    def fetch(self, host, login, secret, auth):
        out = os.path.join(self.dir, f"mpop-{auth}")
        code, output = mpop_fetch(HOST, host.pop3_port, login, secret, out,
                                  extra=[f"--auth={auth}"])
        self.assertEqual(code, 0, f"{output}\n{host.output()}")
        return peers.mpop_messages(out)

    def test_oauth_payloads_reach_a_scripted_server_rewritten(self):
        expected = {
            "XOAUTH2": f"user=ann\x01auth=Bearer {self.TOKEN}\x01\x01".encode(),
        }

        def accept(mechanism, response):
            if mechanism == "OAUTHBEARER":
                header, _, pairs = response.partition(b"\x01")
                fields = dict(p.split(b"=", 1) for p in pairs.split(b"\x01") if p)
                return (header == b"n,a=ann," and
                        fields.get(b"auth") == f"Bearer {self.TOKEN}".encode() and
                        fields.get(b"host", b"127.0.0.1") == b"127.0.0.1" and
                        fields.get(b"port", str(server.port).encode()) ==
                        str(server.port).encode())
            return response == expected.get(mechanism)

        server = ScriptedSASLServer(accept)
        self.addCleanup(server.stop)
        host = self.proxy(tls="none")
        login = Quillon.login_name("ann", HOST, server.port)
        for auth in ("xoauth2", "oauthbearer"):
            with self.subTest(auth):
                got = self.fetch(host, login, self.TOKEN, auth)
                self.assertEqual(len(got), 1, server.responses)
                self.assertEqual(server.responses[-1][0], auth.upper())
        # Neither the token nor the user name the client gave reaches the log.
        with open(os.path.join(self.dir, "proxy.log"), "rb") as f:
            log = f.read()
        self.assertNotIn(b"scripted-token", log)
        self.assertNotIn(base64.b64encode(expected["XOAUTH2"])[:40], log)

    def test_auth_plain_from_mpop_reaches_dovecot_over_stls(self):
        certs = tempfile.mkdtemp(prefix="quillon-e2e-certs-", dir=self.dir)
        make_certificates(certs)
        messages = peers.corpus_messages()[:5]
        with Dovecot(tls=(os.path.join(certs, "right.pem"),
                          os.path.join(certs, "right.key"))) as dovecot:
            dovecot.add_user("plainuser", "plain secret")
            for _, message in messages:
                dovecot.deliver("plainuser", message)
            host = self.proxy(tls="stls", tls_ca=os.path.join(certs, "ca.pem"))
            login = Quillon.login_name("plainuser", HOST, dovecot.port)
            got = self.fetch(host, login, "plain secret", "plain")
            self.assertEqual(len(got), len(messages))
            self.assertIn("plainuser", dovecot.log())


if __name__ == "__main__":
    unittest.main()
