"""The POP3 proxy end to end: mpop and fetchmail fetch through it from a real Dovecot.

What the mail client gets must be what the server holds, byte for byte under
same_message(), with one change only: the proxy's analysis note, inserted as the last
line of the header. Held messages stay out of the client's view until released; a
message the user deleted is deleted from the server at the client's next QUIT; a
disabled or unknown account is relayed untouched.

Most tests run the proxy engine inside the test host (ProxyHost.cpp, $QUILLON_PROXY_HOST),
whose examine call-back holds every message whose Subject holds HOLD_MARK; the last
class runs the quillon program itself ($QUILLON_BIN) headless.

Run with /usr/bin/python3 -m unittest -v test_pop3_proxy (from this folder), with
QUILLON_BIN and QUILLON_PROXY_HOST set (ctest does that).
"""

import os
import re
import shutil
import socket
import subprocess
import tempfile
import time
import unittest
from collections import Counter

import peers
from peers import (HELD_NOTE, HOST, HOST_NOTE, MS_DELIVERED, MS_HOLD, MS_INBOX,
                   Dovecot, ProxyHost, Quillon,
                   fetchmail_fetch, mpop_fetch, same_message, split_note)
from test_peers import EDGE_MESSAGES

MISSING = peers.missing_programs(peers.DOVECOT, peers.MPOP, peers.FETCHMAIL)
MISSING += [f"${name}" for name in ("QUILLON_BIN", "QUILLON_PROXY_HOST")
            if not os.access(os.environ.get(name, ""), os.X_OK)]
SKIP_REASON = ("end-to-end peers or programs missing (" + ", ".join(MISSING) + "); "
               "install the peers with: make test-deps, and run through ctest")

HOLD_MARK = "[e2e-hold]"

# Messages the test host holds, each a different shape; their Subject carries the mark.
HELD_MESSAGES = [
    ("held, first", b"Subject: [e2e-hold] first\n\nsecret one\n"),
    ("held, CRLF and folded subject",
     b"From: a@example.org\r\nSubject: re:\r\n [e2e-hold] second\r\n\r\nsecret two\r\n"),
    ("held, dot lines", b"X-A: 1\nSubject: [e2e-hold] third\n\n.\n..\nsecret three\n"),
]


