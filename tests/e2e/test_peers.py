"""The end-to-end harness against the real peers, without the proxy: the real mail
corpus goes into Dovecot's Maildir and comes out of mpop and fetchmail byte for byte as
same_message() says. Later end-to-end tests put the proxy between the two and rely on
what is proved here.

Run with /usr/bin/python3 -m unittest -v test_peers (from this folder).
"""

import os
import shutil
import subprocess
import tempfile
import unittest
from collections import Counter

import peers
from peers import HOST, Dovecot, fetchmail_fetch, mpop_fetch, same_message

MISSING = peers.missing_programs(peers.DOVECOT, peers.MPOP, peers.FETCHMAIL)
SKIP_REASON = ("end-to-end peers not installed (" + ", ".join(MISSING) + "); "
               "install them with: make test-deps")

# Small messages for what the corpus does not hold: each one is a way to lose or
# corrupt bytes along the way.
EDGE_MESSAGES = [
    ("dot lines", b"Subject: dots\n\n.\n..\n.x\n. \n...\nend\n"),
    ("dot lines, CRLF", b"Subject: dots\r\n\r\n.\r\n..\r\n.x\r\nend\r\n"),
    ("mixed line ends", b"Subject: x\r\nX-A: y\n\r\nbody\nmore\r\n"),
    ("bare CR", b"Subject: cr\n\na\rb\nc\r\n"),
    ("CR before CRLF", b"Subject: cr\n\nabc\r\r\ndef\n"),
    ("CR as the last byte", b"Subject: cr\n\nabc\r"),
    ("NUL byte", b"Subject: nul\n\na\x00b\n"),
    ("8-bit bytes", b"Subject: \xff\xfe\n\n\xe9t\xe9\n"),
    ("no line end at the end", b"Subject: x\n\nlast line"),
    ("lone dot without a line end", b"Subject: x\n\n."),
    ("header only, no line end", b"Subject: x"),
    ("trailing blank lines", b"Subject: x\n\nbody\n\n\n\n"),
    ("From lines in the body", b"Subject: x\n\nFrom me\n>From you\n"),
    ("mbox From line first", b"From a@b Mon Jan  1 00:00:00 2024\nSubject: x\n\nbody\n"),
    ("lower-case received", b"X-A: 1\nreceived: from a\n\tby b\n\nbody\n"),
    ("Received in the body", b"X-A: 1\n\nReceived: from a\n"),
    ("folded Received first", b"Received: from a\n  by b\nSubject: x\n\nbody\n"),
    ("Received inside a field", b"X-A: 1\nX-Note: see Received: x\nReceived: a\n\nb\n"),
    ("line of 4000 bytes", b"Subject: long\n\n" + b"y" * 4000 + b"\n"),
]
# Messages fetchmail does not hand over unchanged (see same_message).
FETCHMAIL_CHANGES = [
    ("empty message", b""),
    ("empty header", b"\nbody\n"),
    ("line of 20000 bytes", b"Subject: long\n\n" + b"x" * 20000 + b"\n"),
]


# Messages in each corpus package of Debian 12.
CORPUS_SIZES = {
    "python3-flufl.bounce": 115,
    "golang-github-jhillyerd-enmime-dev": 41 + 12 + 26,
    "libpython3.11-testsuite": 46,
    "python3-dkim": 12,
    "spamassassin": 2,
}


