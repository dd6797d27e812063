"""Real peers for the end-to-end tests: a private Dovecot POP3 server, the mpop and
fetchmail clients, the mail corpora shipped in Debian packages, and the quillon program.

Every peer runs from files in its own temporary folder on a free loopback port, so tests
may run in parallel with each other and with a system-wide mail server. Works as root
(mail owned by `nobody`) and as an ordinary user.

    with Dovecot() as server:
        server.add_user("ann", "secret")
        for name, message in corpus_messages():
            server.deliver("ann", message)
        code, output = mpop_fetch(HOST, server.port, "ann", "secret", folder + "/got")
        assert all(same_message(m, d) ...)   # see same_message for the exact rule

Standard library only; run with /usr/bin/python3.
"""

import glob
import grp
import os
import pwd
import json
import re
import select
import shlex
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

HOST = "127.0.0.1"

DOVECOT = "/usr/sbin/dovecot"
MPOP = "/usr/bin/mpop"
FETCHMAIL = "/usr/bin/fetchmail"

# The message corpora of Debian packages: (package, glob patterns).
CORPUS = [
    ("python3-flufl.bounce",
     ["/usr/lib/python3/dist-packages/flufl/bounce/tests/data/*.txt"]),
    ("golang-github-jhillyerd-enmime-dev",
     ["/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/mail/*.raw",
      "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/low-quality/*.raw",
      "/usr/share/gocode/src/github.com/jhillyerd/enmime/testdata/parts/*.raw"]),
    ("libpython3.11-testsuite",
     ["/usr/lib/python3.11/test/test_email/data/msg_*.txt"]),
    ("python3-dkim",
     ["/usr/lib/python3/dist-packages/dkim/tests/data/*.msg",
      "/usr/lib/python3/dist-packages/dkim/tests/data/*.message",
      "/usr/lib/python3/dist-packages/dkim/tests/data/*.message.*",
      "/usr/lib/python3/dist-packages/dkim/tests/data/*.mbox"]),
    ("spamassassin",
     ["/usr/share/doc/spamassassin/examples/sample-spam.txt",
      "/usr/share/doc/spamassassin/examples/sample-nonspam.txt"]),
]


def missing_programs(*paths):
    """The programs among `paths` that are not installed (as a list, empty if all are)."""
    return [p for p in paths if not os.access(p, os.X_OK)]


# --- ports -------------------------------------------------------------------------------

def free_port():
    """A loopback TCP port that was free a moment ago (bound to port 0, then released).

    Another process may take it before the caller binds it; Dovecot retries with a new port.
    """
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((HOST, 0))
        return s.getsockname()[1]


def wait_port(port, timeout=10.0, host=HOST, alive=None):
    """Waits until host:port accepts a connection. Returns True, or False after `timeout`
    seconds, or at once when the callable `alive` returns False (the server died)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if alive is not None and not alive():
            return False
        try:
            with socket.create_connection((host, port), timeout=0.5):
                return True
        except OSError:
            time.sleep(0.02)
    return False


def _listening_inodes(port):
    """The socket inodes listening on TCP port `port` of 127.0.0.1 (or of any address)."""
    inodes = set()
    with open("/proc/net/tcp") as f:
        next(f)
        for line in f:
            fields = line.split()
            address, local_port = fields[1].split(":")
            if (int(local_port, 16) == port and fields[3] == "0A"
                    and address in ("0100007F", "00000000")):
                inodes.add(fields[9])
    return inodes


def listens_on(pid, port):
    """True when process `pid` holds a socket listening on loopback TCP port `port`.
    Unlike a connection test, this cannot be fooled by another program on that port."""
    inodes = _listening_inodes(port)
    if not inodes:
        return False
    folder = f"/proc/{pid}/fd"
    try:
        fds = os.listdir(folder)
    except OSError:
        return False
    for fd in fds:
        try:
            target = os.readlink(os.path.join(folder, fd))
        except OSError:
            continue
        if target.startswith("socket:[") and target[8:-1] in inodes:
            return True
    return False


def wait_listening(process, port, timeout):
    """Waits until the subprocess.Popen `process` listens on loopback port `port`.
    Returns False if it exits first or after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if process.poll() is not None:
            return False
        if listens_on(process.pid, port):
            return True
        time.sleep(0.02)
    return False


# --- messages ----------------------------------------------------------------------------

def strip_mbox_from_line(message):
    """The message without a leading mbox "From " separator line, if it has one."""
    if message.startswith(b"From "):
        end = message.find(b"\n")
        return b"" if end < 0 else message[end + 1:]
    return message


def corpus_messages():
    """The real messages of the installed corpus packages, as sorted (name, bytes) pairs;
    name is "package/file". The leading mbox "From " line is stripped; malformed messages
    are kept. Empty if none of the packages is installed."""
    messages = []
    for package, patterns in CORPUS:
        files = set()
        for pattern in patterns:
            files.update(glob.glob(pattern))
        for path in sorted(files):
            with open(path, "rb") as f:
                data = strip_mbox_from_line(f.read())
            folder = os.path.basename(os.path.dirname(path))
            messages.append((f"{package}/{folder}/{os.path.basename(path)}", data))
    return messages


def pop3_delivered_form(original):
    """The bytes mpop writes to its Maildir for `original` dropped into Dovecot's Maildir:
    each CRLF becomes LF (a bare CR stays), and a message whose last byte is not LF gets
    one LF (an empty message becomes a single LF)."""
    message = strip_mbox_from_line(original).replace(b"\r\n", b"\n")
    if not message.endswith(b"\n"):
        message += b"\n"
    return message


