"""quillon --headless killed with SIGKILL while it synchronizes a fetch, over and over.

A client that keeps its mail on the server (it remembers the UIDLs of the messages it
has received whole, as mpop and fetchmail do with their keep options) fetches through
the proxy from a real Dovecot. New mail arrives before every fetch; once the client has
sent PASS, the proxy is killed at a random moment of the synchronization that follows,
then started again on the same data folder. At the end every message on the server has
reached the client exactly once, and every start found its store.

Run with /usr/bin/python3 -m unittest -v test_killed_proxy (from this folder), with
QUILLON_BIN set (ctest does that).
"""

import os
import random
import re
import socket
import threading
import time
import unittest
from collections import Counter

import peers
from peers import HOST, Quillon

MISSING = peers.missing_programs(peers.DOVECOT)
MISSING += [f"${name}" for name in ("QUILLON_BIN",)
            if not os.access(os.environ.get(name, ""), os.X_OK)]
SKIP_REASON = ("end-to-end peers or programs missing (" + ", ".join(MISSING) + "); "
               "install the peers with: make test-deps, and run through ctest")

KILLS = 50
NEW_PER_ROUND = 8
TIME_LIMIT = 45.0  # seconds for the whole run, kills, restarts and fetches
TOKEN = re.compile(rb"^Subject: (kill-\d+-\d+)\r?$", re.MULTILINE)


def message(round_number, index):
    token = f"kill-{round_number}-{index}"
    body = "".join(f"line {n} of {token}\n" for n in range(1, 40))
    return f"From: a@example.org\nSubject: {token}\n\n{body}".encode()


class ConnectionLost(Exception):
    pass


class KeepingClient:
    """A POP3 client that keeps mail on the server: each fetch retrieves the messages
    whose UIDL it has not yet received whole, and never deletes. `received` counts
    every message it received whole by the token of its Subject."""

    def __init__(self, user, password):
        self.user, self.password = user, password
        self.seen = set()
        self.received = Counter()
        self.pass_sent = threading.Event()
        self.synchronized = threading.Event()  # the PASS reply came whole
        self.pass_sent_at = self.synchronized_at = 0.0
        self.pass_replies = []  # the first line of every PASS reply that came

    def fetch(self, port):
        """One session. Raises ConnectionLost when the proxy goes away in it."""
        try:
            with socket.create_connection((HOST, port), timeout=20) as connection:
                reader = connection.makefile("rb")
                self._expect_ok(reader.readline(), "greeting")
                self._command(connection, reader, f"USER {self.user}")
                connection.sendall(f"PASS {self.password}\r\n".encode())
                self.pass_sent_at = time.monotonic()
                self.pass_sent.set()
                reply = reader.readline()
                if reply.endswith(b"\r\n"):
                    self.synchronized_at = time.monotonic()
                    self.synchronized.set()
                    self.pass_replies.append(reply)
                self._expect_ok(reply, "PASS")
                listing = self._multi_line(connection, reader, "UIDL")
                for line in listing[1:-1]:
                    number, uidl = line.decode().split()
                    if uidl in self.seen:
                        continue
                    text = b"".join(self._multi_line(connection, reader, f"RETR {number}")[1:-1])
                    found = TOKEN.search(text)
                    self.received[found.group(1).decode() if found else "<no token>"] += 1
                    self.seen.add(uidl)
                self._command(connection, reader, "QUIT")
        except (ConnectionError, socket.timeout) as error:
            raise ConnectionLost(str(error)) from error

    @staticmethod
    def _expect_ok(line, what):
        if not line.endswith(b"\r\n"):
            raise ConnectionLost(f"closed in or before the {what} reply: {line!r}")
        if not line.startswith(b"+OK"):
            raise AssertionError(f"{what}: {line!r}")

    def _command(self, connection, reader, line):
        connection.sendall(line.encode() + b"\r\n")
        reply = reader.readline()
        self._expect_ok(reply, line.split()[0])
        return reply

    def _multi_line(self, connection, reader, line):
        lines = [self._command(connection, reader, line)]
        while lines[-1] != b".\r\n":
            lines.append(reader.readline())
            if not lines[-1]:
                raise ConnectionLost(f"closed in the reply to {line}")
        return lines


