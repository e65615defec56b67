# Short commands for the CMake build. The build folders live under build/.
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
CMAKE ?= cmake

RELEASE_DIR := build/release
TEST_DIR := build/test
BENCH_DIR := build/bench
EXAMPLE_DIR := build/example
WINDOWS_DIR := build/windows
WINDOWS_HOST_DIR := build/windows-host
FUZZ_DIR := build/fuzz
COVERAGE_DIR := build/coverage
TSAN_DIR := build/tsan
PACKAGE_DIR := build/package
WINDOWS_PACKAGE_DIR := build/windows-package
FUZZ_SECONDS ?= 60
PREFIX ?= /usr/local
# Installs the Debian packages that a target needs and the machine lacks
# (nothing, and no package manager call, when everything is there).
SETUP ?= bash tools/setup.sh

.PHONY: all setup build run test tsan bench clean windows test-windows fuzz coverage format-check docs \
	install package package-windows

all: build

# Everything the targets below need: make setup SETUP_GROUPS="build test windows".
SETUP_GROUPS ?= all
setup:
	$(SETUP) $(SETUP_GROUPS)

build:
	$(SETUP) build
	$(CMAKE) -S . -B $(RELEASE_DIR) -DCMAKE_BUILD_TYPE=Release -DWAVORA_BUILD_TESTS=OFF
	$(CMAKE) --build $(RELEASE_DIR) -j $(JOBS) --target wavora

# Builds the tool, converts the bundled example into build/example/_tone.wv and
# draws its preview build/example/_tone.svg.
run: build
	mkdir -p $(EXAMPLE_DIR)
	cd $(EXAMPLE_DIR) && printf 'y\n' | ../release/wavora ../../examples/tone.bin -format i16le -clock 100 \
		-comment "Wavora example: 1 MHz tone at 100 MHz" -overwrite -v 3
	cd $(EXAMPLE_DIR) && ../release/wavora _tone.wv -preview _tone.svg -overwrite
	@echo "Output: $(EXAMPLE_DIR)/_tone.wv, preview $(EXAMPLE_DIR)/_tone.svg"
	@# The two previews the README shows: a two-tone and a QPSK waveform.
	cd $(EXAMPLE_DIR) && ../release/wavora ../../examples/two_tone.bin -format i16le -clock 10 \
		-comment "two tones: 0.4 at +1 MHz, 0.3 at -2.5 MHz" -overwrite -batch -q
	cd $(EXAMPLE_DIR) && ../release/wavora ../../examples/qpsk.bin -format i16le -clock 10 \
		-comment "QPSK, 8 samples per symbol, raised cosine 0.35" -overwrite -batch -q
	cd $(EXAMPLE_DIR) && ../release/wavora _two_tone.wv -preview ../../docs/two_tone_preview.svg -overwrite
	cd $(EXAMPLE_DIR) && ../release/wavora _qpsk.wv -preview ../../docs/qpsk_preview.svg -overwrite

# Builds everything with AddressSanitizer and UndefinedBehaviorSanitizer and runs every test.
test:
	$(SETUP) test
	$(CMAKE) -S . -B $(TEST_DIR) -DCMAKE_BUILD_TYPE=Debug -DWAVORA_SANITIZE=ON -DWAVORA_BUILD_TESTS=ON \
		-DWAVORA_WERROR=ON
	$(CMAKE) --build $(TEST_DIR) -j $(JOBS)
	cd $(TEST_DIR) && ctest --output-on-failure -j $(JOBS)

