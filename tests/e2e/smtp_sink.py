"""A real SMTP server for the end-to-end tests and the SMTP benchmark: aiosmtpd (Debian's
python3-aiosmtpd, run by /usr/bin/python3) on a free loopback port, keeping every
message it accepts in memory.

    with SMTPSink(tls=("right.pem", "right.key"), users={"ann": "secret"}) as sink:
        ... send to HOST:sink.port ...
        sink.taken()  # [SSent(sender, recipients, data, login)], data as it arrived,
                      # login the user name of the session's AUTH (None without)

STARTTLS is offered when `tls` names a certificate and key; AUTH PLAIN and LOGIN are
offered (after STARTTLS when there is TLS) when `users` maps user names to passwords,
and only those log in. `refuse_rcpt` addresses get 550 to RCPT; a message to one of
`refuse_data` gets 554 after its final ".". Standard library and aiosmtpd only.
"""

import collections
import logging
import ssl
import threading
import warnings

import peers

try:
    from aiosmtpd.controller import Controller
    from aiosmtpd.smtp import AuthResult
except ImportError:  # the tests say what is missing
    Controller = None

# aiosmtpd warns about its own use of a deprecated field and logs every session that a
# client breaks off (a refused certificate) with a traceback: the tests check outcomes.
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")
logging.getLogger("mail.log").setLevel(logging.CRITICAL)

SSent = collections.namedtuple("SSent", "sender recipients data login")


def available():
    return Controller is not None


class _Handler:
    def __init__(self, sink):
        self.sink = sink

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.sink.refuse_rcpt:
            return "550 5.1.1 <%s>: recipient refused" % address
        envelope.rcpt_tos.append(address)
        return "250 2.1.5 OK"

    async def handle_DATA(self, server, session, envelope):
        if any(r.lower() in self.sink.refuse_data for r in envelope.rcpt_tos):
            return "554 5.7.1 message refused"
        login = session.auth_data if session.authenticated else None
        with self.sink.lock:
            self.sink.messages.append(SSent(envelope.mail_from, list(envelope.rcpt_tos),
                                            envelope.original_content, login))
        return "250 2.0.0 OK: queued"


class SMTPSink:
    def __init__(self, tls=None, users=None, refuse_rcpt=(), refuse_data=()):
        self.tls = tls
        self.users = dict(users or {})
        self.refuse_rcpt = {a.lower() for a in refuse_rcpt}
        self.refuse_data = {a.lower() for a in refuse_data}
        self.messages = []
        self.logins = []  # (mechanism, user, accepted) of every AUTH
        self.lock = threading.Lock()
        self.port = None
        self._controller = None

    def _authenticate(self, server, session, envelope, mechanism, auth_data):
        user = auth_data.login.decode("utf-8", "replace")
        password = auth_data.password.decode("utf-8", "replace")
        accepted = self.users.get(user) == password
        with self.lock:
            self.logins.append((mechanism, user, accepted))
        if not accepted:
            return AuthResult(success=False, handled=False)  # aiosmtpd answers 535
        return AuthResult(success=True, auth_data=user)

    def __enter__(self):
        if Controller is None:
            raise RuntimeError("aiosmtpd is missing (python3-aiosmtpd)")
        options = {"decode_data": False, "data_size_limit": 64 * 1024 * 1024}
        if self.tls is not None:
            context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
            context.load_cert_chain(*self.tls)
            options["tls_context"] = context
        if self.users:
            options["authenticator"] = self._authenticate
            options["auth_require_tls"] = self.tls is not None
        else:
            options["auth_require_tls"] = False
        for _ in range(5):
            self.port = peers.free_port()
            controller = Controller(_Handler(self), hostname=peers.HOST, port=self.port,
                                    ready_timeout=10, **options)
            try:
                controller.start()
            except OSError:
                continue
            self._controller = controller
            return self
        raise RuntimeError("the SMTP sink found no free port")

    def __exit__(self, *exc):
        if self._controller is not None:
            self._controller.stop()
            self._controller = None
        return False

    def taken(self):
        """The messages accepted so far (a copy)."""
        with self.lock:
            return list(self.messages)
