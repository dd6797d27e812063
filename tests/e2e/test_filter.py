"""The filter end to end: quillon --headless between mpop and a real Dovecot, with the
user's own data (an own address, a friend, a company, a mailing list, a blacklisted
domain) and the shipped word lists.

With the default actions the mail client receives only the friendly messages, each with its
analysis note; the others wait in hold, where --list-held shows them with their notes,
--release lets one through to the client's next fetch and --delete removes one from the
server at the client's next logout.

Run with /usr/bin/python3 -m unittest -v test_filter (from this folder), with QUILLON_BIN
set (ctest does that).
"""

import email.utils
import os
import re
import shutil
import tempfile
import time
import unittest

import peers
from peers import HOST, Quillon, mpop_fetch, split_note

MISSING = peers.missing_programs(peers.DOVECOT, peers.MPOP)
if not os.access(os.environ.get("QUILLON_BIN", ""), os.X_OK):
    MISSING.append("$QUILLON_BIN")
SKIP_REASON = ("end-to-end peers or programs missing (" + ", ".join(MISSING) + "); "
               "install the peers with: make test-deps, and run through ctest")

ME = "me@home.example"
NOW = email.utils.formatdate(localtime=True)


def message(sender, subject, body, to=ME, extra=""):
    return (f"From: {sender}\nTo: {to}\nDate: {NOW}\nSubject: {subject}\n{extra}\n"
            f"{body}\n").encode()


# (subject, message, expected place, expected note). Subjects are unique: they name the
# messages in what the client and --list-held show.
MAILBOX = [
    ("lunch on friday", message("Ann Friend <ann@friends.example>", "lunch on friday",
                                "See you at noon."),
     "inbox", "friendly: from a friend"),
    ("invoice 4711", message("Billing <billing@acme.example>", "invoice 4711",
                             "Your invoice is attached as text."),
     "inbox", "friendly: from a known company"),
    ("weekly digest", message("announce@lists.example", "weekly digest",
                              "Ten new posts this week.", to="subscribers@lists.example"),
     "inbox", "friendly: from an email list"),
    ("cheap watches", message("deals@spam.example", "cheap watches", "Buy now."),
     "hold", "bad: from a blacklisted sender (@spam.example)"),
    ("fucking deal", message("someone@stranger.example", "fucking deal", "Click."),
     "hold", "bad: offensive words in subject"),
    ("hello from carol", message("Carol <carol@stranger.example>", "hello from carol",
                                 "We met at the conference; here is my address."),
     "hold", "nice"),
    ("our spring sale", message("news@shop.example", "our spring sale",
                                "<html><body><a href=\"https://shop.example/sale\">Sale"
                                "</a></body></html>",
                                extra="Content-Type: text/html; charset=us-ascii\n"),
     "hold", "other: not plain text"),
]
# --list-held masks offensive words ("Expurgate" is on by default).
SHOWN = {"fucking deal": "******* deal"}
HELD_CATEGORY = {"cheap watches": "X", "******* deal": "X", "hello from carol": "N",
                 "our spring sale": "?"}


def subject_of(delivered):
    for line in delivered.split(b"\n\n", 1)[0].split(b"\n"):
        if line.lower().startswith(b"subject:"):
            return line[8:].strip().decode()
    return None


def note_lines(delivered):
    header = delivered.split(b"\n\n", 1)[0]
    return [line.decode() for line in header.split(b"\n")
            if line.startswith(b"X-Quillon-Analysis:")]


class UserData(Quillon):
    """Quillon with the user's own data in place before it starts: the lists are read
    at start-up."""

    def _start(self):
        for args in (["--add-me", ME], ["--add-friend", "ann@friends.example"],
                     ["--add-company", "acme.example"],
                     ["--add-list", "announce@lists.example"]):
            code, output = peers._run([self.binary, *args], env=self._env(), timeout=60)
            if code != 0:
                raise RuntimeError(f"quillon {' '.join(args)} failed ({code}):\n{output}")
        with open(os.path.join(self.home, "domains.re"), "w") as lists:
            lists.write("2\n1 0\t@spam.example\n")
        super()._start()


