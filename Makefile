# Top-level driver. Every target first makes sure the Debian packages are present.
BUILD ?= build
MAKEFLAGS += --no-print-directory
JOBS ?= $(shell nproc)
CMAKE_FLAGS ?=

.PHONY: all bootstrap build test demo bench sanitize tsan fuzz soak format clean

all: build

bootstrap:
	@./tools/bootstrap.sh

build: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j$(JOBS)

# Builds only the command-line program, then writes build/demo/{mic,ref,out}.wav and demo.png.
demo: bootstrap
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target orvoaec
	@./$(BUILD)/orvoaec demo --dir $(BUILD)/demo

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

# Evaluation against SpeexDSP and webrtc-audio-processing: runs every scene through each and
# writes the measured tables to docs/evaluation.md.
.PHONY: evaluate
evaluate: build
	@./$(BUILD)/bench/evaluate --out docs/evaluation.md

# AddressSanitizer + UndefinedBehaviorSanitizer build of everything, running every test.
sanitize: bootstrap
	@cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DORVO_SANITIZE=address,undefined,float-divide-by-zero,float-cast-overflow >/dev/null
	@cmake --build build-asan -j$(JOBS)
	@cd build-asan && ASAN_OPTIONS=detect_leaks=1 ctest --output-on-failure -j$(JOBS) -E '_Slow'

# ThreadSanitizer build; runs the multi-engine thread tests.
tsan: bootstrap
	@cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_SANITIZE=thread >/dev/null
	@cmake --build build-tsan -j$(JOBS) --target engine_threads_test
	@cd build-tsan && ctest --output-on-failure -R 'Threads'

# libFuzzer runs of the configuration loader and of the frame entries (clang), FUZZ_TIME seconds
# each: make fuzz [FUZZ_TIME=seconds]. New inputs collect in build-fuzz/corpus/config and
# build-fuzz/corpus/frame; a crash leaves its input as build-fuzz/crash-* or build-fuzz/frame-crash-*.
FUZZ_TIME ?= 120
fuzz: bootstrap
	@ORVO_WITH_CLANG=1 ./tools/bootstrap.sh
	@CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVO_FUZZ=ON \
	  -DORVO_SANITIZE=address,undefined,float-divide-by-zero,float-cast-overflow,fuzzer-no-link >/dev/null
	@cmake --build build-fuzz -j$(JOBS) --target config_fuzz frame_fuzz
	@mkdir -p build-fuzz/corpus/config build-fuzz/corpus/frame
	@./build-fuzz/fuzz/config_fuzz -max_total_time=$(FUZZ_TIME) -dict=tests/fuzz/config.dict \
	  -artifact_prefix=build-fuzz/ build-fuzz/corpus/config tests/fuzz/corpus
	@./build-fuzz/fuzz/frame_fuzz -max_total_time=$(FUZZ_TIME) -max_len=16384 \
	  -artifact_prefix=build-fuzz/frame- build-fuzz/corpus/frame

# The full long run: one hour of audio (180,000 frames) through one engine; `make test` runs a
# shortened one. SOAK_FRAMES sets another length.
SOAK_FRAMES ?= 180000
soak: build
	@ORVO_SOAK_FRAMES=$(SOAK_FRAMES) ./$(BUILD)/tests/soak_test

format:
	@clang-format -i $$(git ls-files '*.cpp' '*.hpp' '*.h' '*.c')

# Fails (and names the files) when a tracked C or C++ source differs from .clang-format's layout.
.PHONY: format-check
format-check: bootstrap
	@clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp' '*.h' '*.c')

clean:
	@rm -rf $(BUILD) build-asan build-tsan build-fuzz

# Windows: ORVOAEC.dll, ORVOAEC.lib and orvoaec.exe cross-built with MinGW-w64 into
# $(WIN_BUILD) (yaml-cpp built once from Debian's source package, cached outside the tree),
# and their tests under Wine, which compare the outputs with the Linux build's.
WIN_BUILD ?= build-win
.PHONY: windows test-windows
windows:
	@ORVO_WITH_WINDOWS=1 ./tools/bootstrap.sh
	@yaml=$$(JOBS=$(JOBS) ./tools/windows/build_yaml_cpp.sh) && \
	  cmake -S . -B $(WIN_BUILD) --no-warn-unused-cli \
	    -DCMAKE_TOOLCHAIN_FILE=$(CURDIR)/cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release \
	    -DBUILD_TESTING=OFF -DORVO_WITH_SNDFILE=OFF -Dyaml-cpp_DIR=$$yaml/lib/cmake/yaml-cpp >/dev/null
	@cmake --build $(WIN_BUILD) -j$(JOBS) --target ORVOAEC orvoaec c_api_host file_io_windows_test

test-windows: windows
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=Release $(CMAKE_FLAGS) >/dev/null
	@cmake --build $(BUILD) -j$(JOBS) --target orvoaec scene_files
	@./tests/windows/run_wine_tests.sh $(WIN_BUILD) $(BUILD)
