# Quillmoot: top-level entry points.  See README.md.
BUILD   ?= build
JOBS    ?= $(shell nproc)
CMAKE_FLAGS ?=
# ccache, when the machine has it, speeds up rebuilds in several trees.
LAUNCHER := $(shell command -v ccache >/dev/null 2>&1 && echo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)

.PHONY: all deps build run test bench fuzz asan tsan soak clean

all: build

deps:
	@QUIL_BUILD=$(BUILD) ./tools/install-deps

$(BUILD)/build.ninja:
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo $(LAUNCHER) $(CMAKE_FLAGS)

build: deps $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

# Starts the server on the demo site in ./site, listening on localhost.
# The first run writes site/quil.set with webPort=127.0.0.1:$(RUN_PORT)
# (change the port there) and a top page that leads to the conference.
RUN_PORT ?= 8080
run: build
	@mkdir -p site/html
	@grep -qis '^[[:space:]]*webPort[[:space:]]*=' site/quil.set || \
	  echo "webPort=127.0.0.1:$(RUN_PORT)" >> site/quil.set
	@[ -e site/html/index.html ] || printf '%s\n' '<!DOCTYPE html>' \
	  '<html><head><meta http-equiv="refresh" content="0; url=/Quil"><title>Quillmoot</title></head>' \
	  '<body><p><a href="/Quil">Enter the conference</a></p></body></html>' > site/html/index.html
	@sed -n 's/^[[:space:]]*[wW][eE][bB][pP][oO][rR][tT][[:space:]]*=[[:space:]]*//p' site/quil.set | \
	  tr ', ' '\n\n' | sed -n '/./{p;q;}' | \
	  sed -e 's/^127\.0\.0\.1:/localhost:/' -e 's/^\([0-9]*\)$$/localhost:\1/' | \
	  sed 's|.*|Quillmoot is at http://&/  (stop it with Ctrl-C or SIGTERM)|'
	cd site && ../$(BUILD)/quil -server

test: build
	ctest --test-dir $(BUILD) -j $(JOBS) --output-on-failure --timeout 600

bench: build
	@for b in $(BUILD)/bench/bench_*; do echo "== $$b"; $$b || exit 1; done
	@echo "== bench/http_static.sh"; bench/http_static.sh $(BUILD)/quil
	@echo "== bench/discussion_page.sh"; bench/discussion_page.sh $(BUILD)/quil
	@echo "== bench/posting.sh"; bench/posting.sh $(BUILD)/quil

# libFuzzer harnesses, built with clang in their own tree; FUZZ_TIME seconds each.
FUZZ_TIME ?= 60
fuzz: deps
	CC=clang CXX=clang++ cmake -S . -B $(BUILD)-fuzz -G Ninja -DQUIL_FUZZ=ON \
	  -DQUIL_TESTS=OFF -DQUIL_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo
	cmake --build $(BUILD)-fuzz -j $(JOBS)
	@for f in $(BUILD)-fuzz/tests/fuzz/fuzz_*; do \
	  echo "== $$f"; mkdir -p $(BUILD)-fuzz/corpus/$$(basename $$f); \
	  $$f -max_total_time=$(FUZZ_TIME) $(BUILD)-fuzz/corpus/$$(basename $$f) || exit 1; done

# The whole test suite under AddressSanitizer and UBSan.
asan: deps
	cmake -S . -B $(BUILD)-asan -G Ninja -DQUIL_SANITIZE=ON -DQUIL_BENCH=OFF
	cmake --build $(BUILD)-asan -j $(JOBS)
	ctest --test-dir $(BUILD)-asan -j $(JOBS) --output-on-failure

# The store and server tests under ThreadSanitizer: any report fails the run.
TSAN_OPTIONS ?= halt_on_error=1 exitcode=66 second_deadlock_stack=1
tsan: deps
	cmake -S . -B $(BUILD)-tsan -G Ninja -DQUIL_TSAN=ON -DQUIL_BENCH=OFF $(LAUNCHER)
	cmake --build $(BUILD)-tsan -j $(JOBS) --target test_store test_server quil quil-dbtool
	cd $(BUILD)-tsan && TSAN_OPTIONS="$(TSAN_OPTIONS)" ./tests/test_store
	cd $(BUILD)-tsan && TSAN_OPTIONS="$(TSAN_OPTIONS)" ./tests/test_server

# Long crash and corruption runs: kill -9 of the real server (SOAK_ROUNDS
# rounds), of a saving store process, and damaged files (SOAK_CASES cases).
SOAK_ROUNDS ?= 1000
SOAK_CASES ?= 3000
soak: build
	QUIL_CRASH_ROUNDS=$(SOAK_ROUNDS) $(BUILD)/tests/test_server \
	  --gtest_also_run_disabled_tests --gtest_filter='ServerCrash.DISABLED_KillNineSoak'
	QUIL_CRASH_ROUNDS=$(SOAK_ROUNDS) $(BUILD)/tests/test_store \
	  --gtest_also_run_disabled_tests --gtest_filter='BgSaveCrash.DISABLED_KillNineSoak'
	QUIL_CORRUPT_CASES=$(SOAK_CASES) $(BUILD)/tests/test_server \
	  --gtest_also_run_disabled_tests --gtest_filter='Corruption.DISABLED_RandomCorruptionSoak'
	QUIL_CRASH_ROUNDS=$(SOAK_ROUNDS) QUIL_BINARY_DIR=$(CURDIR)/$(BUILD) \
	  $(BUILD)/tests/test_exchange --gtest_filter='CrashTest.*'

clean:
	rm -rf $(BUILD) $(BUILD)-fuzz $(BUILD)-asan $(BUILD)-tsan
