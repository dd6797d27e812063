# `make run` and `make test` do the whole set-up on a fresh Debian 12 machine.

BUILD_PACKAGES := cmake make g++ ninja-build pkg-config libgtest-dev libgmock-dev googletest \
                  libbenchmark-dev
TEST_PACKAGES  := $(BUILD_PACKAGES) \
                  python3 dovecot-core dovecot-pop3d fetchmail mpop openssl \
                  python3-flufl.bounce golang-github-jhillyerd-enmime-dev \
                  libpython3.11-testsuite python3-dkim spamassassin

BUILD      ?= build
ASAN_BUILD ?= build-asan
JOBS       ?= $(shell nproc)
CMAKE_ARGS ?=
RUN_ARGS   ?= --version

.PHONY: all run test build build-asan deps test-deps test-plain test-asan clean

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

test: test-plain test-asan

clean:
	rm -rf $(BUILD) $(ASAN_BUILD)
