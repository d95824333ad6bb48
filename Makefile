# The two everyday commands; both install what is missing and build first.
#   make run    build and start the tray application when the display has a system tray, else
#               the headless host on the GNOME Wayland or X11 desktop, or a dry run on the
#               synthetic screen when there is neither; its first line says which and why (options for the headless
#               host: make run ARGS="--port 7400 --no-cloud"; ARGS=--headless always serves
#               headless)
#   make test   build and run every test, then run them again under ASan+UBSan
PRESET ?= dev
ARGS ?=
BUILD := build/$(PRESET)

.PHONY: deps build run test check bench asan fuzz clean
FUZZ_SECONDS ?= 60

deps:
	@scripts/install-deps

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

run: build
	$(BUILD)/src/app/nimbrel --auto $(ARGS)

# One preset's build and tests.
check: build
	ctest --preset $(PRESET)

test:
	@$(MAKE) --no-print-directory check PRESET=dev
	@$(MAKE) --no-print-directory check PRESET=asan
	@$(MAKE) --no-print-directory fuzz

bench: build
	$(BUILD)/bench/nimbrel_bench
	node bench/browser_bench.mjs $(BUILD)/src/app/nimbrel $(BUILD)/src/client/nimbrel-client

asan:
	@$(MAKE) --no-print-directory check PRESET=asan

# The libFuzzer targets (clang, ASan), each run for FUZZ_SECONDS from the seeds in fuzz/seeds;
# any crash, leak or sanitizer report fails.
fuzz: deps
	@cmake --preset fuzz >/dev/null
	@cmake --build --preset fuzz
	@for target in handshake session cloud_request; do \
	  corpus=build/fuzz/corpus/$$target; mkdir -p $$corpus; \
	  echo "fuzz_$$target: $(FUZZ_SECONDS) s"; \
	  build/fuzz/fuzz/fuzz_$$target -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 \
	    -artifact_prefix=build/fuzz/ $$corpus fuzz/seeds/$$target 2>build/fuzz/fuzz_$$target.log \
	    || { tail -n 60 build/fuzz/fuzz_$$target.log; exit 1; }; \
	  grep -E "stat::number_of_executed_units" build/fuzz/fuzz_$$target.log; \
	done

clean:
	rm -rf build