# The trace field fetchmail writes: always these three lines.
_FETCHMAIL_RECEIVED = re.compile(
    rb"Received: from [^\n]*\n\tby [^\n]* \(fetchmail-[^\n]*\n\t[^\n]*\n")


def same_message(original, delivered):
    """True when `delivered` is exactly what mpop or fetchmail writes to a Maildir after
    fetching, over POP3 from Dovecot, the message `original` that was dropped into
    Dovecot's Maildir with Dovecot.deliver() (a leading mbox "From " line of `original`
    is ignored, as deliver() drops it).

    Along that path Dovecot sends bare LF as CRLF and keeps CRLF (and a bare CR), adds
    CRLF to a last line without a line end, and dot-stuffs; the client removes the
    dot-stuffing. Then:

    mpop (--received-header=off) writes pop3_delivered_form(original): every CRLF is
    turned into LF, a bare CR is kept, one LF is added when the message does not end in
    LF. Nothing else changes: no header is added or rewritten, trailing blank lines,
    8-bit bytes, NULs, lines that start with "." or "From " and long lines are kept.

    fetchmail (mda delivery, norewrite) writes that form with every CR removed, with one
    empty line appended when the message has no empty line (no body), and with a
    Received: field of its own ("Received: from HOST [ADDR]" plus folded lines naming
    "(fetchmail-VERSION)") inserted at the start of the header line that holds the first
    case-sensitive "Received:" of the header, or at the very top when the header holds
    none (a lower-case "received:" does not count). Not covered, so False: a message
    whose header is empty (fetchmail delivers a "Headerless mail" notice of its own
    instead), and one with an empty Status: or X-Mozilla-Status: field (fetchmail drops
    the field).
    """
    expected = pop3_delivered_form(original)
    if delivered == expected:
        return True
    expected = expected.replace(b"\r", b"")
    if expected.startswith(b"\n"):
        return False
    header_end = expected.find(b"\n\n")
    if header_end < 0:
        expected += b"\n"
        header_end = len(expected) - 2
    received = expected.find(b"Received:", 0, header_end)
    at = 0 if received < 0 else expected.rfind(b"\n", 0, received) + 1
    received = _FETCHMAIL_RECEIVED.match(delivered, at)
    return (received is not None and delivered[:at] == expected[:at]
            and delivered[received.end():] == expected[at:])


def maildir_files(maildir):
    """The paths of the messages in a Maildir (new/ and cur/), sorted by name."""
    paths = []
    for sub in ("new", "cur"):
        folder = os.path.join(maildir, sub)
        if os.path.isdir(folder):
            paths.extend(os.path.join(folder, n) for n in os.listdir(folder)
                         if not n.startswith("."))
    return sorted(paths, key=os.path.basename)


def read_maildir(maildir):
    """The bytes of every message in a Maildir (new/ and cur/), ordered by file name."""
    messages = []
    for path in maildir_files(maildir):
        with open(path, "rb") as f:
            messages.append(f.read())
    return messages


def make_maildir(path, uid=None, gid=None):
    """Creates an empty Maildir (tmp/, new/, cur/) at `path`, owned by uid:gid if given."""
    for sub in ("", "tmp", "new", "cur"):
        folder = os.path.join(path, sub)
        os.makedirs(folder, mode=0o700, exist_ok=True)
        if uid is not None:
            os.chown(folder, uid, gid)
    return path


def _group_alive(pgid):
    try:
        os.killpg(pgid, 0)
        return True
    except ProcessLookupError:
        return False
    except PermissionError:
        return True


# --- Dovecot -----------------------------------------------------------------------------

