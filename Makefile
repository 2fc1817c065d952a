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

# Each target fuzz/fuzz_<name>.cpp runs FUZZ_SECONDS with fuzz/<name>.dict and a corpus of its own,
# started from the inputs in fuzz/seeds/<name> where there are any.
fuzz: deps
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	@for t in attributed_body vcard pairing_requests message_loading backup; do \
	  dict=fuzz/$$t.dict; [ -f $$dict ] || dict=fuzz/attributed_body.dict; \
	  mkdir -p build/fuzz/corpus-$$t; echo "== fuzz_$$t"; \
	  build/fuzz/fuzz/fuzz_$$t -max_total_time=$(FUZZ_SECONDS) -dict=$$dict -artifact_prefix=build/fuzz/ \
	    build/fuzz/corpus-$$t $$([ -d fuzz/seeds/$$t ] && echo fuzz/seeds/$$t) || exit 1; done

clean:
	rm -rf build