# Builds with ThreadSanitizer and runs the tests whose code runs on several
# threads: the cipher on every thread count, the worker pool, the slots'
# chunks written behind and read ahead, and whole conversions with -threads. Any report
# fails the run. The single-threaded cipher and slot tests stay out: under the
# sanitizer each of them takes minutes and can show no race.
TSAN_TESTS := ^(CipherThreads\.EveryThreadCount|WorkerPool\.|StreamSlotThreads\.|ThreadsE2E\.)
tsan:
	$(SETUP) test
	$(CMAKE) -S . -B $(TSAN_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DWAVORA_TSAN=ON -DWAVORA_BUILD_TESTS=ON
	$(CMAKE) --build $(TSAN_DIR) -j $(JOBS) --target test_Shared_FileIO test_e2e
	cd $(TSAN_DIR) && TSAN_OPTIONS="halt_on_error=1 $(TSAN_OPTIONS)" \
		ctest --output-on-failure -j $(JOBS) -R '$(TSAN_TESTS)'

bench:
	$(SETUP) bench
	$(CMAKE) -S . -B $(BENCH_DIR) -DCMAKE_BUILD_TYPE=Release -DWAVORA_BUILD_TESTS=OFF -DWAVORA_BUILD_BENCH=ON \
		-DWAVORA_WERROR=ON
	$(CMAKE) --build $(BENCH_DIR) -j $(JOBS)
	bash bench/run_bench.sh $(BENCH_DIR)

# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) and runs each
# for FUZZ_SECONDS; crashes land in build/fuzz/fuzz-artifacts.
fuzz:
	$(SETUP) fuzz
	$(CMAKE) -S . -B $(FUZZ_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
		-DWAVORA_FUZZ=ON -DWAVORA_BUILD_TESTS=OFF -DWAVORA_WERROR=ON
	$(CMAKE) --build $(FUZZ_DIR) -j $(JOBS)
	bash fuzz/run_fuzzers.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# Builds with gcov instrumentation, runs every test and prints the line and
# branch coverage of src/ (the report is printed even when a test fails).
coverage:
	$(SETUP) test
	$(CMAKE) -S . -B $(COVERAGE_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_COMPILER=g++ \
		-DWAVORA_COVERAGE=ON -DWAVORA_BUILD_TESTS=ON -DWAVORA_WERROR=ON
	$(CMAKE) --build $(COVERAGE_DIR) -j $(JOBS)
	find $(COVERAGE_DIR) -name '*.gcda' -delete
	status=0; (cd $(COVERAGE_DIR) && ctest --output-on-failure -j $(JOBS)) || status=$$?; \
		python3 tools/coverage.py $(COVERAGE_DIR) src; exit $$status

# Cross-builds wavora.exe and the Windows test programs for 64-bit Windows
# with mingw-w64 (statically linked) into build/windows.
windows:
	$(SETUP) windows
	$(CMAKE) -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release -DWAVORA_BUILD_TESTS=ON -DWAVORA_WERROR=ON
	$(CMAKE) --build $(WINDOWS_DIR) -j $(JOBS)

# Runs the Windows test programs under Wine, then the native program that runs
# wavora.exe under Wine next to the Linux wavora (same output bytes) and in a
# Wine console.
test-windows: windows
	$(CMAKE) -S . -B $(WINDOWS_HOST_DIR) -DCMAKE_BUILD_TYPE=Release -DWAVORA_BUILD_TESTS=ON \
		-DWAVORA_WERROR=ON \
		-DWAVORA_WINDOWS_EXE=$(abspath $(WINDOWS_DIR))/wavora.exe
	$(CMAKE) --build $(WINDOWS_HOST_DIR) -j $(JOBS) --target wavora test_windows_host
	bash tools/run_windows_tests.sh $(WINDOWS_DIR) $(WINDOWS_HOST_DIR)

# Fails when a C++ file under src, tests, bench, fuzz or tools is not laid out
# as clang-format 14 lays it out (.clang-format); changes no file.
format-check:
	$(SETUP) format
	bash tools/check_format.sh

# Rewrites the parts of docs/usage.md and docs/wavora.1 drawn from the option
# and format tables (a test fails while they differ).
docs: build
	$(CMAKE) --build $(RELEASE_DIR) -j $(JOBS) --target wavora_doctables
	$(RELEASE_DIR)/wavora_doctables .

# Installs the Release program, its manual page, the bash completion and the
# licence under PREFIX (default /usr/local): make install PREFIX=$$HOME/.local
install: build
	$(CMAKE) --install $(RELEASE_DIR) --prefix $(PREFIX)

# A Debian package of the Release build, in build/package.
package: build
	cd $(RELEASE_DIR) && cpack -G DEB -B $(abspath $(PACKAGE_DIR))
	@ls $(PACKAGE_DIR)/*.deb

# A .zip of wavora.exe (cross-built, statically linked) with its licence and
# README, in build/windows-package. Uses the cross build of `make windows`,
# building only wavora.exe there.
package-windows:
	$(SETUP) windows
	$(CMAKE) -S . -B $(WINDOWS_DIR) -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
		-DCMAKE_BUILD_TYPE=Release -DWAVORA_BUILD_TESTS=ON -DWAVORA_WERROR=ON
	$(CMAKE) --build $(WINDOWS_DIR) -j $(JOBS) --target wavora
	cd $(WINDOWS_DIR) && cpack -G ZIP -B $(abspath $(WINDOWS_PACKAGE_DIR))
	@ls $(WINDOWS_PACKAGE_DIR)/*.zip

clean:
	rm -rf build