class Dovecot:
    """A private Dovecot POP3 server on a free loopback port, with its own users and
    Maildirs in a temporary folder. Use as a context manager:

        with Dovecot() as server:
            server.add_user("ann", "secret")
            server.deliver("ann", b"Subject: hi\\n\\nbody\\n")
            ... connect to 127.0.0.1:server.port ...
    """

    START_ATTEMPTS = 3

    def __init__(self, start_timeout=15.0, tls=None):
        self.port = None
        self.pop3s_port = None
        # (certificate file, key file): STLS on `port` and POP3S on `pop3s_port`.
        self._tls = tls
        self._startTimeout = start_timeout
        self._process = None
        self._users = {}
        self._sequence = 0
        self._dir = None
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            self._uid, self._gid = nobody.pw_uid, nobody.pw_gid
        else:
            self._uid, self._gid = os.getuid(), os.getgid()

    # lifecycle

    def __enter__(self):
        self._dir = tempfile.mkdtemp(prefix="quillon-dovecot-")
        # Mail processes run as the mail user and must reach the homes below.
        os.chmod(self._dir, 0o755)
        for sub in ("run", "state", "home", "users"):
            os.makedirs(os.path.join(self._dir, sub))
            os.chmod(os.path.join(self._dir, sub), 0o755)
        try:
            self._start()
        except BaseException:
            self._cleanup()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        self._cleanup()
        return False

    def _cleanup(self):
        if self._dir is not None:
            shutil.rmtree(self._dir, ignore_errors=True)
            self._dir = None

    def _start(self):
        # A free port may be taken between free_port() and Dovecot's bind; try again then.
        for _ in range(self.START_ATTEMPTS):
            self.port = free_port()
            self.pop3s_port = free_port() if self._tls else None
            conf = self._write_config()
            log = open(os.path.join(self._dir, "stderr.log"), "ab")
            try:
                self._process = subprocess.Popen(
                    [DOVECOT, "-F", "-c", conf], stdin=subprocess.DEVNULL,
                    stdout=log, stderr=log, start_new_session=True)
            finally:
                log.close()
            # A connection test would also succeed against another program that took
            # the port first.
            if wait_listening(self._process, self.port, self._startTimeout) and (
                    not self._tls or
                    wait_listening(self._process, self.pop3s_port, self._startTimeout)):
                return
            self.stop()
            if "Address already in use" not in self.log():
                break
        raise RuntimeError(f"Dovecot did not start on port {self.port}:\n{self.log()}")

    def stop(self):
        """Stops the server: SIGTERM to the master, then waits for it and for every
        process it started (its log process outlives it briefly). Safe to call twice."""
        if self._process is None:
            return
        process, self._process = self._process, None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=15)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
        # The master ran in a session of its own, and its children in its process group.
        deadline = time.monotonic() + 5
        while _group_alive(process.pid):
            if time.monotonic() > deadline:
                try:
                    os.killpg(process.pid, signal.SIGKILL)
                except ProcessLookupError:
                    pass
                break
            time.sleep(0.02)

    # configuration

    def _path(self, *parts):
        return os.path.join(self._dir, *parts)

    def _write_config(self):
        d = self._dir
        lines = [
            f"instance_name = quillon-e2e-{os.getpid()}-{os.path.basename(d)}",
            f"base_dir = {d}/run",
            f"state_dir = {d}/state",
            f"log_path = {d}/dovecot.log",
            "protocols = pop3",
            f"listen = {HOST}",
            *(["ssl = yes", f"ssl_cert = <{self._tls[0]}", f"ssl_key = <{self._tls[1]}",
               "ssl_dh = </usr/share/dovecot/dh.pem"] if self._tls else ["ssl = no"]),
            "disable_plaintext_auth = no",
            "auth_mechanisms = plain login apop",
            "auth_failure_delay = 0",
            "first_valid_uid = 1",
            "mail_location = maildir:~/Maildir",
            "pop3_uidl_format = %08Xu%08Xv",
            "passdb {",
            "  driver = passwd-file",
            f"  args = scheme=PLAIN username_format=%u {d}/users/%u",
            "}",
            "userdb {",
            "  driver = passwd-file",
            f"  args = username_format=%u {d}/users/%u",
            "}",
        ]
        chroot = []
        if os.geteuid() != 0:
            user = pwd.getpwuid(self._uid).pw_name
            group = grp.getgrgid(self._gid).gr_name
            lines += [f"default_internal_user = {user}",
                      f"default_internal_group = {group}",
                      f"default_login_user = {user}"]
            chroot = ["  chroot ="]
        lines += ["service pop3-login {",
                  *chroot,
                  "  inet_listener pop3 {",
                  f"    address = {HOST}",
                  f"    port = {self.port}",
                  "  }",
                  "  inet_listener pop3s {",
                  *([f"    address = {HOST}", f"    port = {self.pop3s_port}", "    ssl = yes"]
                    if self._tls else ["    port = 0"]),
                  "  }",
                  "}",
                  "service imap-login {",
                  *chroot,
                  "  inet_listener imap {",
                  "    port = 0",
                  "  }",
                  "  inet_listener imaps {",
                  "    port = 0",
                  "  }",
                  "}",
                  # Without the penalty listener a failed login is not slowed down.
                  "service anvil {",
                  *chroot,
                  "  unix_listener anvil-auth-penalty {",
                  "    mode = 0",
                  "  }",
                  "}"]
        conf = self._path("dovecot.conf")
        with open(conf, "w") as f:
            f.write("\n".join(lines) + "\n")
        return conf

    def _write_user(self, name, password):
        # One passwd-file per user (user:password:uid:gid:gecos:home:shell). Dovecot looks
        # at a file it has read before at most once a second, so a user added to a shared
        # file right after a login could stay unknown; a new file is read at first use.
        path = self._path("users", name)
        with open(path + ".new", "w") as f:
            f.write(f"{name}:{{PLAIN}}{password}:{self._uid}:{self._gid}::"
                    f"{self._home(name)}::\n")
        # Dovecot's auth process reads it as its own internal user, not as root; the
        # passwords are throw-away test passwords.
        os.chmod(path + ".new", 0o644)
        os.rename(path + ".new", path)

    def _home(self, user):
        return self._path("home", user)

    def maildir(self, user):
        """The path of the user's Maildir."""
        return os.path.join(self._home(user), "Maildir")

    # users and mail

    def add_user(self, name, password):
        """Adds a POP3 user with a plain-text password and an empty Maildir. Names are
        letters, digits and ._+@- (not starting with "."); passwords cannot hold ':' or
        a line end (the passwd-file format). A user is added once."""
        if not re.fullmatch(r"[A-Za-z0-9_+@-][A-Za-z0-9._+@-]*", name):
            raise ValueError(f"unusable user name: {name!r}")
        if any(c in password for c in ":\n\r"):
            raise ValueError("passwords cannot hold ':' or line ends")
        if name in self._users:
            raise ValueError(f"user {name} exists already")
        home = self._home(name)
        os.makedirs(home, mode=0o700)
        os.chown(home, self._uid, self._gid)
        make_maildir(self.maildir(name), self._uid, self._gid)
        self._write_user(name, password)
        self._users[name] = password

    def deliver(self, user, message):
        """Drops one message into the user's Maildir/new (written to tmp/, then renamed),
        without a leading mbox "From " line. Dovecot serves it at once, after the
        messages delivered before it. Returns its path."""
        if user not in self._users:
            raise KeyError(f"no such user: {user}")
        self._sequence += 1
        # Dovecot numbers new mail in the order of the file names: the padded sequence
        # keeps that the order of delivery.
        name = f"{int(time.time())}.P{os.getpid()}Q{self._sequence:08d}.quillon-e2e"
        maildir = self.maildir(user)
        tmp = os.path.join(maildir, "tmp", name)
        with open(tmp, "wb") as f:
            f.write(strip_mbox_from_line(message))
        os.chown(tmp, self._uid, self._gid)
        os.chmod(tmp, 0o600)
        new = os.path.join(maildir, "new", name)
        os.rename(tmp, new)
        return new

    def maildir_messages(self, user):
        """The bytes of every message still in the user's mailbox (cur/ and new/)."""
        return read_maildir(self.maildir(user))

    def log(self):
        """Dovecot's log (its log file, then anything it printed itself)."""
        text = ""
        for name in ("dovecot.log", "stderr.log"):
            try:
                with open(self._path(name), "r", errors="replace") as f:
                    text += f.read()
            except (OSError, TypeError):
                pass
        return text