def interleave(visible, held):
    """The messages in server order with the held ones among the visible ones (first,
    middle, last), so that the client's numbers differ from the server's."""
    messages = list(visible)
    positions = [0, len(messages) // 2, len(messages)]
    for offset, message in enumerate(held):
        messages.insert(min(positions[offset % 3] + offset, len(messages)), message)
    return messages


def proxied(original):
    """What the server's copy of `original` looks like after the proxy's reader: every
    zero byte it receives becomes a blank (0x20), in relayed and in filtered sessions
    alike. Nothing else changes."""
    return original.replace(b"\0", b" ")


def match_with_notes(originals, delivered):
    """Pairs each original (name, bytes, note) with one delivered message whose header
    ends with exactly that note line and which is otherwise same_message() as the
    original. Returns (names without a match, delivered messages left over)."""
    left = list(delivered)
    missing = []
    for name, original, note in originals:
        for i, message in enumerate(left):
            found, rest = split_note(message)
            if found == note and same_message(proxied(original), rest):
                del left[i]
                break
        else:
            missing.append(name)
    return missing, left


def match_unchanged(originals, delivered):
    """As match_with_notes for messages that must arrive without any note."""
    left = list(delivered)
    missing = []
    for name, original in originals:
        for i, message in enumerate(left):
            if same_message(proxied(original), message):
                del left[i]
                break
        else:
            missing.append(name)
    return missing, left


class RawPOP3:
    """A POP3 client on a socket, logged in with USER and PASS, for what mpop does not
    do (pipelining) or does not show (sizes)."""

    def __init__(self, port, user, password):
        self.socket = socket.create_connection((HOST, port), timeout=30)
        self.reader = self.socket.makefile("rb")
        self.reply(False)
        for line in (f"USER {user}", f"PASS {password}"):
            answer = self.command(line, False)
            if not answer.startswith(b"+OK"):
                raise AssertionError(f"{line.split()[0]}: {answer!r}")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.reader.close()
        self.socket.close()
        return False

    def send(self, *lines):
        self.socket.sendall(b"".join(line.encode() + b"\r\n" for line in lines))

    def reply(self, multi_line):
        """One reply as it came: its first line and, for a multi-line "+OK", every line
        up to and including ".\r\n"."""
        lines = [self.reader.readline()]
        while multi_line and lines[0].startswith(b"+OK") and lines[-1] != b".\r\n":
            lines.append(self.reader.readline())
            if not lines[-1]:
                raise AssertionError(f"connection closed in a reply: {lines[:3]!r}")
        return b"".join(lines)

    def command(self, line, multi_line):
        self.send(line)
        return self.reply(multi_line)


def listing(reply):
    """{number: rest} of a LIST or UIDL listing."""
    return dict(line.decode().split(" ", 1) for line in reply.splitlines()[1:-1])


def short(messages):
    return [m[:160] for m in messages]


class HiveFileTest(unittest.TestCase):
    """The harness's hive writer (no peers needed); that the program reads what it
    writes is shown by the log and DirectProxyListener settings of the tests below."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-e2e-hive-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.path = os.path.join(self.dir, "registry", "HKEY_CURRENT_USER.reg")

    def test_values_read_back_as_written(self):
        text = 'C:\\a "quoted" \x01 \x7f caf\u00e9'
        peers.write_hive_values(self.path, peers.POP3_PROXY_KEY,
                                {"LogFileName": text, "LogLevel": 0xFFFF,
                                 "Raw": b"\x00\xff", "Time": 1.5})
        with open(self.path, "rb") as f:
            written = f.read()
        self.assertTrue(written.startswith(b"QUILLON-REGISTRY 1\n"))
        self.assertIn(b'"LogLevel"=dword:0000ffff\n', written)
        self.assertIn(b'"Time"=hex:00,00,00,00,00,00,f8,3f\n', written)
        self.assertIn(b'\\x01', written)
        self.assertNotIn(b"\x01", written)
        key = peers.read_hive(self.path)[peers.POP3_PROXY_KEY.lower()]
        self.assertEqual(key["logfilename"], text.encode("utf-8"))
        self.assertEqual(key["loglevel"], 0xFFFF)
        self.assertEqual(key["raw"], b"\x00\xff")
        self.assertEqual(peers.hive_double(key["time"]), 1.5)

    def test_existing_key_and_value_are_updated_in_place(self):
        os.makedirs(os.path.dirname(self.path))
        with open(self.path, "w") as f:
            f.write("QUILLON-REGISTRY 1\n\n[Software]\n\n"
                    "[Software\\Brevant\\Quillon\\Settings\\POP3Proxy]\n"
                    '"LOGLEVEL"=dword:00000001\n"Other"=sz:"x"\n\n'
                    "[Software\\Brevant\\Quillon\\Statistics]\n"
                    '"ShutdownDeletes"=dword:00000003\n')
        peers.write_hive_values(self.path, peers.POP3_PROXY_KEY,
                                {"LogLevel": 7, "LogFileName": "/tmp/x"})
        with open(self.path) as f:
            text = f.read()
        self.assertEqual(text.lower().count("\\settings\\pop3proxy]"), 1)
        self.assertEqual(text.lower().count('"loglevel"'), 1)
        hive = peers.read_hive(self.path)
        self.assertEqual(hive[peers.POP3_PROXY_KEY.lower()],
                         {"loglevel": 7, "other": b"x", "logfilename": b"/tmp/x"})
        self.assertEqual(peers.hive_value(self.path, peers.STATISTICS_KEY, "shutdowndeletes"), 3)


class ProxyTestCase(peers.DovecotTestCase):
    """One Dovecot for the class; each test has its own user, client folder and proxy."""

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-e2e-proxy-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.fetches = 0

    def new_user(self, messages):
        """A new Dovecot user holding `messages` ((name, bytes) pairs, in order);
        returns (user, password, {name: the path of its file in the Maildir})."""
        type(self).users += 1
        user, password = f"user{self.users}", f"pw{self.users} secret"
        self.dovecot.add_user(user, password)
        paths = {name: self.dovecot.deliver(user, message) for name, message in messages}
        return user, password, paths

    def host(self, user, hold=True, log_file=None):
        host = ProxyHost(accounts=[(user, HOST, self.dovecot.port)],
                         hold_subjects=[HOLD_MARK] if hold else [], log_file=log_file)
        host.__enter__()
        self.addCleanup(host.__exit__, None, None, None)
        return host

    def login(self, user):
        return Quillon.login_name(user, HOST, self.dovecot.port)

    def fetch(self, proxy, user, password, keep=True, uidls_file=None, extra=(),
              expect_code=0):
        """An mpop fetch of every message through the proxy into a fresh Maildir;
        returns the delivered messages."""
        self.fetches += 1
        out = os.path.join(self.dir, f"mpop{self.fetches}")
        code, output = mpop_fetch(HOST, proxy.pop3_port, self.login(user), password, out,
                                  keep=keep, uidls_file=uidls_file, extra=extra)
        self.assertEqual(code, expect_code, f"{output}\n{proxy.output()}\n"
                                            f"{self.dovecot.log()[-3000:]}")
        return peers.mpop_messages(out)

    def stored(self, user):
        return Counter(self.dovecot.maildir_messages(user))

    def seeded(self, messages):
        return Counter(peers.strip_mbox_from_line(m) for _, m in messages)

    def assert_with_notes(self, originals, delivered):
        missing, extra = match_with_notes(originals, delivered)
        self.assertEqual(missing, [], f"not delivered as sent plus the note; "
                                      f"left over: {short(extra)}")
        self.assertEqual(extra, [], "delivered more than expected")

    def assert_unchanged(self, originals, delivered):
        missing, extra = match_unchanged(originals, delivered)
        self.assertEqual(missing, [], f"not delivered unchanged; left over: {short(extra)}")
        self.assertEqual(extra, [], "delivered more than expected")

    def wait_statistic(self, proxy, name, at_least, timeout=15):
        """The statistics value `name` once it has reached `at_least` (the session
        writes its statistics when its connection closes, just after the client left)."""
        deadline = time.monotonic() + timeout
        while True:
            value = proxy.statistics().get(name.lower(), 0)
            if value >= at_least or time.monotonic() > deadline:
                return value
            time.sleep(0.05)


@unittest.skipIf(MISSING, SKIP_REASON)
class HeldMessagesTest(ProxyTestCase):
    """The test host holds the messages marked HOLD_MARK; the client sees the rest."""

    VISIBLE = EDGE_MESSAGES

    def seed(self):
        messages = interleave(self.VISIBLE, HELD_MESSAGES)
        user, password, paths = self.new_user(messages)
        return user, password, paths, messages

    def visible_with_note(self, note=HOST_NOTE):
        return [(name, message, note) for name, message in self.VISIBLE]

    def by_subject(self, host, mark=HOLD_MARK.encode()):
        return [m for m in host.messages() if mark in m["subject"]]

    def test_client_gets_exactly_the_messages_not_held(self):
        user, password, _, messages = self.seed()
        host = self.host(user)
        delivered = self.fetch(host, user, password)
        self.assert_with_notes(self.visible_with_note(), delivered)
        self.assertFalse(any(b"secret" in m for m in delivered))
        # The store knows every message: the held ones held, the others handed over.
        listed = host.messages()
        self.assertEqual(len(listed), len(messages))
        self.assertEqual(Counter(m["location"] for m in listed),
                         Counter({MS_DELIVERED: len(self.VISIBLE),
                                  MS_HOLD: len(HELD_MESSAGES)}))
        self.assertEqual({m["location"] for m in self.by_subject(host)}, {MS_HOLD})
        # Kept on the server, unchanged.
        self.assertEqual(self.stored(user), self.seeded(messages))

    def test_released_message_is_fetched_next_time(self):
        user, password, _, _ = self.seed()
        host = self.host(user)
        uidls = os.path.join(self.dir, "incremental.uidls")
        first = self.fetch(host, user, password, uidls_file=uidls)
        self.assertEqual(len(first), len(self.VISIBLE))
        held = self.by_subject(host)
        released = next(m for m in held if b"second" in m["subject"])
        host.release(released["uidl"])
        self.assertEqual({m["location"] for m in self.by_subject(host)
                          if m["uidl"] == released["uidl"]}, {MS_INBOX})
        # An incremental fetch (mpop remembers the UIDLs it has) gets exactly that one.
        again = self.fetch(host, user, password, uidls_file=uidls, extra=("--only-new=on",))
        self.assert_with_notes([("released", HELD_MESSAGES[1][1], HELD_NOTE)], again)
        # A full fetch now gets it beside the others; the two still held stay hidden.
        everything = self.fetch(host, user, password)
        self.assert_with_notes(self.visible_with_note() +
                               [("released", HELD_MESSAGES[1][1], HELD_NOTE)], everything)

    def test_new_mail_of_a_later_session_is_examined(self):
        user, password, _, _ = self.seed()
        host = self.host(user)
        uidls = os.path.join(self.dir, "incremental.uidls")
        self.assertEqual(len(self.fetch(host, user, password, uidls_file=uidls)),
                         len(self.VISIBLE))
        late = [("late, plain", b"Subject: late news\n\nnew\n"),
                ("late, held", b"Subject: late [e2e-hold]\n\nsecret late\n")]
        for _, message in late:
            self.dovecot.deliver(user, message)
        again = self.fetch(host, user, password, uidls_file=uidls, extra=("--only-new=on",))
        self.assert_with_notes([("late, plain", late[0][1], HOST_NOTE)], again)
        held = self.by_subject(host)
        self.assertEqual(len(held), len(HELD_MESSAGES) + 1)
        self.assertEqual({m["location"] for m in held}, {MS_HOLD})

    def test_user_deleted_messages_leave_the_server_at_the_next_quit(self):
        user, password, paths, messages = self.seed()
        host = self.host(user)
        self.fetch(host, user, password)
        before = self.wait_statistic(host, "ShutdownDeletes", 0)
        listed = host.messages()
        visible_victim = next(m for m in listed if m["subject"] == b"dots")
        held_victim = next(m for m in self.by_subject(host) if b"first" in m["subject"])
        host.delete(visible_victim["uidl"])
        host.delete(held_victim["uidl"])
        # Nothing happens on the server before a client logs in and out again.
        self.assertEqual(self.stored(user), self.seeded(messages))

        delivered = self.fetch(host, user, password)
        expected = [m for m in self.visible_with_note() if m[0] != "dot lines"]
        self.assert_with_notes(expected, delivered)
        removed = [m for m in messages if m[0] in ("dot lines", HELD_MESSAGES[0][0])]
        self.assertEqual(len(removed), 2)
        kept = [m for m in messages if m not in removed]
        self.assertEqual(self.stored(user), self.seeded(kept))
        self.assertFalse(os.path.exists(paths["dot lines"]))
        self.assertEqual(self.wait_statistic(host, "ShutdownDeletes", before + 2), before + 2)
        # The store has forgotten them; a further session deletes nothing more.
        uidls = {m["uidl"] for m in host.messages()}
        self.assertNotIn(visible_victim["uidl"], uidls)
        self.assertNotIn(held_victim["uidl"], uidls)
        self.assertEqual(len(uidls), len(messages) - 2)
        # The session above wrote MessagesRetrieved before ShutdownDeletes.
        retrieved = self.wait_statistic(host, "MessagesRetrieved", 0)
        self.assertEqual(len(self.fetch(host, user, password)), len(expected))
        self.assertEqual(self.stored(user), self.seeded(kept))
        # Once that session's statistics are in, the count of deletions is unchanged.
        self.assertEqual(self.wait_statistic(host, "MessagesRetrieved",
                                             retrieved + len(expected)),
                         retrieved + len(expected))
        self.assertEqual(host.statistics()["shutdowndeletes"], before + 2)

    def test_login_right_after_the_last_quit_gets_the_store(self):
        # mpop logs in again the moment the previous session's QUIT is answered; the
        # ended session must not keep the store from it.
        user, password, _, _ = self.seed()
        host = self.host(user)
        for _ in range(10):
            self.assertEqual(len(self.fetch(host, user, password)), len(self.VISIBLE))

    def test_pipelined_commands_get_the_answers_of_one_at_a_time(self):
        user, password, _, _ = self.seed()
        host = self.host(user)
        self.fetch(host, user, password)
        last = len(self.VISIBLE)
        commands = [("STAT", False), ("LIST", True), ("UIDL", True), ("LIST 2", False),
                    ("RETR 1", True), ("TOP 3 0", True), (f"RETR {last}", True),
                    (f"UIDL {last + 1}", False), ("NOOP", False), ("QUIT", False)]

        def session(pipelined):
            with RawPOP3(host.pop3_port, self.login(user), password) as client:
                if pipelined:
                    client.send(*(command for command, _ in commands))
                    answers = [client.reply(multi) for _, multi in commands]
                else:
                    answers = [client.command(command, multi) for command, multi in commands]
                self.assertEqual(client.reader.read(), b"")  # closed after QUIT
                return answers

        one_by_one = session(False)
        self.assertEqual(session(True), one_by_one)
        self.assertIn(HOST_NOTE, one_by_one[4])
        self.assertTrue(one_by_one[7].startswith(b"-ERR"))
        self.assertEqual(one_by_one[0], b"+OK %d %d\r\n" % (
            last, sum(int(x.split()[1]) for x in one_by_one[1].splitlines()[1:-1])))
        # Each size the client is told is the server's size plus the note it gets.
        with RawPOP3(self.dovecot.port, user, password) as server:
            server_uidls = listing(server.command("UIDL", True))
            server_sizes = listing(server.command("LIST", True))
            server.command("QUIT", False)
        size_of = {uidl: int(server_sizes[n]) for n, uidl in server_uidls.items()}
        client_uidls = listing(one_by_one[2])
        client_sizes = listing(one_by_one[1])
        self.assertEqual(len(client_sizes), last)
        for n, uidl in client_uidls.items():
            self.assertEqual(int(client_sizes[n]), size_of[uidl] + len(HOST_NOTE) + 2)

    def test_second_login_to_an_unchanged_mailbox_sends_no_uidl(self):
        user, password, _, _ = self.seed()
        log = os.path.join(self.dir, "proxy.log")
        host = self.host(user, log_file=log)
        first = self.fetch(host, user, password)
        second = self.fetch(host, user, password)
        self.assertEqual(len(first), len(self.VISIBLE))
        self.assert_with_notes(self.visible_with_note(), second)
        host.stop()
        with open(log, "rb") as f:
            text = f.read().decode("latin-1")
        # Lines sent to the server read "<time>: POP3(<session>):  ->S <line>".
        sessions = {}
        to_server = []
        for line in text.splitlines():
            match = re.search(r"(POP3\(\d+\)):\s+->S (\S+)", line)
            if match:
                to_server.append(line)
                sessions.setdefault(match.group(1), []).append(match.group(2).upper())
        self.assertEqual(len(sessions), 2, "\n".join(to_server) or text[:3000])
        first_session, second_session = (sessions[k] for k in sorted(sessions))
        # The first session listed the mailbox and downloaded the new messages' tops.
        self.assertIn("UIDL", first_session)
        self.assertIn("TOP", first_session)
        # The second found the server's STAT unchanged: the UIDLs alone are listed (an
        # unchanged count and size do not prove the same messages), nothing downloaded.
        self.assertIn("STAT", second_session)
        self.assertEqual(second_session.count("UIDL"), 1)
        for command in ("LIST", "TOP"):
            self.assertNotIn(command, second_session)
        self.assertEqual(second_session.count("RETR"), len(self.VISIBLE))
        self.assertNotIn("PASS " + password, text)

    def test_client_dele_deletes_the_right_server_messages(self):
        user, password, _, messages = self.seed()
        host = self.host(user)
        delivered = self.fetch(host, user, password, keep=False)
        self.assert_with_notes(self.visible_with_note(), delivered)
        # Only the held messages are left on the server, unchanged.
        self.assertEqual(self.stored(user), self.seeded(HELD_MESSAGES))
        self.assertEqual(Counter(m["location"] for m in host.messages()),
                         Counter({MS_HOLD: len(HELD_MESSAGES)}))
        self.assertEqual(self.fetch(host, user, password), [])

    def test_client_dele_and_rset_reach_the_right_server_message(self):
        user, password, paths, messages = self.seed()
        host = self.host(user)
        self.fetch(host, user, password)
        with RawPOP3(host.pop3_port, self.login(user), password) as client:
            uidls = listing(client.command("UIDL", True))
            self.assertTrue(client.command("DELE 2", False).startswith(b"+OK"))
            self.assertTrue(client.command("DELE 3", False).startswith(b"+OK"))
            self.assertTrue(client.command("LIST 2", False).startswith(b"-ERR"))
            self.assertTrue(client.command("RSET", False).startswith(b"+OK"))
            self.assertTrue(client.command("LIST 2", False).startswith(b"+OK 2 "))
            self.assertTrue(client.command("DELE 3", False).startswith(b"+OK"))
            self.assertTrue(client.command("QUIT", False).startswith(b"+OK"))
        # Exactly the client's third message left the server.
        gone = [m for m in host.messages() if m["uidl"] == uidls["3"]]
        self.assertEqual(gone, [])
        self.assertEqual(len(self.dovecot.maildir_messages(user)), len(messages) - 1)
        delivered = self.fetch(host, user, password)
        self.assertEqual(len(delivered), len(self.VISIBLE) - 1)
        with RawPOP3(self.dovecot.port, user, password) as server:
            left = set(listing(server.command("UIDL", True)).values())
            server.command("QUIT", False)
        self.assertNotIn(uidls["3"], left)
        self.assertIn(uidls["2"], left)

    def test_deletions_of_a_session_that_ends_without_quit_are_undone(self):
        # Without QUIT the server deletes nothing (RFC 1939); the proxy must not go on
        # believing it did.
        user, password, _, messages = self.seed()
        host = self.host(user)
        self.fetch(host, user, password)
        with RawPOP3(host.pop3_port, self.login(user), password) as client:
            self.assertTrue(client.command("DELE 1", False).startswith(b"+OK"))
            self.assertTrue(client.command("DELE 3", False).startswith(b"+OK"))
        self.assertEqual(self.stored(user), self.seeded(messages))
        deadline = time.monotonic() + 10
        while len(host.messages()) != len(messages) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual(len(host.messages()), len(messages))
        self.assert_with_notes(self.visible_with_note(), self.fetch(host, user, password))

    def test_disabled_account_is_relayed_unchanged(self):
        user, password, _, messages = self.seed()
        host = self.host(user)
        host.account_command("--disable-account", user, HOST, self.dovecot.port)
        delivered = self.fetch(host, user, password)
        self.assert_unchanged(messages, delivered)
        self.assertEqual(host.messages(), [])
        # Enabled again, the account is filtered from its next login on.
        host.account_command("--enable-account", user, HOST, self.dovecot.port)
        delivered = self.fetch(host, user, password)
        self.assert_with_notes(self.visible_with_note(), delivered)


@unittest.skipIf(MISSING, SKIP_REASON)
class CorpusThroughProxyTest(ProxyTestCase):
    """The whole real corpus, malformed messages included, through the test host."""

    def test_every_corpus_message_arrives_with_only_the_note_added(self):
        if not self.corpus:
            self.skipTest("no mail corpus package installed; install them with: "
                          "make test-deps")
        messages = interleave(self.corpus, HELD_MESSAGES)
        user, password, _ = self.new_user(messages)
        host = self.host(user)
        expected = [(name, message, HOST_NOTE) for name, message in self.corpus]

        delivered = self.fetch(host, user, password)
        self.assert_with_notes(expected, delivered)

        # A second client, fetchmail, gets the same set under its own rule.
        out = os.path.join(self.dir, "fetchmail")
        code, output = fetchmail_fetch(HOST, host.pop3_port, self.login(user), password, out)
        self.assertEqual(code, 0, f"{output}\n{host.output()}")
        self.assert_with_notes(expected, peers.fetchmail_messages(out))
        self.assertEqual(self.stored(user), self.seeded(messages))


@unittest.skipIf(MISSING, SKIP_REASON)
class ShippingProgramTest(ProxyTestCase):
    """quillon --headless itself: every downloaded message of a registered account goes
    through the filter chain; the client gets what it passes, with its note."""

    def program(self, accounts):
        program = Quillon(accounts=accounts, direct_listener=False)
        program.__enter__()
        self.addCleanup(program.__exit__, None, None, None)
        self.addCleanup(self.assert_stops_cleanly, program)
        return program

    def assert_stops_cleanly(self, program):
        code = program.stop()
        self.assertEqual(code, 0, program.output())

    def examined(self, program, messages):
        """What `quillon --examine` says the filter does with `messages`: the
        (name, message, note) of those it passes to the inbox, and the names it holds."""
        folder = tempfile.mkdtemp(dir=self.dir)
        for i, (_, message) in enumerate(messages):
            with open(os.path.join(folder, f"{i:04d}"), "wb") as out:
                out.write(peers.strip_mbox_from_line(message))
        run = subprocess.run([program.binary, "--examine", folder], env=program._env(),
                             capture_output=True, check=True)
        lines = run.stdout.splitlines()
        self.assertEqual(len(lines), len(messages) + 1, run.stdout)
        passed, held = [], []
        for line, (name, message) in zip(lines, messages):
            _, location, _, note = line.split(b"\t", 3)
            if location == b"inbox":
                passed.append((name, message, b"X-Quillon-Analysis: " + note))
            else:
                held.append(name)
        return passed, held

    def test_registered_account_gets_what_the_filter_passes(self):
        messages = EDGE_MESSAGES + self.corpus[:20]
        user, password, _ = self.new_user(messages)
        program = self.program([(user, HOST, self.dovecot.port)])
        passed, held = self.examined(program, messages)
        self.assertNotEqual(held, [], "strangers' mail is held by default")
        delivered = self.fetch(program, user, password)
        self.assert_with_notes(passed, delivered)
        # A friend's message of a later session reaches the client with the filter's
        # note; the held ones stay held.
        subprocess.run([program.binary, "--add-friend", "ann@example.org"],
                       env=program._env(), check=True, stdout=subprocess.DEVNULL)
        friendly = ("later, friend", b"From: ann@example.org\nSubject: hi\n\nfrom Ann\n")
        stranger = ("later, held", b"Subject: later\n\nnew mail\n")
        for _, message in (friendly, stranger):
            self.dovecot.deliver(user, message)
        delivered = self.fetch(program, user, password)
        self.assert_with_notes(
            passed + [friendly + (b"X-Quillon-Analysis: friendly: from a friend",)], delivered)
        self.assertEqual(self.stored(user), self.seeded(messages + [friendly, stranger]))

    def test_unregistered_account_is_relayed_unchanged(self):
        messages = EDGE_MESSAGES + self.corpus[:20]
        user, password, _ = self.new_user(messages)
        registered, _, _ = self.new_user([])
        program = self.program([(registered, HOST, self.dovecot.port)])
        delivered = self.fetch(program, user, password)
        self.assert_unchanged(messages, delivered)
        # No store was made for the unknown account.
        folder = os.path.join(program.home, "MessageStore")
        stores = os.listdir(folder) if os.path.isdir(folder) else []
        self.assertEqual([name for name in stores if f"-{user}." in name], [])


if __name__ == "__main__":
    unittest.main()
