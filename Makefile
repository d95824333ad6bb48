# The two everyday commands; both install what is missing and build first.
#   make run    build and start the headless host on the synthetic screen (more options:
#               make run ARGS="--port 7400 --no-cloud")
#   make test   build and run every test, then run them again under ASan+UBSan
PRESET ?= dev
ARGS ?=
BUILD := build/$(PRESET)

.PHONY: deps build run test check bench asan clean

deps:
	@scripts/install-deps

build: deps
	@cmake --preset $(PRESET) >/dev/null
	@cmake --build --preset $(PRESET)

run: build
	$(BUILD)/src/app/nimbrel --headless --dry-run $(ARGS)

# One preset's build and tests.
check: build
	ctest --preset $(PRESET)

test:
	@$(MAKE) --no-print-directory check PRESET=dev
	@$(MAKE) --no-print-directory check PRESET=asan

bench: build
	$(BUILD)/bench/nimbrel_bench

asan:
	@$(MAKE) --no-print-directory check PRESET=asan

clean:
	rm -rf build
