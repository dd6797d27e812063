"""POP3 fetch through the proxy against a direct fetch of the same mail, in one run.

    make bench-pop3
or, with quillon built and the peers installed (make test-deps):
    QUILLON_BIN=build/bin/quillon /usr/bin/python3 bench/pop3_fetch_bench.py \
        [--messages 2000] [--new 200] [--rounds 5]

A private Dovecot on a loopback port holds MESSAGES messages cut from the real mail
corpus of the Debian packages (the corpus repeated, so sizes are those of real mail).
mpop fetches them all directly from Dovecot and through `quillon --headless` (the
proxy's first session on a new store: STAT, UIDL, LIST and TOP of every message before
the client is answered, every message examined by the filter chain, set to pass all
mail, then every RETR relayed with the note inserted). Then NEW more
messages arrive and mpop fetches only those, directly and through the proxy (a later
session: the proxy lists the mailbox again and downloads the tops of the new mail).
Each mpop run starts from its own copy of a uidls file, so the direct and the proxied
fetch always get the same messages; an untimed direct fetch warms Dovecot's caches
first. Each figure is the median of ROUNDS runs (a new proxy data folder per
first-session run; one more batch of new mail per later-session round).

The same is measured over TLS: mpop fetches over POP3S directly, and through the proxy
in clear while the proxy reaches the server over POP3S (its certificate checked against
a CA made for the run).

Goals: first session <= 2x direct, later session <= 1.2x direct; over TLS first <= 1.6x,
later <= 1.1x. The last line holds the four ratios (proxy / direct): first-session and
later-session in clear, then over TLS.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                "tests", "e2e"))
import peers  # noqa: E402
from peers import HOST, Dovecot, Quillon, mpop_fetch  # noqa: E402

USER, TLS_USER, PASSWORD = "bench", "benchtls", "bench secret"


def scratch_folder():
    # mpop writes every message it gets to a Maildir; on tmpfs that costs the same
    # little for both fetches instead of a disk flush per message.
    base = "/dev/shm" if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK) \
        else None
    return tempfile.mkdtemp(prefix="quillon-bench-", dir=base)


class Fetcher:
    """Timed mpop runs into fresh Maildirs under one scratch folder."""

    def __init__(self, folder):
        self.folder = folder
        self.runs = 0

    def fetch(self, port, login, uidls_source=None, expect=None, extra=()):
        """Fetches with a fresh copy of `uidls_source` (None: an empty uidls file, so
        every message is fetched), `extra` added to mpop's options; returns (seconds,
        the uidls file afterwards)."""
        self.runs += 1
        run = os.path.join(self.folder, f"run{self.runs}")
        os.makedirs(run)
        uidls = os.path.join(run, "uidls")
        if uidls_source is not None:
            shutil.copyfile(uidls_source, uidls)
        out = os.path.join(run, "maildir")
        start = time.perf_counter()
        code, output = mpop_fetch(HOST, port, login, PASSWORD, out, uidls_file=uidls,
                                  extra=("--only-new=on", *extra), timeout=1800)
        seconds = time.perf_counter() - start
        if code != 0:
            raise RuntimeError(f"mpop failed ({code}) on port {port}:\n{output}")
        got = len(peers.maildir_files(out))
        if expect is not None and got != expect:
            raise RuntimeError(f"mpop fetched {got} messages on port {port}, not {expect}")
        shutil.rmtree(out)
        return seconds, uidls


def seed(server, user, messages, start, count):
    for i in range(start, start + count):
        server.deliver(user, messages[i % len(messages)])


class Row:
    """One way of reaching the server, measured directly and through the proxy: the
    user and port, mpop's extra options for the direct fetch, and the options of the
    proxy's account."""

    def __init__(self, name, user, port, direct_extra=(), account_options=()):
        self.name = name
        self.user = user
        self.port = port
        self.direct_extra = tuple(direct_extra)
        self.account_options = tuple(account_options)
        self.times = {"direct first": [], "proxy first": [], "direct later": [],
                      "proxy later": []}

    def start_proxy(self):
        # Every message passes the filter, so that the client gets all it fetches.
        program = Quillon(accounts=[(self.user, HOST, self.port, *self.account_options)],
                          direct_listener=False, settings=peers.PASS_ALL_FILTER_SETTINGS)
        program.__enter__()
        return program

    def login(self):
        return Quillon.login_name(self.user, HOST, self.port)


def measure_first(row, fetcher, total, rounds, programs):
    """First sessions: each on a new proxy; returns the uidls files of the last round."""
    fetcher.fetch(row.port, row.user, expect=total, extra=row.direct_extra)  # warms caches
    direct_uidls = proxy_uidls = None
    for _ in range(rounds):
        seconds, direct_uidls = fetcher.fetch(row.port, row.user, expect=total,
                                              extra=row.direct_extra)
        row.times["direct first"].append(seconds)
        programs.append(row.start_proxy())
        seconds, proxy_uidls = fetcher.fetch(programs[-1].pop3_port, row.login(),
                                             expect=total)
        row.times["proxy first"].append(seconds)
    return direct_uidls, proxy_uidls


