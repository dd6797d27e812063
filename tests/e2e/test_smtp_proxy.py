"""The SMTP proxy end to end: msmtp and swaks send through quillon --headless to a real
SMTP server (aiosmtpd with STARTTLS on a certificate made for the run and AUTH PLAIN and
LOGIN). Messages arrive without the program's "X-Quillon-" headers and otherwise as a
direct send delivers them; the addressees of accepted mail become friends or offers;
refused addressees and refused messages teach nothing; the server sees the real user
name; a server certificate for another name is refused; a client without AUTH reaches
the SMTP server registered with the account.

Run with /usr/bin/python3 -m unittest -v test_smtp_proxy (from this folder), with
QUILLON_BIN set (ctest does that).
"""

import os
import shutil
import subprocess
import tempfile
import time
import unittest

import peers
import smtp_sink
from peers import HOST, Quillon
from test_pop3_tls import OPENSSL, make_certificates

MSMTP = "/usr/bin/msmtp"
SWAKS = "/usr/bin/swaks"
MISSING = peers.missing_programs(MSMTP, SWAKS, OPENSSL)
if not smtp_sink.available():
    MISSING.append("python3-aiosmtpd")
if not os.access(os.environ.get("QUILLON_BIN", ""), os.X_OK):
    MISSING.append("$QUILLON_BIN")
SKIP_REASON = ("end-to-end peers or programs missing (" + ", ".join(MISSING) + "); "
               "install the peers with: make test-deps, and run through ctest")

SETTINGS_KEY = "Software\\Brevant\\Quillon\\Settings"
ME = "me@home.example"
OWN_HEADERS = (b"X-Quillon-Analysis: nice: few addressees\r\n"
               b"X-Quillon-Note: folded over\r\n\ttwo lines\r\n")
WAIT = 20


def message(to, subject):
    return (f"From: {ME}\r\nTo: {to}\r\nSubject: {subject}\r\n"
            f"Date: Mon, 07 Dec 2026 10:00:00 +0000\r\n\r\nHello.\r\n.starts with a dot\r\n"
            ).encode()


def with_own_headers(data):
    """`data` with the proxy's own header fields in front (a first header line may be
    folded itself)."""
    return OWN_HEADERS + data


def corpus_sample(count):
    """`count` real messages of the corpus, with CR LF line ends."""
    sample = []
    for _, data in peers.corpus_messages():
        data = data.replace(b"\r\n", b"\n")
        if b"\n\n" not in data or max(len(line) for line in data.split(b"\n")) > 900:
            continue
        sample.append(data.replace(b"\n", b"\r\n"))
        if len(sample) == count:
            break
    return sample


def msmtp(port, recipients, data, user=None, password=None, auth="plain", tls_ca=None):
    """msmtp in clear (to the proxy), or with STARTTLS checked against `tls_ca`."""
    tls = ["--tls=off"] if tls_ca is None else ["--tls=on", "--tls-starttls=on",
                                                f"--tls-trust-file={tls_ca}"]
    argv = [MSMTP, f"--host={HOST}", f"--port={port}", f"--from={ME}", *tls,
            "--set-from-header=off", "--set-date-header=off", "--set-msgid-header=off"]
    if user is None:
        argv.append("--auth=off")
    else:
        argv += [f"--auth={auth}", f"--user={user}", f"--passwordeval=echo {password}"]
    result = subprocess.run(argv + ["--", *recipients], input=data, capture_output=True,
                            timeout=60)
    return result.returncode, (result.stdout + result.stderr).decode(errors="replace")


def swaks(port, to, data_file, sender=ME, user=None, password=None, auth="LOGIN"):
    argv = [SWAKS, "--server", HOST, "--port", str(port), "--from", sender, "--to", to,
            "--data", "@" + data_file, "-S"]
    if user is not None:
        argv += ["--auth", auth, "--auth-user", user, "--auth-password", password]
    result = subprocess.run(argv, capture_output=True, timeout=60)
    return result.returncode, (result.stdout + result.stderr).decode(errors="replace")


