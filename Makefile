# Entry points; see README.md.
JOBS ?= 2
CMAKE ?= cmake

.PHONY: bootstrap build demo test test-asan test-tsan test-clang bench clean format fuzz fuzz-smoke examples check-device device-objects

bootstrap:
	./scripts/bootstrap

build: bootstrap
	$(CMAKE) -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build -j $(JOBS)

demo: build
	./build/tools/sonora demo --out build/demo-rendered.wav
	mkdir -p build/demo
	./build/tools/sonora duplex --out-dir build/demo

test: build
	cd build && ctest --output-on-failure -j $(JOBS)

test-asan: bootstrap
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLIN_SANITIZE=address -DMARLIN_BENCH=OFF
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/.lsan-suppressions UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

# ThreadSanitizer checks how threads meet: the suites of code that runs on one thread only (the
# sound-wave decoders, the gain control) are left out there, where they took four of its five
# minutes; they run in every other build.
TSAN_CTEST_ARGS ?= -E '^(ToneReceiver|MfReceiver|KxAgc)'

test-tsan: bootstrap
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLIN_SANITIZE=thread -DMARLIN_BENCH=OFF
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS) $(TSAN_CTEST_ARGS)

# The same suite built with clang (warning-free there too); CLANG_CTEST_ARGS narrows the run
# (CI: -L unit, the integration suites having run in three builds already). The sanitizer and clang builds leave
# the benchmark programs out: they time nothing there.
test-clang: bootstrap
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLIN_BENCH=OFF
	$(CMAKE) --build build-clang -j $(JOBS)
	cd build-clang && ctest --output-on-failure -j $(JOBS) $(CLANG_CTEST_ARGS)

bench: build
	./build/bench/marlin_bench
	./build/bench/ns_quality_bench
	./build/bench/aec_quality_bench
	./build/bench/aec_speech_bench
	./build/bench/aec_cost_bench
	./build/bench/agc_bench
	./build/bench/sound_robustness_bench
	./build/bench/hw_latency_bench
	if [ -f build/bindings/napi/sonora.node ]; then node bench/napi_cost.js build; fi

# libFuzzer targets of fuzz/ (clang, ASan + UBSan), FUZZ_SECONDS each on a copy of their corpus.
FUZZ_SECONDS ?= 60
FUZZ_TARGETS := pile_buffer_fuzz append_fuzz tone_receiver_fuzz mf_receiver_fuzz voiceenc_fuzz

fuzz: bootstrap
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DMARLIN_SANITIZE=address -DMARLIN_FUZZ=ON -DBUILD_TESTING=OFF
	$(CMAKE) --build build-fuzz -j $(JOBS) --target $(FUZZ_TARGETS)
	FUZZ_SECONDS=$(FUZZ_SECONDS) ./fuzz/run.sh build-fuzz $(FUZZ_TARGETS)

fuzz-smoke:
	$(MAKE) fuzz FUZZ_SECONDS=10

# The engine's sources compiled against the platform's NDK headers (API 11 and 12, clang and gcc),
# as a device build does; OHOS_SDK_ROOT holds api11/ and api12/.
OHOS_SDK_ROOT ?= ../shared/ohos-sdk
check-device:
	JOBS=$(JOBS) ./scripts/check-device-headers $(OHOS_SDK_ROOT)

# The device build's CMake configuration without an OHOS toolchain: the engine's object files
# against the NDK headers in build-device/ (see README, "Building for a device").
device-objects:
	$(CMAKE) -S . -B build-device -DMARLIN_OHOS_SDK=$(abspath $(OHOS_SDK_ROOT))/api12
	$(CMAKE) --build build-device -j $(JOBS)

# Installs build/ into a temporary prefix, then builds and runs examples/ against it.
examples: build
	CMAKE=$(CMAKE) JOBS=$(JOBS) ./scripts/check-examples

format:
	git ls-files '*.h' '*.cc' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-clang build-fuzz build-device
