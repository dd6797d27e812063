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

import os
import shutil
import socket
import subprocess
import tempfile
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
        ]
        for name, port, options, with_ca, expected in cases:
            with self.subTest(name):
                user, password = self.new_user(other if port == other.pop3s_port else
                                               right if port in (right.port, right.pop3s_port)
                                               else plain, self.corpus[:3])
                ca = ("--tls-ca", self.ca) if with_ca and "none" not in options else ()
                host = self.host([(user, HOST, port, *options, *ca)], hold=False)
                login = Quillon.login_name(user, HOST, port)
                reply, closed = first_reply_to_user(host.pop3_port, login)
                self.assertTrue(reply.startswith(expected), f"{reply}\n{host.output()}")
                self.assertEqual(closed, expected.startswith("-ERR"))
                # mpop shows the refusal and fetches nothing.
                refused = expected.startswith("-ERR")
                got = self.mpop(host.pop3_port, login, password, context=host.output(),
                                refused_with=expected if refused else None)
                self.assertEqual(len(got), 0 if refused else 3)

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


if __name__ == "__main__":
    unittest.main()
