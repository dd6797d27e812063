"""Sending mail through the SMTP proxy against sending it directly, in one run.

    make bench-smtp
or, with quillon built and the peers installed (make test-deps):
    QUILLON_BIN=build/bin/quillon /usr/bin/python3 bench/smtp_send_bench.py \
        [--messages 500] [--rounds 3]

A real SMTP server (aiosmtpd on a loopback port, keeping what it accepts in memory)
takes MESSAGES messages of the real mail corpus of the Debian packages (repeated to the
count), each sent by its own msmtp run: directly to the server, and through `quillon
--headless` (a new SMTP session per message: the proxy relays the conversation, strips
its own headers, records the envelope and learns the addressee, asking off, so each
session ends with a friend made and the friends file saved). The same is measured over
TLS: msmtp with STARTTLS directly, and in clear to the proxy while the proxy reaches the
server with STARTTLS (its certificate checked against a CA made for the run). Each
figure is the median of ROUNDS runs; an untimed direct run warms up first.

Each msmtp run waits about 48 ms of its own after the server's final reply before it
sends QUIT (seen with strace, the same in both paths), so the per-message difference is
printed beside the ratio: it is what the proxy adds.

Goal: through the proxy at most 1.3x direct. The last line holds the two ratios (proxy /
direct), in clear and over TLS.
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
import smtp_sink  # noqa: E402
from peers import HOST, Quillon  # noqa: E402
from test_pop3_tls import make_certificates  # noqa: E402

MSMTP = "/usr/bin/msmtp"
SENDER = "bench@home.example"


def corpus(count):
    """`count` corpus messages with CR LF line ends (lines msmtp takes as they are)."""
    messages = []
    for _, data in peers.corpus_messages():
        data = data.replace(b"\r\n", b"\n")
        if b"\n\n" in data and max(len(line) for line in data.split(b"\n")) <= 900:
            messages.append(data.replace(b"\n", b"\r\n"))
    if not messages:
        raise SystemExit("no corpus messages: install the peers with make test-deps")
    return [messages[i % len(messages)] for i in range(count)]


def send_all(port, messages, tls_ca=None):
    """Seconds to send every message with its own msmtp run, one addressee each."""
    tls = ["--tls=off"] if tls_ca is None else ["--tls=on", "--tls-starttls=on",
                                                f"--tls-trust-file={tls_ca}"]
    argv = [MSMTP, f"--host={HOST}", f"--port={port}", f"--from={SENDER}", "--auth=off",
            *tls, "--set-from-header=off", "--set-date-header=off",
            "--set-msgid-header=off", "--"]
    start = time.perf_counter()
    for i, data in enumerate(messages):
        result = subprocess.run(argv + [f"to{i % 50}@bench.example"], input=data,
                                capture_output=True)
        if result.returncode != 0:
            raise SystemExit(f"msmtp failed ({result.returncode}): {result.stderr.decode()}")
    return time.perf_counter() - start


def proxy_port(program):
    marker = "SMTP proxy listening on 127.0.0.1:"
    try:
        output = program.wait_output(marker)
    except AssertionError as error:
        raise SystemExit(f"quillon started no SMTP proxy: {error}")
    return int(output.split(marker)[1].split()[0])


def measure(messages, rounds, sink, folder, tls):
    """(direct, proxied) medians in seconds, one fresh proxy data folder per round."""
    ca = os.path.join(folder, "ca.pem") if tls else None
    direct, proxied = [], []
    send_all(sink.port, messages[:20], ca)  # warm-up
    for _ in range(rounds):
        before = len(sink.taken())
        direct.append(send_all(sink.port, messages, ca))
        program = Quillon(tls="stls" if tls else "none", tls_ca=ca, smtp_port=0,
                          direct_listener=False,
                          settings={"Software\\Brevant\\Quillon\\Settings":
                                    {"Ask before add addressees to Friends": 0}})
        with program:
            program.add_account("bench", HOST, 110, "--tls", "stls" if tls else "none",
                                "--smtp", f"{HOST}:{sink.port}")
            proxied.append(send_all(proxy_port(program), messages))
        if len(sink.taken()) != before + 2 * len(messages):
            raise SystemExit("the server did not get every message")
    return statistics.median(direct), statistics.median(proxied)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--messages", type=int, default=500)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    missing = peers.missing_programs(MSMTP)
    if missing or not smtp_sink.available():
        raise SystemExit("missing: " + ", ".join(missing + ["python3-aiosmtpd"]) +
                         " (make test-deps)")
    messages = corpus(args.messages)
    size = sum(len(m) for m in messages)
    print(f"{len(messages)} messages, {size / 1e6:.1f} MB, one msmtp run each, "
          f"median of {args.rounds} rounds")
    folder = tempfile.mkdtemp(prefix="quillon-bench-smtp-")
    try:
        make_certificates(folder)
        ratios = []
        for tls in (False, True):
            cert = (os.path.join(folder, "right.pem"), os.path.join(folder, "right.key"))
            with smtp_sink.SMTPSink(tls=cert if tls else None) as sink:
                direct, proxied = measure(messages, args.rounds, sink, folder, tls)
            label = "STARTTLS" if tls else "in clear"
            print(f"{label:9}  direct {direct:7.2f} s ({direct / len(messages) * 1e3:5.1f} ms"
                  f"/message)  through the proxy {proxied:7.2f} s "
                  f"({proxied / len(messages) * 1e3:5.1f} ms/message, "
                  f"{(proxied - direct) / len(messages) * 1e3:+.1f} ms)")
            ratios.append(proxied / direct)
        print(f"ratio proxy/direct: in clear {ratios[0]:.2f}x, STARTTLS {ratios[1]:.2f}x "
              f"(goal <= 1.3x)")
    finally:
        shutil.rmtree(folder, True)


if __name__ == "__main__":
    main()
