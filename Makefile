# Set-up and checks. `make test` and `make demo` work on a fresh machine:
# what is missing is installed first (Debian packages, only when missing).

BUILD      ?= build
SAN_BUILD  ?= build-sanitize
FUZZ_BUILD ?= build-fuzz
JOBS       ?= 2
FUZZ_SECONDS ?= 60
PREFIX     ?= /usr/local

PACKAGES      = cmake make g++ libgtest-dev libgmock-dev libbenchmark-dev
FUZZ_PACKAGES = clang libclang-rt-14-dev

SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

define install_missing
	@missing=""; for p in $(1); do dpkg -s $$p >/dev/null 2>&1 || missing="$$missing $$p"; done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
endef

.PHONY: all deps fuzz-deps build test test-sanitize demo bench fuzz install clean

all: build

deps:
	$(call install_missing,$(PACKAGES))

fuzz-deps:
	$(call install_missing,$(FUZZ_PACKAGES))

build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_INSTALL_PREFIX=$(PREFIX)
	cmake --build $(BUILD) -j$(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

test-sanitize: deps
	cmake -S . -B $(SAN_BUILD) -DCMAKE_BUILD_TYPE=Debug -DBRONTAL_SANITIZE=ON
	cmake --build $(SAN_BUILD) -j$(JOBS)
	cd $(SAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j$(JOBS)

demo: build
	./demo/run-demo $(BUILD)

bench: build
	$(BUILD)/bench/brontal_bench

fuzz: deps fuzz-deps
	cmake -S . -B $(FUZZ_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRONTAL_FUZZ=ON -DBRONTAL_TESTS=OFF
	cmake --build $(FUZZ_BUILD) -j$(JOBS) --target transfer_fuzzer
	mkdir -p $(FUZZ_BUILD)/corpus
	$(FUZZ_BUILD)/fuzz/transfer_fuzzer -max_total_time=$(FUZZ_SECONDS) -max_len=70000 $(FUZZ_BUILD)/corpus fuzz/seeds

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD) $(SAN_BUILD) $(FUZZ_BUILD)