@unittest.skipIf(MISSING, SKIP_REASON)
class KilledWhileSynchronizingTest(peers.DovecotTestCase):

    def test_every_message_reaches_the_client_exactly_once(self):
        started = time.monotonic()
        random_source = random.Random(os.environ.get("QUILLON_KILL_SEED", "kill-seed"))
        user, password = "killed", "killed secret"
        self.dovecot.add_user(user, password)
        for index in range(NEW_PER_ROUND):
            self.dovecot.deliver(user, message(0, index))
        program = Quillon(accounts=[(user, HOST, self.dovecot.port)], direct_listener=False,
                          settings=peers.PASS_ALL_FILTER_SETTINGS)
        program.__enter__()
        self.addCleanup(program.__exit__, None, None, None)
        client = KeepingClient(Quillon.login_name(user, HOST, self.dovecot.port), password)

        # How long the synchronization of one round's new mail takes here, unkilled:
        # from PASS to its reply, which the proxy holds until the store is in step. The
        # middle one of three, so that one slow or fast one does not set it.
        client.fetch(program.pop3_port)
        spans = []
        for round_number in range(1, 4):
            for index in range(NEW_PER_ROUND):
                self.dovecot.deliver(user, message(round_number, index))
            client.fetch(program.pop3_port)
            spans.append(client.synchronized_at - client.pass_sent_at)
        span = max(sorted(spans)[1], 0.002)

        kills_in_session = 0
        kills_in_synchronization = 0
        expected = Counter(f"kill-{r}-{i}" for r in range(4) for i in range(NEW_PER_ROUND))
        for round_number in range(4, KILLS + 4):
            # Every third fetch finds no new mail on the server: what a killed one left
            # undone must be found without a changed mailbox to point at it.
            if round_number % 3 != 0:
                for index in range(NEW_PER_ROUND):
                    self.dovecot.deliver(user, message(round_number, index))
                    expected[f"kill-{round_number}-{index}"] += 1
            outcome = []
            client.pass_sent.clear()
            client.synchronized.clear()
            fetching = threading.Thread(target=self._fetch_once,
                                        args=(client, program.pop3_port, outcome))
            fetching.start()
            self.assertTrue(client.pass_sent.wait(10), "the client never got to PASS")
            time.sleep(random_source.uniform(0, span))
            kills_in_synchronization += not client.synchronized.is_set()
            program.kill()
            fetching.join(30)
            self.assertFalse(fetching.is_alive(), "the client hangs on a killed proxy")
            if outcome and outcome[0] is not None:
                raise outcome[0]
            kills_in_session += not outcome
            program.restart()

        # The first whole fetch after the last restart brings whatever was still missing.
        client.fetch(program.pop3_port)
        elapsed = time.monotonic() - started

        self.assertEqual(client.received - expected, Counter(), "received more than once")
        self.assertEqual(expected - client.received, Counter(), "never received")
        refused = [reply for reply in client.pass_replies if not reply.startswith(b"+OK")]
        self.assertEqual(refused, [], "a login that did not get its store")
        # Most kills came before the synchronization had ended.
        print(f"span {span * 1000:.1f} ms, {kills_in_session} kills in a session, "
              f"{kills_in_synchronization} in its synchronization, {elapsed:.1f} s")
        self.assertGreater(kills_in_synchronization, KILLS // 2)
        self.assertLess(elapsed, TIME_LIMIT, f"{KILLS} kills took {elapsed:.1f} s")
        self.assertEqual(program.stop(), 0, program.output())

    @staticmethod
    def _fetch_once(client, port, outcome):
        """Appends None when the fetch ended whole, nothing when the kill cut it short,
        and the error when it failed otherwise."""
        try:
            client.fetch(port)
            outcome.append(None)
        except ConnectionLost:
            pass
        except BaseException as error:  # reported by the test's thread
            outcome.append(error)


if __name__ == "__main__":
    unittest.main()