@unittest.skipIf(MISSING, SKIP_REASON)
class SMTPProxyTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.certs = tempfile.mkdtemp(prefix="quillon-e2e-smtp-certs-")
        make_certificates(cls.certs)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.certs, True)

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-e2e-smtp-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def cert(self, name):
        return (os.path.join(self.certs, name + ".pem"), os.path.join(self.certs, name + ".key"))

    def sink(self, cert="right", **options):
        sink = smtp_sink.SMTPSink(tls=self.cert(cert), **options)
        sink.__enter__()
        self.addCleanup(sink.__exit__, None, None, None)
        return sink

    def proxy(self, ask, accounts=(), smtp=None):
        """quillon --headless on free ports, STARTTLS to the server required and checked
        against the run's CA; `smtp` the SMTP server of the accounts."""
        self.log = os.path.join(self.dir, "proxy.log")
        program = Quillon(tls="stls", tls_ca=os.path.join(self.certs, "ca.pem"), smtp_port=0,
                          direct_listener=False, log_file=self.log,
                          settings={SETTINGS_KEY: {"Ask before add addressees to Friends":
                                                   int(ask)}})
        program.__enter__()
        self.addCleanup(program.__exit__, None, None, None)
        for user, host, port in accounts:
            program.add_account(user, host, port, "--tls", "stls", "--smtp", smtp)
        marker = "SMTP proxy listening on 127.0.0.1:"
        output = program.wait_output(marker)
        self.port = int(output.split(marker)[1].split()[0])
        self.program = program
        return program

    def quillon(self, *args, expect_code=0):
        code, output = peers._run([self.program.binary, *args], env=self.program._env(),
                                  timeout=60)
        self.assertEqual(code, expect_code, f"quillon {' '.join(args)}:\n{output}")
        return output

    def friends(self):
        return {line.split("\t")[0] for line in self.quillon("--list-friends").splitlines()}

    def offers(self):
        return [line.split("\t") for line in self.quillon("--list-offers").splitlines()]

    def wait_for(self, condition, what):
        deadline = time.monotonic() + WAIT
        while not condition():
            if time.monotonic() > deadline:
                self.fail(f"{what} within {WAIT} s:\n{self.program.output()}")
            time.sleep(0.05)

    def log_text(self):
        with open(self.log, errors="replace") as f:
            return f.read()

    def test_own_headers_are_removed_and_addressees_become_friends(self):
        sink = self.sink(users={"ann": "pw one"})
        self.proxy(ask=False)
        login = f"ann/{HOST}:{sink.port}"
        sent = [message("bob@x.example", "minutes")] + corpus_sample(4)
        for data in sent:
            code, output = msmtp(sink.port, ["direct@x.example"], data, "ann", "pw one",
                                 tls_ca=os.path.join(self.certs, "ca.pem"))
            self.assertEqual(code, 0, output)
            code, output = msmtp(self.port, ["bob@x.example", "Cy@X.example"],
                                 with_own_headers(data), login, "pw one")
            self.assertEqual(code, 0, output)
        taken = sink.taken()
        self.assertEqual(len(taken), 2 * len(sent))
        for direct, proxied in zip(taken[0::2], taken[1::2]):
            self.assertEqual(proxied.data, direct.data)
            self.assertNotIn(b"X-Quillon-", proxied.data)
            self.assertEqual(proxied.login, "ann")
            self.assertEqual(proxied.recipients, ["bob@x.example", "Cy@X.example"])
        self.assertEqual({m for m, _, ok in sink.logins}, {"PLAIN"})

        self.wait_for(lambda: {"bob@x.example", "cy@x.example"} <= {
            f.lower() for f in self.friends()}, "the addressees became friends")
        self.assertEqual(self.offers(), [])
        self.wait_for(lambda: 'Add "bob@x.example" as new friend from sent mail!'
                      in self.log_text(), "the log names the new friend")

        # AUTH LOGIN from swaks, to a friend now: nothing new, and the log says so.
        data_file = os.path.join(self.dir, "again.eml")
        with open(data_file, "wb") as f:
            f.write(with_own_headers(message("bob@x.example", "again")))
        code, output = swaks(self.port, "bob@x.example", data_file, user=login,
                             password="pw one")
        self.assertEqual(code, 0, output)
        self.assertEqual(sink.logins[-1], ("LOGIN", "ann", True))
        self.assertEqual(sink.taken()[-1].login, "ann")
        self.assertNotIn(b"X-Quillon-", sink.taken()[-1].data)

        # A wrong password reaches the server as it is and is refused there.
        code, output = msmtp(self.port, ["dee@x.example"], message("dee@x.example", "x"),
                             login, "wrong")
        self.assertNotEqual(code, 0, output)
        self.assertEqual(sink.logins[-1], ("PLAIN", "ann", False))

    def test_asked_addressees_wait_as_offers_until_accepted(self):
        sink = self.sink(users={"ann": "pw"})
        self.proxy(ask=True)
        login = f"ann/{HOST}:{sink.port}"
        long_subject = "a subject of fifty-one characters, one too many!!!!"
        self.assertEqual(len(long_subject), 51)
        for to, subject in (("eve@x.example", long_subject), ("fay@x.example", "lunch"),
                            ("fay@x.example", "lunch again")):
            code, output = msmtp(self.port, [to], message(to, subject), login, "pw")
            self.assertEqual(code, 0, output)
        self.wait_for(lambda: len(self.offers()) == 2 and self.offers()[1][1] == "2",
                      "both addressees were offered")
        self.assertEqual(self.offers(), [["eve@x.example", "1", long_subject[:47] + "..."],
                                         ["fay@x.example", "2", "lunch again"]])
        self.assertFalse({"eve@x.example", "fay@x.example"} & self.friends())

        output = self.quillon("--accept-offer", "EVE@x.example", "nobody@x.example",
                              expect_code=1)
        self.assertIn('Add "eve@x.example" as new friend from sent mail!', output)
        self.assertIn("no offer for nobody@x.example", output)
        self.quillon("--reject-offer", "fay@x.example")
        self.assertEqual(self.offers(), [])
        self.assertIn("eve@x.example", self.friends())
        self.assertNotIn("fay@x.example", self.friends())

    def test_refused_addressees_and_refused_messages_teach_nothing(self):
        sink = self.sink(users={"ann": "pw"}, refuse_rcpt=["gone@x.example"],
                         refuse_data=["spam@x.example"])
        self.proxy(ask=False)
        login = f"ann/{HOST}:{sink.port}"
        code, output = msmtp(self.port, ["gone@x.example"], message("gone@x.example", "r"),
                             login, "pw")
        self.assertNotEqual(code, 0, output)
        self.assertIn("550", output)
        data_file = os.path.join(self.dir, "spam.eml")
        with open(data_file, "wb") as f:
            f.write(message("spam@x.example", "d"))
        code, output = swaks(self.port, "spam@x.example", data_file, user=login, password="pw",
                             auth="PLAIN")
        self.assertNotEqual(code, 0, output)
        self.assertIn("554", output)
        # One refused addressee beside an accepted one: only the accepted one is learned.
        with open(data_file, "wb") as f:
            f.write(message("lee@x.example", "two"))
        code, output = swaks(self.port, "gone@x.example,lee@x.example", data_file, user=login,
                             password="pw", auth="PLAIN")
        self.assertIn("550", output)
        self.wait_for(lambda: "lee@x.example" in self.friends(), "the accepted one was learned")
        self.assertNotIn("gone@x.example", self.friends())
        # A message the server takes afterwards is learned: the refused ones came first.
        code, output = msmtp(self.port, ["kim@x.example"], message("kim@x.example", "k"),
                             login, "pw")
        self.assertEqual(code, 0, output)
        self.wait_for(lambda: "kim@x.example" in self.friends(), "the accepted one was learned")
        self.assertFalse({"gone@x.example", "spam@x.example"} & self.friends())
        self.assertEqual(len(sink.taken()), 2)

    def test_server_certificate_for_another_name_is_refused(self):
        sink = self.sink(cert="other", users={"ann": "pw"})
        self.proxy(ask=False)
        code, output = msmtp(self.port, ["lou@x.example"], message("lou@x.example", "t"),
                             f"ann/{HOST}:{sink.port}", "pw")
        self.assertNotEqual(code, 0, output)
        self.assertIn("454 4.7.0 TLS with", output, "the proxy's own TLS failure reply")
        self.assertEqual(sink.taken(), [])
        self.assertEqual(sink.logins, [], "no password went to that server")
        # The right server afterwards: its addressee is learned, the refused one is not.
        right = self.sink(users={"ann": "pw"})
        code, output = msmtp(self.port, ["mo@x.example"], message("mo@x.example", "t"),
                             f"ann/{HOST}:{right.port}", "pw")
        self.assertEqual(code, 0, output)
        self.wait_for(lambda: "mo@x.example" in self.friends(), "the accepted one was learned")
        self.assertNotIn("lou@x.example", self.friends())

    def test_client_without_auth_reaches_the_accounts_smtp_server(self):
        sink = self.sink()
        self.proxy(ask=False, accounts=[("ann", HOST, 110)], smtp=f"{HOST}:{sink.port}")
        self.assertIn(f"SMTP {HOST} port {sink.port}", self.quillon("--list-accounts"))
        data_file = os.path.join(self.dir, "plain.eml")
        with open(data_file, "wb") as f:
            f.write(with_own_headers(message("max@x.example", "no auth")))
        code, output = swaks(self.port, "max@x.example", data_file, sender="ann@home.example")
        self.assertEqual(code, 0, output)
        taken = sink.taken()
        self.assertEqual(len(taken), 1)
        self.assertEqual(taken[0].sender, "ann@home.example")
        self.assertIsNone(taken[0].login)
        self.assertNotIn(b"X-Quillon-", taken[0].data)
        self.wait_for(lambda: "max@x.example" in self.friends(), "the addressee was learned")


if __name__ == "__main__":
    unittest.main()