# --- POP3 clients ------------------------------------------------------------------------

def _run(argv, env=None, timeout=120):
    result = subprocess.run(argv, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, env=env, timeout=timeout)
    return result.returncode, result.stdout.decode("utf-8", "replace")


def _client_env(home):
    env = {k: v for k, v in os.environ.items() if k in ("PATH", "LANG", "LC_ALL", "TZ")}
    env["HOME"] = home
    return env


def mpop_fetch(host, port, user, password, out_maildir, keep=True, uidls_file=None,
               extra=(), timeout=120):
    """Fetches every message (not only new ones) of a POP3 mailbox with mpop into the
    Maildir `out_maildir` (created if missing), in plain text with USER/PASS.

    mpop adds no header of its own, so its Maildir holds the messages as the server sent
    them (see same_message). `keep` leaves them on the server, otherwise they are
    deleted. `uidls_file` defaults to a file next to the Maildir. `extra` is added to the
    command line. Returns (exit code, stdout and stderr).
    """
    make_maildir(out_maildir)
    parent = os.path.dirname(os.path.abspath(out_maildir))
    if uidls_file is None:
        uidls_file = os.path.join(parent, os.path.basename(out_maildir) + ".uidls")
    argv = [MPOP,
            f"--host={host}", f"--port={port}", f"--user={user}",
            # printf, not echo: dash's echo would expand backslashes in the password.
            "--passwordeval=printf '%s\\n' " + shlex.quote(password),
            "--auth=user", "--tls=off",
            f"--keep={'on' if keep else 'off'}", "--only-new=off",
            f"--uidls-file={uidls_file}", "--received-header=off",
            f"--delivery=maildir,{out_maildir}", "-q", *extra]
    return _run(argv, env=_client_env(parent), timeout=timeout)


def mpop_messages(maildir):
    """The messages mpop delivered into `maildir`, in no particular order."""
    return read_maildir(maildir)


def _rc_string(text):
    # The rc file's lexer does not take a backslash-escaped quote inside a string.
    if any(c in text for c in '"\\\n'):
        raise ValueError(f"cannot put {text!r} into a fetchmail rc string")
    return '"' + text + '"'


