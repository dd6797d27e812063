# `make run` and `make test` do the whole set-up on a fresh Debian 12 machine.

BUILD_PACKAGES := cmake make g++ ninja-build pkg-config libgtest-dev libgmock-dev googletest \
                  libbenchmark-dev bison libssl-dev
TEST_PACKAGES  := $(BUILD_PACKAGES) clang libclang-rt-14-dev \
                  python3 dovecot-core dovecot-pop3d fetchmail mpop openssl \
                  python3-aiosmtpd msmtp swaks \
                  python3-flufl.bounce golang-github-jhillyerd-enmime-dev \
                  libpython3.11-testsuite python3-dkim spamassassin

BUILD      ?= build
ASAN_BUILD ?= build-asan
FUZZ_BUILD ?= build-fuzz
TSAN_BUILD ?= build-tsan
FUZZ_SECONDS ?= 60
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
RUN_ARGS   ?=
BENCH_ARGS ?=

.PHONY: all run test build build-asan build-tsan deps test-deps test-plain test-asan test-tsan fuzz \
        clean bench-pop3 bench-filter bench-smtp

all: build

deps:
	@scripts/ensure-packages $(BUILD_PACKAGES)

test-deps:
	@scripts/ensure-packages $(TEST_PACKAGES)

build: deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS)

build-asan: test-deps
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DQUILLON_SANITIZE=ON -DQUILLON_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(ASAN_BUILD) -j $(JOBS)

run: build
	$(BUILD)/bin/quillon $(RUN_ARGS)

test-plain: test-deps build
	ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)

test-asan: build-asan
	ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
	  ctest --test-dir $(ASAN_BUILD) --output-on-failure -j $(JOBS)

# Only the programs whose threads share state are built with ThreadSanitizer.
TSAN_TESTS := FriendsThreadTest FilterChainTest

build-tsan: test-deps
	cmake -S . -B $(TSAN_BUILD) -G Ninja -DQUILLON_TSAN=ON -DQUILLON_BENCH=OFF \
	  $(CMAKE_ARGS)
	cmake --build $(TSAN_BUILD) -j $(JOBS) --target $(TSAN_TESTS)

test-tsan: build-tsan
	TSAN_OPTIONS=halt_on_error=1:exitcode=66 \
	  ctest --test-dir $(TSAN_BUILD) --output-on-failure -j $(JOBS) -R '^($(subst $() ,|,$(TSAN_TESTS)))\.'

# Each fuzz program runs FUZZ_SECONDS on a copy of its seed corpus (clang + libFuzzer).
fuzz: test-deps
	cmake -S . -B $(FUZZ_BUILD) -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DQUILLON_FUZZ=ON -DQUILLON_TESTS=OFF -DQUILLON_BENCH=OFF $(CMAKE_ARGS)
	cmake --build $(FUZZ_BUILD) -j $(JOBS) --target quillon_fuzz
	scripts/run-fuzz $(FUZZ_BUILD) $(FUZZ_SECONDS)

test: test-plain test-asan test-tsan fuzz

# mpop fetching 2,000 corpus messages directly from a private Dovecot and through the
# POP3 proxy, then 200 new ones (bench/pop3_fetch_bench.py; BENCH_ARGS e.g. --rounds 5).
bench-pop3: test-deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target quillon
	QUILLON_BIN=$(abspath $(BUILD))/bin/quillon /usr/bin/python3 bench/pop3_fetch_bench.py $(BENCH_ARGS)

# msmtp sending 500 corpus messages directly to a real SMTP server (aiosmtpd) and through
# the SMTP proxy, in clear and with STARTTLS (bench/smtp_send_bench.py; BENCH_ARGS e.g.
# --rounds 5).
bench-smtp: test-deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target quillon
	QUILLON_BIN=$(abspath $(BUILD))/bin/quillon /usr/bin/python3 bench/smtp_send_bench.py $(BENCH_ARGS)

# The whole filter chain over the real mail corpora with lists of 100 and 10,000 entries,
# beside the decoding alone (bench/FilterBench.cpp).
bench-filter: test-deps
	cmake -S . -B $(BUILD) -G Ninja $(CMAKE_ARGS)
	cmake --build $(BUILD) -j $(JOBS) --target FilterBench
	$(BUILD)/bin/FilterBench

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(TSAN_BUILD) $(FUZZ_BUILD)
