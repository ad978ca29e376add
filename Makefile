# Entry points for people and CI. `make demo` and `make test` set up a
# fresh machine themselves (Debian packages, then a CMake + Ninja build).
SHELL := /bin/bash
.DEFAULT_GOAL := build

PYTHON ?= $(shell tools/find-python)
BUILD ?= build
ASAN_BUILD ?= build-asan
BENCH_BUILD ?= build-bench
JOBS ?= $(shell nproc)

PACKAGES := cmake g++ libyaml-dev nlohmann-json3-dev libfmt-dev ninja-build \
            python3-pytest libgtest-dev libbenchmark-dev ccache pkg-config

.PHONY: deps build test demo sanitize bench clean

# Installs the named Debian packages that are not installed yet.
define apt_install
	missing=$$(for p in $(1); do dpkg-query -W -f='$${Status}\n' $$p 2>/dev/null \
	    | grep -q 'install ok installed' || echo $$p; done); \
	if [ -n "$$missing" ]; then \
	  echo "installing:" $$missing; \
	  if [ "$$(id -u)" = 0 ]; then SUDO=; else SUDO=sudo; fi; \
	  $$SUDO apt-get update -qq && \
	  DEBIAN_FRONTEND=noninteractive $$SUDO apt-get install -y -qq --no-install-recommends $$missing; \
	fi
endef

# When the distribution's own python3 is 3.13 or newer (Debian 13), its
# headers come from python3-dev; it is known only once python3 is installed.
deps:
	@$(call apt_install,$(PACKAGES))
	@if /usr/bin/python3 -c 'import sys; sys.exit(sys.version_info < (3, 13))' 2>/dev/null; then \
	  $(call apt_install,python3-dev); \
	fi

define configure
	@test -n "$(PYTHON)" || { echo "error: no CPython >= 3.13 found; run: make PYTHON=/path/to/python3.13 ..." >&2; exit 1; }
	cmake -S . -B $(1) -G Ninja -DPython_EXECUTABLE=$(PYTHON) $(2) >/dev/null
endef

build: deps
	$(call configure,$(BUILD),-DCMAKE_BUILD_TYPE=RelWithDebInfo)
	cmake --build $(BUILD) -j $(JOBS)

test: build
	@rm -rf $(BUILD)/results
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS); status=$$?; \
	  $(PYTHON) ../tools/summarize-results results --expect expected-results; summary=$$?; \
	  [ $$status = 0 ] && [ $$summary = 0 ]

demo: build
	PYTHONPATH=$(BUILD)/python $(PYTHON) examples/demo.py

# detect_stack_use_after_return puts instrumented frames' locals on the
# sanitizer's side stacks. Besides finding more, it keeps the thread stack
# free of redzones: a daemon thread that the interpreter ends at exit is
# unwound past frames whose redzones were never cleared, and this
# toolchain's runtime then fails its own check in the next unwind step.
sanitize: deps
	$(call configure,$(ASAN_BUILD),-DCMAKE_BUILD_TYPE=Debug -DOLVEX_SANITIZE=ON)
	cmake --build $(ASAN_BUILD) -j $(JOBS)
	@rm -rf $(ASAN_BUILD)/results
	cd $(ASAN_BUILD) && \
	  LD_PRELOAD="$$(gcc -print-file-name=libasan.so) $$(gcc -print-file-name=libstdc++.so)" PYTHONMALLOC=malloc \
	  ASAN_OPTIONS=malloc_context_size=2:detect_leaks=1:allocator_may_return_null=1:detect_stack_use_after_return=1 \
	  LSAN_OPTIONS=suppressions=$(CURDIR)/tools/lsan.supp:print_suppressions=0 \
	  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	  ctest --output-on-failure -j $(JOBS); status=$$?; \
	  $(PYTHON) ../tools/summarize-results results --expect expected-results; summary=$$?; \
	  [ $$status = 0 ] && [ $$summary = 0 ]

bench: deps
	$(call configure,$(BENCH_BUILD),-DCMAKE_BUILD_TYPE=Release -DOLVEX_BENCH=ON)
	cmake --build $(BENCH_BUILD) -j $(JOBS)
	PYTHONPATH=$(BENCH_BUILD)/python $(PYTHON) bench/run.py --cpp-dir $(BENCH_BUILD)

clean:
	rm -rf $(BUILD) $(ASAN_BUILD) $(BENCH_BUILD)
