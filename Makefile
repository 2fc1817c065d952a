# Thin wrapper over CMake presets; the README lists the commands.
JOBS ?= $(shell nproc)
FUZZ_SECONDS ?= 60

.PHONY: deps run test test-asan bench fuzz clean

deps:
	@scripts/install-deps

# One whole import against the reference backend, the phone simulator scanning the screen.
run:
	@scripts/run

test: deps
	cmake --preset default
	cmake --build --preset default -j $(JOBS)
	ctest --preset default -j $(JOBS)

test-asan: deps
	cmake --preset asan
	cmake --build --preset asan -j $(JOBS)
	ctest --preset asan -j $(JOBS)

bench: deps
	cmake --preset release
	cmake --build --preset release -j $(JOBS)
	@for b in build/release/bench/bench_*; do [ -f $$b ] && [ -x $$b ] || continue; echo "== $$(basename $$b)"; $$b || exit 1; done

fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	mkdir -p build/fuzz/corpus
	build/fuzz/fuzz/fuzz_attributed_body -max_total_time=$(FUZZ_SECONDS) -dict=fuzz/attributed_body.dict build/fuzz/corpus
	mkdir -p build/fuzz/corpus-loading
	build/fuzz/fuzz/fuzz_message_loading -max_total_time=$(FUZZ_SECONDS) -dict=fuzz/attributed_body.dict build/fuzz/corpus-loading

clean:
	rm -rf build