@unittest.skipIf(MISSING, SKIP_REASON)
class FilterThroughProxyTest(peers.DovecotTestCase):

    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="quillon-e2e-filter-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.fetches = 0
        type(self).users += 1
        self.user, self.password = f"filter{self.users}", f"pw{self.users} secret"
        self.dovecot.add_user(self.user, self.password)
        self.dovecot.deliver(self.user, message("ann@friends.example", "first mail", "hi"))
        self.program = UserData(accounts=[(self.user, HOST, self.dovecot.port)],
                                direct_listener=False)
        self.program.__enter__()
        self.addCleanup(self.program.__exit__, None, None, None)

    def command(self, *args, expect_code=0):
        code, output = peers._run([self.program.binary, *args], env=self.program._env(),
                                  timeout=60)
        self.assertEqual(code, expect_code, f"quillon {' '.join(args)}:\n{output}\n"
                                            f"{self.program.output()}")
        return output

    def fetch(self):
        self.fetches += 1
        out = os.path.join(self.dir, f"mpop{self.fetches}")
        login = Quillon.login_name(self.user, HOST, self.dovecot.port)
        code, output = mpop_fetch(HOST, self.program.pop3_port, login, self.password, out)
        self.assertEqual(code, 0, f"{output}\n{self.program.output()}")
        return {subject_of(m): m for m in peers.mpop_messages(out)}

    def held(self):
        """--list-held as {subject: (number, category, note)}."""
        rows = {}
        for line in self.command("--list-held").splitlines():
            fields = line.split("\t")
            if len(fields) >= 6:
                store, number, category, _, subject, note = fields[:6]
                rows[subject] = (f"{store}:{number}", category, note)
        return rows

    def server_subjects(self):
        return sorted(subject_of(m) for m in self.dovecot.maildir_messages(self.user))

    def test_friendly_mail_passes_the_rest_waits_in_hold(self):
        # The first session makes the store; its mail is a friend's.
        self.assertEqual(list(self.fetch()), ["first mail"])

        for _, text, _, _ in MAILBOX:
            self.dovecot.deliver(self.user, text)
        delivered = self.fetch()
        expected = {s for s, _, place, _ in MAILBOX if place == "inbox"} | {"first mail"}
        self.assertEqual(set(delivered), expected)
        for subject, _, place, note in MAILBOX:
            if place == "inbox":
                self.assertEqual(split_note(delivered[subject])[0].decode(),
                                 f"X-Quillon-Analysis: {note}", subject)

        held = self.held()
        self.assertEqual(set(held), set(HELD_CATEGORY))
        for subject, _, place, note in MAILBOX:
            if place == "hold":
                # The list shows the reason without its category word.
                reason = re.sub(r"^(bad|other): ", "", note)
                shown = SHOWN.get(subject, subject)
                self.assertEqual(held[shown][1:], (HELD_CATEGORY[shown], reason), subject)

        # Released, the nice message reaches the client at its next fetch.
        self.command("--release", held["hello from carol"][0])
        delivered = self.fetch()
        self.assertIn("hello from carol", delivered)
        self.assertEqual(note_lines(delivered["hello from carol"])[-1],
                         "X-Quillon-Analysis: user moved message to inbox.")
        self.assertNotIn("hello from carol", self.held())

        # Deleted, the blacklisted one leaves the server at the next logout.
        self.assertIn("cheap watches", self.server_subjects())
        self.command("--delete", held["cheap watches"][0])
        self.fetch()
        deadline = time.monotonic() + 10
        while "cheap watches" in self.server_subjects() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertNotIn("cheap watches", self.server_subjects())
        self.assertEqual(set(self.held()), {"******* deal", "our spring sale"})

        # A held number that does not exist is an error that changes nothing.
        self.command("--release", "999999", expect_code=1)
        self.assertEqual(set(self.held()), {"******* deal", "our spring sale"})


if __name__ == "__main__":
    unittest.main()