def measure_later(row, fetcher, server, corpus, total, options, program, uidls):
    """Later sessions through `program`, whose store has seen everything so far."""
    direct_uidls, proxy_uidls = uidls
    for _ in range(options.rounds):
        seed(server, row.user, corpus, total, options.new)
        total += options.new
        fetcher.fetch(row.port, row.user, uidls_source=direct_uidls, expect=options.new,
                      extra=row.direct_extra)  # warms Dovecot's caches
        seconds, next_direct = fetcher.fetch(row.port, row.user, uidls_source=direct_uidls,
                                             expect=options.new, extra=row.direct_extra)
        row.times["direct later"].append(seconds)
        seconds, proxy_uidls = fetcher.fetch(program.pop3_port, row.login(),
                                             uidls_source=proxy_uidls, expect=options.new)
        row.times["proxy later"].append(seconds)
        direct_uidls = next_direct


def measure(row, server, corpus, options, fetcher):
    seed(server, row.user, corpus, 0, options.messages)
    programs = []
    try:
        uidls = measure_first(row, fetcher, options.messages, options.rounds, programs)
        for program in programs[:-1]:
            program.__exit__(None, None, None)
        programs = programs[-1:]
        measure_later(row, fetcher, server, corpus, options.messages, options, programs[0],
                      uidls)
    finally:
        for program in programs:
            program.__exit__(None, None, None)


def make_certificates(folder):
    """A CA and a server certificate for 127.0.0.1 signed by it (throw-away keys)."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
           "-days", "2"]
    for request in (["-keyout", "ca.key", "-out", "ca.pem", "-subj", "/CN=bench CA"],
                    ["-keyout", "server.key", "-out", "server.pem", "-subj", "/CN=localhost",
                     "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                     "-CA", "ca.pem", "-CAkey", "ca.key"]):
        subprocess.run(["openssl", "req", "-x509", *key, *request], cwd=folder, check=True,
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    for name in os.listdir(folder):
        os.chmod(os.path.join(folder, name), 0o644)
    os.chmod(folder, 0o755)


def line(label, direct, proxy, count):
    d, p = statistics.median(direct), statistics.median(proxy)
    print(f"{label}: {count} messages; direct {d:.3f} s ({count / d:.0f} msg/s), "
          f"proxy {p:.3f} s ({count / p:.0f} msg/s), ratio {p / d:.2f} "
          f"[direct runs {', '.join(f'{x:.3f}' for x in direct)}; "
          f"proxy runs {', '.join(f'{x:.3f}' for x in proxy)}]")
    return p / d


def check_setup():
    missing = peers.missing_programs(peers.DOVECOT, peers.MPOP, "/usr/bin/openssl")
    if missing:
        sys.exit(f"missing {', '.join(missing)}; install the peers with: make test-deps")
    corpus = [message for _, message in peers.corpus_messages()]
    if not corpus:
        sys.exit("no mail corpus package installed; install them with: make test-deps")
    if not os.access(os.environ.get("QUILLON_BIN", ""), os.X_OK):
        sys.exit("QUILLON_BIN does not name the quillon program (make bench-pop3 sets it)")
    return corpus


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--new", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()
    corpus = check_setup()

    folder = scratch_folder()
    try:
        make_certificates(folder)
        ca = os.path.join(folder, "ca.pem")
        fetcher = Fetcher(folder)
        tls = (os.path.join(folder, "server.pem"), os.path.join(folder, "server.key"))
        with Dovecot(tls=tls) as server:
            rows = [Row("", USER, server.port, account_options=("--tls", "none")),
                    Row("TLS ", TLS_USER, server.pop3s_port,
                        ("--tls=on", "--tls-starttls=off", f"--tls-trust-file={ca}"),
                        ("--tls", "pop3s", "--tls-ca", ca))]
            for row in rows:
                server.add_user(row.user, PASSWORD)
                measure(row, server, corpus, options, fetcher)
            size = sum(os.path.getsize(p) for p in peers.maildir_files(server.maildir(USER)))
            print(f"mailbox: {options.messages} messages at first, "
                  f"{size / 1e6:.1f} MB at the end (corpus of {len(corpus)} messages repeated)")
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    ratios = []
    for row in rows:
        t = row.times
        ratios.append(line(f"{row.name}first session", t["direct first"], t["proxy first"],
                           options.messages))
        ratios.append(line(f"{row.name}later session", t["direct later"], t["proxy later"],
                           options.new))
    print("goals: first session <= 2.00x, later session <= 1.20x; "
          "over TLS (mpop with TLS directly, the proxy's upstream over TLS): "
          "first <= 1.60x, later <= 1.10x")
    print(f"ratio proxy/direct: first {ratios[0]:.2f} later {ratios[1]:.2f} "
          f"tls-first {ratios[2]:.2f} tls-later {ratios[3]:.2f}")


if __name__ == "__main__":
    main()
