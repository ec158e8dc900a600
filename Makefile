# Quick start: `make test` (build and run every test), `make demo` (as root:
# a client, a server and a web host in network namespaces).
BUILD ?= build/release
ASAN_BUILD ?= build/asan
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: all setup build test asan fuzz demo bench clean

all: build

.setup-done: scripts/setup.sh
	./scripts/setup.sh
	touch $@

setup: .setup-done

$(BUILD)/build.ninja: CMakeLists.txt | .setup-done
	cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo

build: .setup-done $(BUILD)/build.ninja
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

asan: .setup-done
	cmake -S . -B $(ASAN_BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTU_SANITIZE=ON -DVANTU_BENCH=OFF
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	cd $(ASAN_BUILD) && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
		ctest --output-on-failure -j $(JOBS) -LE e2e $(CTEST_ARGS)

# Each fuzz target for FUZZ_SECONDS from the seed corpora (clang, libFuzzer).
FUZZ_SECONDS ?= 60
fuzz: .setup-done
	./fuzz/run.sh $(FUZZ_SECONDS)

demo: build
	./scripts/demo.sh $(BUILD)

bench: build
	./bench/run.sh $(BUILD)

clean:
	rm -rf build .setup-done