def installed(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${Status}", package],
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    return b"install ok installed" in result.stdout


def unmatched(originals, delivered):
    """Pairs each original (name, bytes) with one delivered message under same_message.
    Returns (names of originals without a match, delivered messages left over)."""
    left = list(delivered)
    missing = []
    for name, original in originals:
        for i, message in enumerate(left):
            if same_message(original, message):
                del left[i]
                break
        else:
            missing.append(name)
    return missing, left


def short(messages):
    return [m[:120] for m in messages]


class SameMessageTest(unittest.TestCase):
    """The comparison rule itself, on hand-made deliveries (no peers needed)."""

    FETCHMAIL_RECEIVED = (b"Received: from 127.0.0.1 [127.0.0.1]\n"
                          b"\tby vm with POP3 (fetchmail-6.4.37)\n"
                          b"\tfor <root@localhost> (single-drop); "
                          b"Sun, 06 Dec 2026 22:45:42 +0000 (UTC)\n")

    def test_mpop_form(self):
        cases = [
            # (original, delivered, same)
            (b"A: 1\n\nb\n", b"A: 1\n\nb\n", True),
            (b"A: 1\r\n\r\nb\r\n", b"A: 1\n\nb\n", True),
            (b"A: 1\n\nb", b"A: 1\n\nb\n", True),
            (b"", b"\n", True),
            (b"A: 1\n\na\rb\n", b"A: 1\n\na\rb\n", True),
            (b"A: 1\n\nabc\r", b"A: 1\n\nabc\r\n", True),
            (b"From x y\nA: 1\n\nb\n", b"A: 1\n\nb\n", True),
            (b"A: 1\n\nb\n", b"A: 1\r\n\r\nb\r\n", False),
            (b"A: 1\n\nb\n\n", b"A: 1\n\nb\n", False),
            (b"A: 1\n\nb\n", b"A: 1\n\nb\n\n", False),
            (b"A: 1\n\n.b\n", b"A: 1\n\n..b\n", False),
            (b"A: 1\n\na\rb\n", b"A: 1\n\nab\n", False),
            (b"A: 1\n\nb\n", b"A: 2\n\nb\n", False),
            (b"A: 1\n\nb\n", b"", False),
        ]
        for original, delivered, same in cases:
            with self.subTest(original=original, delivered=delivered):
                self.assertEqual(same_message(original, delivered), same)

    def test_fetchmail_form(self):
        r = self.FETCHMAIL_RECEIVED
        cases = [
            (b"A: 1\n\nb\n", r + b"A: 1\n\nb\n", True),
            (b"A: 1\r\n\r\na\rb\r\n", r + b"A: 1\n\nab\n", True),
            (b"A: 1\nReceived: x\n\nb\n", b"A: 1\n" + r + b"Received: x\n\nb\n", True),
            (b"A: 1\nX: Received: y\n\nb\n", b"A: 1\n" + r + b"X: Received: y\n\nb\n", True),
            (b"A: 1\n\nReceived: x\n", r + b"A: 1\n\nReceived: x\n", True),
            (b"A: 1", r + b"A: 1\n\n", True),
            # Its field is never where it does not belong, nor missing, nor doubled.
            (b"A: 1\nReceived: x\n\nb\n", r + b"A: 1\nReceived: x\n\nb\n", False),
            (b"A: 1\n\nb\n", b"A: 1\n" + r + b"\nb\n", False),
            (b"A: 1\n\nb\n", b"A: 1\n\nb\n\n", False),
            (b"A: 1\n\nb\n", r + r + b"A: 1\n\nb\n", False),
            (b"A: 1\n\nb\n", r.replace(b"fetchmail", b"getmail") + b"A: 1\n\nb\n", False),
            (b"A: 1", r + b"A: 1\n", False),
            (b"A: 1\n\nb\n", r + b"A: 1\n\nc\n", False),
            (b"\nb\n", r + b"\nb\n", False),
        ]
        for original, delivered, same in cases:
            with self.subTest(original=original, delivered=delivered):
                self.assertEqual(same_message(original, delivered), same)


@unittest.skipIf(MISSING, SKIP_REASON)
class PeersTest(peers.DovecotTestCase):
    """One Dovecot for the class; each test seeds its own user."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-e2e-client-")
        self.addCleanup(shutil.rmtree, self.dir, True)

    def new_user(self, messages):
        type(self).users += 1
        user, password = f"user{self.users}", f"pw-{self.users} secret"
        self.dovecot.add_user(user, password)
        for _, message in messages:
            self.dovecot.deliver(user, message)
        return user, password

    def require_corpus(self):
        if not self.corpus:
            self.skipTest("no mail corpus package installed; install them with: "
                          "make test-deps")

    def stored(self, user):
        return Counter(self.dovecot.maildir_messages(user))

    def seeded(self, messages):
        return Counter(peers.strip_mbox_from_line(m) for _, m in messages)

    def assert_all_delivered(self, originals, delivered, output):
        missing, extra = unmatched(originals, delivered)
        self.assertEqual(missing, [], f"not delivered as sent; extra: {short(extra)}\n"
                                      f"{output}\n{self.dovecot.log()}")
        self.assertEqual(extra, [])

    def test_corpus_is_real(self):
        self.require_corpus()
        # Each installed corpus package yields its messages (the globs are right), and
        # among them are the broken forms the harness must carry unchanged.
        counts = Counter(name.split("/")[0] for name, _ in self.corpus)
        for package, least in CORPUS_SIZES.items():
            if installed(package):
                self.assertGreaterEqual(counts[package], least, package)
        self.assertFalse(any(m.startswith(b"From ") for _, m in self.corpus))
        if installed("golang-github-jhillyerd-enmime-dev"):
            names = {name.rsplit("/", 1)[1] for name, _ in self.corpus}
            self.assertIn("erroneous.raw", names)
            self.assertTrue(any(b"\r\n" in m for _, m in self.corpus))

    def test_each_client_delivers_every_corpus_message_with_keep_on_and_off(self):
        messages = self.corpus or EDGE_MESSAGES[:3]  # keep off is tested without a corpus too
        clients = (("mpop", mpop_fetch, peers.mpop_messages),
                   ("fetchmail", fetchmail_fetch, peers.fetchmail_messages))
        for name, fetch, delivered in clients:
            with self.subTest(client=name):
                user, password = self.new_user(messages)
                for keep in (True, False):
                    out = os.path.join(self.dir, f"{name}-{keep}")
                    code, output = fetch(HOST, self.dovecot.port, user, password, out,
                                         keep=keep)
                    self.assertEqual(code, 0, output + self.dovecot.log())
                    self.assert_all_delivered(messages, delivered(out), output)
                    if keep:  # still on the server, byte for byte as seeded
                        self.assertEqual(self.stored(user), self.seeded(messages))
                self.assertEqual(self.dovecot.maildir_messages(user), [])
        code, output = fetchmail_fetch(HOST, self.dovecot.port, user, password, out)
        self.assertEqual(code, 1, output)  # 1: no mail

    def test_edge_messages_through_mpop(self):
        messages = EDGE_MESSAGES + FETCHMAIL_CHANGES
        user, password = self.new_user(messages)
        out = os.path.join(self.dir, "mpop")
        code, output = mpop_fetch(HOST, self.dovecot.port, user, password, out)
        self.assertEqual(code, 0, output)
        self.assert_all_delivered(messages, peers.mpop_messages(out), output)

    def test_edge_messages_through_fetchmail(self):
        user, password = self.new_user(EDGE_MESSAGES + FETCHMAIL_CHANGES)
        out = os.path.join(self.dir, "fetchmail")
        code, output = fetchmail_fetch(HOST, self.dovecot.port, user, password, out)
        self.assertEqual(code, 0, output)
        delivered = peers.fetchmail_messages(out)
        missing, extra = unmatched(EDGE_MESSAGES, delivered)
        self.assertEqual(missing, [], short(extra))
        # What fetchmail changes, so that no later test compares those through it: an
        # empty header becomes a notice of its own, a long line is cut with junk bytes.
        self.assertEqual(len(extra), len(FETCHMAIL_CHANGES))
        self.assertEqual(sum(b"Subject: Headerless mail from " in m for m in extra), 2)
        long_lines = [m for m in extra if b"x" * 8000 in m]
        self.assertEqual(len(long_lines), 1)
        self.assertNotIn(b"x" * 8192, long_lines[0])

    def test_wrong_password_fails_and_keeps_the_mail(self):
        user, password = self.new_user(EDGE_MESSAGES[:2])
        out = os.path.join(self.dir, "mpop")
        code, output = mpop_fetch(HOST, self.dovecot.port, user, password + "x", out)
        self.assertNotEqual(code, 0, output)
        self.assertIn("authentication failed", output)
        self.assertEqual(peers.mpop_messages(out), [])
        self.assertEqual(self.stored(user), self.seeded(EDGE_MESSAGES[:2]))
        # The failed login leaves the account usable at once.
        code, output = mpop_fetch(HOST, self.dovecot.port, user, password, out)
        self.assertEqual(code, 0, output)
        self.assertEqual(len(peers.mpop_messages(out)), 2)

    def test_mpop_password_with_shell_characters(self):
        user = "shell"
        password = "a b'c\\d$e\"f`g"
        self.dovecot.add_user(user, password)
        self.dovecot.deliver(user, EDGE_MESSAGES[0][1])
        out = os.path.join(self.dir, "mpop")
        code, output = mpop_fetch(HOST, self.dovecot.port, user, password, out)
        self.assertEqual(code, 0, output)
        self.assert_all_delivered(EDGE_MESSAGES[:1], peers.mpop_messages(out), output)


@unittest.skipIf(MISSING, SKIP_REASON)
class DovecotLifecycleTest(unittest.TestCase):

    def test_stop_closes_the_port_and_ends_every_process(self):
        with Dovecot() as server:
            port, pid = server.port, server._process.pid
            self.assertTrue(peers.wait_port(port, 1))
        self.assertFalse(peers._group_alive(pid))
        with self.assertRaises(OSError):
            peers.socket.create_connection((HOST, port), timeout=1).close()

    def test_two_servers_run_side_by_side(self):
        with Dovecot() as first, Dovecot() as second:
            self.assertNotEqual(first.port, second.port)
            for server in (first, second):
                server.add_user("ann", "pw")
                server.deliver("ann", b"Subject: %d\n\nbody\n" % server.port)
            for server in (first, second):
                out = tempfile.mkdtemp(prefix="quillon-e2e-client-")
                self.addCleanup(shutil.rmtree, out, True)
                code, output = mpop_fetch(HOST, server.port, "ann", "pw", out + "/md")
                self.assertEqual(code, 0, output)
                self.assertEqual(peers.mpop_messages(out + "/md"),
                                 [b"Subject: %d\n\nbody\n" % server.port])


if __name__ == "__main__":
    unittest.main()