def fetchmail_fetch(host, port, user, password, out_maildir, keep=True, extra_poll=(),
                    extra_args=(), timeout=120):
    """Fetches every message of a POP3 mailbox with fetchmail into the Maildir
    `out_maildir` (created if missing) through an mda that stores each message as it is
    handed over. The rc file (mode 0600) and FETCHMAILHOME live next to the Maildir.

    fetchmail always adds a Received: header of its own (see same_message); addresses in
    headers are not rewritten (norewrite) and malformed headers are accepted. Exit code 0
    means mail was fetched, 1 means there was none. `extra_poll` holds more rc words for
    the poll entry, `extra_args` more command-line words. Returns (exit code, output).
    """
    out_maildir = os.path.abspath(out_maildir)
    if re.search(r"[^\w/.+-]", out_maildir, re.ASCII):
        raise ValueError(f"{out_maildir!r}: the mda command needs a plain folder name")
    make_maildir(out_maildir)
    parent = os.path.dirname(out_maildir)
    home = os.path.join(parent, os.path.basename(out_maildir) + ".fetchmail")
    os.makedirs(home, mode=0o700, exist_ok=True)
    # fetchmail hands the mda command to /bin/sh: one file per message, written to tmp/
    # and renamed into new/.
    mda_command = (f"f=$(mktemp {out_maildir}/tmp/fetchmail.XXXXXXXXXX) && "
                   f"cat > $f && mv $f {out_maildir}/new/")
    rc = os.path.join(home, "fetchmailrc")
    lines = [
        "set no syslog",
        f"poll {host} protocol pop3 port {port} auth password uidl bad-header accept "
        + " ".join(extra_poll),
        f"  user {_rc_string(user)} password {_rc_string(password)}",
        f"  {'keep' if keep else 'nokeep'} fetchall norewrite",
        # Without this fetchmail insists on STLS even when the server does not offer it.
        "  sslproto ''",
        f"  mda {_rc_string(mda_command)}",
    ]
    fd = os.open(rc, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    with os.fdopen(fd, "w") as f:
        f.write("\n".join(lines) + "\n")
    os.chmod(rc, 0o600)
    env = _client_env(home)
    env["FETCHMAILHOME"] = home
    # As root, fetchmail's lock file is /var/run/fetchmail.pid whatever FETCHMAILHOME
    # says: a second fetchmail running at the same time would refuse to run.
    argv = [FETCHMAIL, "-f", rc, "--pidfile", os.path.join(home, "fetchmail.pid"),
            "--idfile", os.path.join(home, "fetchids"), "--nosyslog", "--nodetach",
            *extra_args]
    return _run(argv, env=env, timeout=timeout)


def fetchmail_messages(maildir):
    """The messages fetchmail delivered into `maildir`, in no particular order."""
    return read_maildir(maildir)


# --- the registry hive files -------------------------------------------------------------

HIVE_HEADER = "QUILLON-REGISTRY 1"
POP3_PROXY_KEY = "SOFTWARE\\Brevant\\Quillon\\Settings\\POP3Proxy"
# The filter settings with which every message goes to the inbox: nice and other mail
# pass, and the bad checks that need no switch-on are off (the chain still runs).
PASS_ALL_FILTER_SETTINGS = {
    "Software\\Brevant\\Quillon\\Settings\\Nice Filter": {"Action": "inbox"},
    "Software\\Brevant\\Quillon\\Settings\\Questionable Filter": {"Action": "inbox"},
    "Software\\Brevant\\Quillon\\Settings\\Evil Filter": {
        "Offensive Word Check": 0, "My Word Check": 0, "From Check": 0,
        "Domain Blacklist Check": 0},
}
STATISTICS_KEY = "Software\\Brevant\\Quillon\\Statistics"


def hive_path(home, hive="HKEY_CURRENT_USER"):
    """The hive file of `hive` for the data folder (QUILLON_HOME) `home`."""
    return os.path.join(home, "registry", hive + ".reg")


def _hive_quote(data):
    """`data` (str or bytes) as a quoted hive string (docs/registry-format.md)."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    out = ['"']
    for byte in data:
        if byte == 0x5C:
            out.append("\\\\")
        elif byte == 0x22:
            out.append('\\"')
        elif byte < 0x20 or byte == 0x7F:
            out.append(f"\\x{byte:02x}")
        else:
            # Other bytes stand as they are; hive text is handled here as Latin-1, one
            # character per byte.
            out.append(chr(byte))
    out.append('"')
    return "".join(out)


def _hive_unquote(text):
    """The bytes of a quoted hive string (with its quotes)."""
    if len(text) < 2 or text[0] != '"' or text[-1] != '"':
        raise ValueError(f"not a quoted hive string: {text!r}")
    raw = text[1:-1].encode("latin-1")
    out = bytearray()
    i = 0
    while i < len(raw):
        if raw[i] == 0x5C and i + 1 < len(raw):
            if raw[i + 1] in b'\\"':
                out.append(raw[i + 1])
                i += 2
                continue
            if raw[i + 1] in b"xX" and i + 3 < len(raw):
                out.append(int(raw[i + 2:i + 4], 16))
                i += 4
                continue
        out.append(raw[i])
        i += 1
    return bytes(out)


def _hive_value_text(value):
    """The `type:data` text of a Python value: str -> sz, int -> dword, float -> the
    8-byte double, bytes -> hex."""
    if isinstance(value, bool):
        value = int(value)
    if isinstance(value, str):
        return "sz:" + _hive_quote(value)
    if isinstance(value, int):
        if not 0 <= value <= 0xFFFFFFFF:
            raise ValueError(f"not a DWORD: {value}")
        return f"dword:{value:08x}"
    if isinstance(value, float):
        value = struct.pack("<d", value)
    if isinstance(value, (bytes, bytearray)):
        return "hex:" + ",".join(f"{b:02x}" for b in value)
    raise TypeError(f"no registry type for {value!r}")


def _parse_hive_value(data):
    """The Python value of a value line's `type:data`: sz and expand -> bytes, dword ->
    int, hex -> bytes (a double's eight bytes stay bytes; see hive_double),
    hex(N) -> (N, bytes)."""
    kind, _, rest = data.partition(":")
    if kind in ("sz", "expand"):
        return _hive_unquote(rest)
    if kind == "dword":
        return int(rest, 16)
    raw = bytes(int(b, 16) for b in rest.split(",")) if rest else b""
    if kind == "hex":
        return raw
    match = re.fullmatch(r"hex\((\d+)\)", kind)
    if match:
        return int(match.group(1)), raw
    raise ValueError(f"unknown registry value type: {data!r}")


def _hive_lines(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("latin-1").splitlines()
    except FileNotFoundError:
        return [HIVE_HEADER, "; written by the end-to-end harness"]


_VALUE_LINE = re.compile(r'\s*("(?:[^"\\]|\\.)*"|@)=(.*)$')


def read_hive(path):
    """The values of a hive file: {key path in lower case: {value name in lower case:
    value}} (see _parse_hive_value for the value forms). Missing file: {}."""
    if not os.path.exists(path):
        return {}
    keys = {}
    current = None
    for line in _hive_lines(path)[1:]:
        stripped = line.strip()
        if not stripped or stripped[0] in ";#":
            continue
        if stripped.startswith("[") and stripped.endswith("]"):
            current = keys.setdefault(stripped[1:-1].lower(), {})
            continue
        match = _VALUE_LINE.fullmatch(stripped)
        if match is None or current is None:
            raise ValueError(f"{path}: unreadable hive line {line!r}")
        name = match.group(1)
        name = "@" if name == "@" else _hive_unquote(name).decode("latin-1")
        current[name.lower()] = _parse_hive_value(match.group(2))
    return keys


def hive_value(path, key, name, default=None):
    """One value of a hive file (see read_hive), or `default`."""
    return read_hive(path).get(key.lower(), {}).get(name.lower(), default)


def hive_double(value, default=0.0):
    """A double stored as 8-byte REG_BINARY (the statistics' running times)."""
    if isinstance(value, (bytes, bytearray)) and len(value) == 8:
        return struct.unpack("<d", value)[0]
    return default


def write_hive_values(path, key, values):
    """Sets `values` ({name: value}, see _hive_value_text) in key `key` of the hive file
    `path`, making the file and the key when missing. Key and value names compare without
    regard to case, as the program reads them. The file is replaced atomically; run it
    while no quillon uses the hive (the program re-reads a changed file at its next
    registry call, but a change of its own at the same moment could win)."""
    lines = _hive_lines(path)
    if not lines or lines[0].strip() != HIVE_HEADER:
        raise ValueError(f"{path} is not a registry hive file")
    section = None
    for i, line in enumerate(lines):
        stripped = line.strip()
        if stripped.startswith("[") and stripped.endswith("]") and \
                stripped[1:-1].lower() == key.lower():
            section = i
            break
    if section is None:
        lines += ["", f"[{key}]"]
        section = len(lines) - 1
    end = section + 1
    while end < len(lines) and not lines[end].strip().startswith("["):
        end += 1
    body = lines[section + 1:end]
    for name, value in values.items():
        text = f"{_hive_quote(name)}={_hive_value_text(value)}"
        for j, line in enumerate(body):
            match = _VALUE_LINE.fullmatch(line.strip())
            if match and match.group(1) != "@" and \
                    _hive_unquote(match.group(1)).decode("latin-1").lower() == name.lower():
                body[j] = text
                break
        else:
            while body and not body[-1].strip():
                body.pop()
            body.append(text)
    if end < len(lines):
        body.append("")
    lines[section + 1:end] = body
    os.makedirs(os.path.dirname(path), exist_ok=True)
    tmp = f"{path}.tmp-harness-{os.getpid()}"
    with open(tmp, "wb") as f:
        f.write(("\n".join(lines) + "\n").encode("latin-1"))
        f.flush()
        os.fsync(f.fileno())
    os.replace(tmp, path)


# --- the proxy program -------------------------------------------------------------------

class Quillon:
    """The quillon program ($QUILLON_BIN) run headless with a private QUILLON_HOME and its
    POP3 proxy on a free loopback port. Accounts given to the constructor are registered
    before the start:

        with Quillon(accounts=[("ann", HOST, dovecot.port)]) as proxy:
            login = Quillon.login_name("ann", HOST, dovecot.port)
            mpop_fetch(HOST, proxy.pop3_port, login, "secret", out)

    Leaving the block stops it with SIGTERM; a program still running after
    STOP_TIMEOUT seconds fails the test (AssertionError). The SMTP proxy takes a free port
    unless smtp_port names one, so that parallel runs never contend for 2025. With
    direct_listener False the second POP3 listener (DirectProxyPort, 110 by default) is
    switched off in the registry before the start,
    so that only the test's own port is taken. log_file turns the spool log on (see
    enable_log). settings ({key: {name: value}}) are written into the registry before the
    start, e.g. PASS_ALL_FILTER_SETTINGS."""

    STOP_TIMEOUT = 15
    START_TIMEOUT = 15

    def __init__(self, accounts=(), binary=None, smtp_port=0, direct_listener=True,
                 log_file=None, settings=None, tls="none", tls_ca=None):
        self.binary = binary or os.environ.get("QUILLON_BIN")
        if not self.binary or not os.access(self.binary, os.X_OK):
            raise RuntimeError(f"QUILLON_BIN does not name the quillon program: "
                               f"{self.binary!r}")
        self.accounts = list(accounts)
        self.smtp_port = smtp_port
        self.direct_listener = direct_listener
        self.log_file = log_file
        self.settings = dict(settings or {})
        # The TLS mode of the accounts registered without one, and of servers without an
        # account ("ServerTLS"); None leaves both to the program's defaults.
        self.tls = tls
        # A CA file trusted for every server ("TLSCAFile").
        self.tls_ca = tls_ca
        self.home = None
        self.pop3_port = None
        self._process = None

    @staticmethod
    def login_name(user, host, port):
        """The user name a mail client logs in with for the account user@host:port."""
        return f"{user}/{host}:{port}"

    def _env(self):
        env = dict(os.environ)
        env["QUILLON_HOME"] = self.home
        return env

    def __enter__(self):
        self.home = tempfile.mkdtemp(prefix="quillon-home-")
        try:
            for account in self.accounts:
                self.add_account(*account)
            if not self.direct_listener:
                write_hive_values(self.hive(), POP3_PROXY_KEY, {"DirectProxyListener": 0})
            if self.tls is not None:
                write_hive_values(self.hive(), POP3_PROXY_KEY, {"ServerTLS": self.tls})
            if self.tls_ca is not None:
                write_hive_values(self.hive(), POP3_PROXY_KEY, {"TLSCAFile": self.tls_ca})
            if self.log_file is not None:
                self.enable_log(self.log_file)
            for key, values in self.settings.items():
                write_hive_values(self.hive(), key, values)
            self._start()
        except BaseException:
            self._cleanup()
            raise
        return self

    def __exit__(self, *exc):
        try:
            self.stop()
        finally:
            self._cleanup()
        return False

    def _cleanup(self):
        if self.home is not None:
            shutil.rmtree(self.home, ignore_errors=True)
            self.home = None

    def _start(self):
        self.pop3_port = free_port()
        argv = [self.binary, "--headless", "--pop3-port", str(self.pop3_port)]
        if self.smtp_port is not None:
            argv += ["--smtp-port", str(self.smtp_port)]
        with open(os.path.join(self.home, "quillon.out"), "wb") as out:
            self._process = subprocess.Popen(argv, env=self._env(), stdin=subprocess.DEVNULL,
                                             stdout=out, stderr=subprocess.STDOUT)
        if not wait_listening(self._process, self.pop3_port, self.START_TIMEOUT):
            output = self.output()
            self.stop()
            raise RuntimeError(f"quillon did not listen on port {self.pop3_port}:\n{output}")

    def stop(self):
        """Stops the program with SIGTERM and returns its exit code; raises
        AssertionError (after killing it) when it has not exited within STOP_TIMEOUT
        seconds. Safe to call twice."""
        if self._process is None:
            return None
        process, self._process = self._process, None
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(timeout=self.STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait()
                raise AssertionError(
                    f"quillon did not exit within {self.STOP_TIMEOUT} s of SIGTERM")
        return process.returncode

    def kill(self):
        """Kills the program with SIGKILL, as a crash would, and waits for its end; its
        data folder stays for restart()."""
        process, self._process = self._process, None
        if process is not None:
            if process.poll() is None:
                process.kill()
            process.wait()

    def restart(self):
        """Starts the program again on the same data folder, on a new free port."""
        if self._process is not None:
            raise RuntimeError("quillon is still running")
        self._start()

    def add_account(self, user, host, port, *options):
        """Registers the account user@host:port with `quillon --add-account` and the
        TLS `options` (e.g. "--tls", "pop3s", "--tls-ca", FILE; without any, the mode
        `tls` given to the constructor); returns the user name a mail client logs in
        with. Raises RuntimeError if it fails."""
        if not options and self.tls is not None:
            options = ("--tls", self.tls)
        code, output = _run([self.binary, "--add-account", f"{user}@{host}:{port}",
                             *options], env=self._env(), timeout=30)
        if code != 0:
            raise RuntimeError(f"quillon --add-account failed ({code}):\n{output}")
        return self.login_name(user, host, port)

    def account_command(self, option, user, host, port):
        """Runs `quillon OPTION user@host:port` (--disable-account, --enable-account,
        --remove-account, --add-account); raises RuntimeError if it fails."""
        code, output = _run([self.binary, option, f"{user}@{host}:{port}"],
                            env=self._env(), timeout=30)
        if code != 0:
            raise RuntimeError(f"quillon {option} failed ({code}):\n{output}")
        return output

    def output(self):
        """What the program printed so far."""
        with open(os.path.join(self.home, "quillon.out"), "r", errors="replace") as f:
            return f.read()

    def wait_output(self, text, timeout=10.0):
        """What the program printed, once it holds `text`: the listening lines come after
        the POP3 port listens. Raises AssertionError after `timeout` seconds without it."""
        deadline = time.monotonic() + timeout
        while True:
            output = self.output()
            if text in output:
                return output
            if time.monotonic() > deadline or self._process is None or \
                    self._process.poll() is not None:
                raise AssertionError(f"quillon did not print {text!r}:\n{output}")
            time.sleep(0.02)

    def hive(self, name="HKEY_CURRENT_USER"):
        """The path of a hive file of this program's registry."""
        return hive_path(self.home, name)

    def statistics(self):
        """The values of the proxy's statistics key ({lower-case name: value})."""
        return read_hive(self.hive()).get(STATISTICS_KEY.lower(), {})

    def enable_log(self, path, level=0xFFFF):
        """Turns the proxy's spool log on, written to `path` at log level `level` (every
        category by default), by writing LogFileName and LogLevel into the registry's
        POP3Proxy settings. The proxy reads them when it starts: call it before the start
        (or pass log_file to the constructor); for a running program it takes effect at
        the next start."""
        self.log_file = path
        if self.home is None:
            return
        write_hive_values(self.hive(), POP3_PROXY_KEY,
                          {"LogFileName": os.path.abspath(path), "LogLevel": level})


class ProxyHost(Quillon):
    """The proxy engine in the test host $QUILLON_PROXY_HOST (tests/e2e/ProxyHost.cpp)
    instead of the quillon program: its examine call-back holds every message whose
    Subject contains one of `hold_subjects` (note "X-Quillon-Analysis: held for the
    test") and files the rest in the inbox (note HOST_NOTE), and its stdin takes the
    commands that move messages between fetches. Accounts are registered with the real
    `quillon --add-account` ($QUILLON_BIN) in the same QUILLON_HOME before the start; the
    host never takes port 110.

        with ProxyHost(accounts=[("ann", HOST, port)], hold_subjects=["[hold]"]) as host:
            mpop_fetch(HOST, host.pop3_port, Quillon.login_name("ann", HOST, port), ...)
            held = [m for m in host.messages() if m["location"] == MS_HOLD]
            host.release(held[0]["uidl"])

    Leaving the block shuts the host down in order ("quit"); a host that has not
    answered "bye" and exited within STOP_TIMEOUT seconds fails the test."""

    def __init__(self, accounts=(), hold_subjects=(), host_binary=None, binary=None,
                 log_file=None, tls="none", tls_ca=None):
        super().__init__(accounts, binary=binary, log_file=log_file, tls=tls, tls_ca=tls_ca)
        self.host_binary = host_binary or os.environ.get("QUILLON_PROXY_HOST")
        if not self.host_binary or not os.access(self.host_binary, os.X_OK):
            raise RuntimeError(f"QUILLON_PROXY_HOST does not name the test host: "
                               f"{self.host_binary!r}")
        self.hold_subjects = list(hold_subjects)
        self._pending = b""

    def _start(self):
        argv = [self.host_binary, "--pop3-port", "0"]
        for subject in self.hold_subjects:
            argv += ["--hold-subject", subject]
        with open(os.path.join(self.home, "quillon.out"), "wb") as out:
            self._process = subprocess.Popen(argv, env=self._env(), stdin=subprocess.PIPE,
                                             stdout=subprocess.PIPE, stderr=out)
        self._pending = b""
        try:
            line = self._read_line(self.START_TIMEOUT)
        except (AssertionError, OSError) as error:
            line = f"({error})"
        if not line.startswith("ready "):
            self._kill()
            raise RuntimeError(f"the proxy host did not start: {line!r}\n{self.output()}")
        self.pop3_port = int(line.split()[1])

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self._process.stdout.fileno()
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            if left <= 0:
                raise AssertionError(f"the proxy host did not answer within {timeout} s")
            ready, _, _ = select.select([fd], [], [], left)
            if not ready:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError("the proxy host closed its output:\n" + self.output())
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return line.decode("utf-8", "replace")

    def command(self, line, timeout=30):
        """Sends one command line and returns the host's one-line answer."""
        self._process.stdin.write(line.encode("utf-8") + b"\n")
        self._process.stdin.flush()
        return self._read_line(timeout)

    def messages(self):
        """Every message of every store: dicts with "store" (int), "uidl" (str),
        "location" (int, MS_* below) and "subject" (bytes)."""
        answer = self.command("list")
        if not answer.startswith("ok "):
            raise AssertionError(f"list failed: {answer}")
        entries = json.loads(answer[3:])
        for entry in entries:
            entry["subject"] = entry["subject"].encode("latin-1")
        return entries

    def release(self, uidl):
        """Moves a message to the inbox, as the user would in the review window."""
        answer = self.command(f"release {uidl}")
        if answer != "ok":
            raise AssertionError(f"release {uidl}: {answer}")

    def delete(self, uidl):
        """Marks a message deleted, as the user would in the review window: the proxy
        deletes it from the server at the next client's QUIT."""
        answer = self.command(f"delete {uidl}")
        if answer != "ok":
            raise AssertionError(f"delete {uidl}: {answer}")

    @staticmethod
    def _close_pipes(process):
        for pipe in (process.stdin, process.stdout):
            try:
                pipe.close()
            except OSError:
                pass

    def _kill(self):
        process, self._process = self._process, None
        if process is None:
            return
        if process.poll() is None:
            process.kill()
            process.wait()
        self._close_pipes(process)

    def stop(self):
        """Shuts the host down with "quit"; raises AssertionError unless it answers
        "bye" and exits with 0. Returns the exit code. Safe to call twice."""
        if self._process is None:
            return None
        process = self._process
        try:
            answer = self.command("quit", timeout=self.STOP_TIMEOUT)
            process.wait(timeout=self.STOP_TIMEOUT)
        except (AssertionError, OSError, subprocess.TimeoutExpired) as error:
            self._kill()
            raise AssertionError(f"the proxy host did not shut down: {error}\n"
                                 f"{self.output()}")
        self._process = None
        self._close_pipes(process)
        if answer != "bye":
            raise AssertionError(f"the proxy host answered {answer!r} to quit")
        # After "bye" only the process's own exit is left: a sanitizer report ends it
        # with another code.
        if process.returncode != 0:
            raise AssertionError(f"the proxy host exited with {process.returncode}:\n"
                                 f"{self.output()}")
        return process.returncode


# Message locations (MSSTATUS) as the test host lists them.
MS_NEW, MS_DELETED, MS_JAIL, MS_HOLD, MS_INBOX, MS_DELIVERED = 1, 2, 3, 4, 5, 6
HOST_NOTE = b"X-Quillon-Analysis: passed by the test host"
HELD_NOTE = b"X-Quillon-Analysis: held for the test"
SKIPPED_NOTE = b"X-Quillon-Analysis: Skipped because synchronizing new message store"


def split_note(delivered):
    """Takes apart a message a client delivered to its Maildir after fetching it through
    the proxy: returns (note line without its line end, the message without that line),
    where the note is the last line of the header (the line before the first empty line,
    or the last line of a message without one), or (None, delivered) when that line is
    not an "X-Quillon-Analysis:" line. Line ends are LF, as mpop and fetchmail write
    them."""
    if delivered.startswith(b"\n"):
        return None, delivered
    end = delivered.find(b"\n\n")
    end = len(delivered) if end < 0 else end + 1
    start = delivered.rfind(b"\n", 0, end - 1) + 1
    line = delivered[start:end - 1] if delivered[end - 1:end] == b"\n" else delivered[start:end]
    if not line.startswith(b"X-Quillon-Analysis:"):
        return None, delivered
    return line, delivered[:start] + delivered[end:]


class DovecotTestCase(unittest.TestCase):
    """Base of the tests that share one Dovecot per class (`cls.dovecot`) and the corpus
    (`cls.corpus`); each test makes its own users."""

    @classmethod
    def setUpClass(cls):
        cls.corpus = corpus_messages()
        cls.dovecot = Dovecot()
        cls.dovecot.__enter__()
        cls.users = 0

    @classmethod
    def tearDownClass(cls):
        cls.dovecot.__exit__(None, None, None)
