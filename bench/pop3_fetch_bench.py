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

Goals: first session <= 2x direct, later session <= 1.2x direct. The last line holds
the two ratios (proxy / direct): first-session, then later-session.
"""

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..",
                                "tests", "e2e"))
import peers  # noqa: E402
from peers import HOST, Dovecot, Quillon, mpop_fetch  # noqa: E402

USER, PASSWORD = "bench", "bench secret"


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

    def fetch(self, port, login, uidls_source=None, expect=None):
        """Fetches with a fresh copy of `uidls_source` (None: an empty uidls file, so
        every message is fetched); returns (seconds, the uidls file afterwards)."""
        self.runs += 1
        run = os.path.join(self.folder, f"run{self.runs}")
        os.makedirs(run)
        uidls = os.path.join(run, "uidls")
        if uidls_source is not None:
            shutil.copyfile(uidls_source, uidls)
        out = os.path.join(run, "maildir")
        start = time.perf_counter()
        code, output = mpop_fetch(HOST, port, login, PASSWORD, out, uidls_file=uidls,
                                  extra=("--only-new=on",), timeout=1800)
        seconds = time.perf_counter() - start
        if code != 0:
            raise RuntimeError(f"mpop failed ({code}) on port {port}:\n{output}")
        got = len(peers.maildir_files(out))
        if expect is not None and got != expect:
            raise RuntimeError(f"mpop fetched {got} messages on port {port}, not {expect}")
        shutil.rmtree(out)
        return seconds, uidls


def seed(server, messages, start, count):
    for i in range(start, start + count):
        server.deliver(USER, messages[i % len(messages)])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=2000)
    parser.add_argument("--new", type=int, default=200)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args()

    missing = peers.missing_programs(peers.DOVECOT, peers.MPOP)
    if missing:
        sys.exit(f"missing {', '.join(missing)}; install the peers with: make test-deps")
    corpus = [message for _, message in peers.corpus_messages()]
    if not corpus:
        sys.exit("no mail corpus package installed; install them with: make test-deps")
    if not os.access(os.environ.get("QUILLON_BIN", ""), os.X_OK):
        sys.exit("QUILLON_BIN does not name the quillon program (make bench-pop3 sets it)")

    folder = scratch_folder()
    try:
        fetcher = Fetcher(folder)
        with Dovecot() as server:
            server.add_user(USER, PASSWORD)
            seed(server, corpus, 0, options.messages)
            total = options.messages
            size = sum(os.path.getsize(p) for p in peers.maildir_files(server.maildir(USER)))
            print(f"mailbox: {total} messages, {size / 1e6:.1f} MB "
                  f"(corpus of {len(corpus)} messages repeated)")
            fetcher.fetch(server.port, USER, expect=total)  # warms Dovecot's caches

            direct_first, proxy_first = [], []
            direct_uidls = proxy_uidls = None
            programs = []
            try:
                for _ in range(options.rounds):
                    seconds, direct_uidls = fetcher.fetch(server.port, USER, expect=total)
                    direct_first.append(seconds)
                    program = Quillon(accounts=[(USER, HOST, server.port)],
                                      direct_listener=False,
                                      settings=peers.PASS_ALL_FILTER_SETTINGS)
                    program.__enter__()
                    programs.append(program)
                    login = Quillon.login_name(USER, HOST, server.port)
                    seconds, proxy_uidls = fetcher.fetch(program.pop3_port, login,
                                                         expect=total)
                    proxy_first.append(seconds)
                # Later sessions go through the last proxy, whose store has seen it all.
                for program in programs[:-1]:
                    program.__exit__(None, None, None)
                programs = programs[-1:]
                program = programs[0]
                login = Quillon.login_name(USER, HOST, server.port)

                direct_later, proxy_later = [], []
                for _ in range(options.rounds):
                    seed(server, corpus, total, options.new)
                    total += options.new
                    fetcher.fetch(server.port, USER, uidls_source=direct_uidls,
                                  expect=options.new)  # warms Dovecot's caches
                    seconds, next_direct = fetcher.fetch(server.port, USER,
                                                         uidls_source=direct_uidls,
                                                         expect=options.new)
                    direct_later.append(seconds)
                    seconds, proxy_uidls = fetcher.fetch(program.pop3_port, login,
                                                         uidls_source=proxy_uidls,
                                                         expect=options.new)
                    proxy_later.append(seconds)
                    direct_uidls = next_direct
            finally:
                for program in programs:
                    program.__exit__(None, None, None)
    finally:
        shutil.rmtree(folder, ignore_errors=True)

    def line(label, direct, proxy, count):
        d, p = statistics.median(direct), statistics.median(proxy)
        print(f"{label}: {count} messages; direct {d:.3f} s ({count / d:.0f} msg/s), "
              f"proxy {p:.3f} s ({count / p:.0f} msg/s), ratio {p / d:.2f} "
              f"[direct runs {', '.join(f'{x:.3f}' for x in direct)}; "
              f"proxy runs {', '.join(f'{x:.3f}' for x in proxy)}]")
        return p / d

    first = line("first session", direct_first, proxy_first, options.messages)
    later = line("later session", direct_later, proxy_later, options.new)
    print("goals: first session <= 2.00x, later session <= 1.20x")
    print(f"ratio proxy/direct: first {first:.2f} later {later:.2f}")


if __name__ == "__main__":
    main()
