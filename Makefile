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

demo: build
	@./$(BUILD)/orvoaec demo --out $(BUILD)/demo_out.pcm

bench: build
	@for b in $(BUILD)/bench/*_bench; do echo "== $$b"; $$b --benchmark_min_time=0.2; done

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

clean:
	@rm -rf $(BUILD) build-asan build-tsan build-fuzz
