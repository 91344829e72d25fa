# Entry points; see README.md.
JOBS ?= 2
CMAKE ?= cmake

.PHONY: bootstrap build demo test test-asan test-tsan test-clang bench clean format

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
	$(CMAKE) -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLIN_SANITIZE=address
	$(CMAKE) --build build-asan -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 LSAN_OPTIONS=suppressions=$(CURDIR)/.lsan-suppressions UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS)

test-tsan: bootstrap
	$(CMAKE) -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMARLIN_SANITIZE=thread
	$(CMAKE) --build build-tsan -j $(JOBS)
	cd build-tsan && TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
	  ctest --output-on-failure -j $(JOBS)

# The same suite built with clang (warning-free there too).
test-clang: bootstrap
	CC=clang CXX=clang++ $(CMAKE) -S . -B build-clang -DCMAKE_BUILD_TYPE=RelWithDebInfo
	$(CMAKE) --build build-clang -j $(JOBS)
	cd build-clang && ctest --output-on-failure -j $(JOBS)

bench: build
	./build/bench/marlin_bench
	./build/bench/ns_quality_bench
	./build/bench/aec_quality_bench
	./build/bench/agc_bench

format:
	git ls-files '*.h' '*.cc' | xargs clang-format -i

clean:
	rm -rf build build-asan build-tsan build-clang
