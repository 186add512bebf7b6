# velmora: `make test` sets up everything and runs every test; `make demo`
# runs the quick-start example on the embedded sample database.

VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
NINJA  := $(VENV)/bin/ninja
# The second stack (pandas 2, numpy 2, SQLAlchemy 2): its own environment,
# build tree and wheel folder.
CURRENT    := .venv-current
CURRENT_PY := $(CURRENT)/bin/python

.PHONY: test demo system venv build thin-venv badcombo-venv unit pytest sanitize fuzz clean \
        venv-current build-current pytest-current

test: system build unit pytest pytest-current

system:
	scripts/setup-system.sh

$(VENV)/.deps: requirements-dev.txt scripts/setup-venv.sh | system
	scripts/setup-venv.sh
	touch $@

venv: system $(VENV)/.deps

$(CURRENT)/.deps: requirements-current.txt scripts/setup-venv.sh | system
	scripts/setup-venv.sh $(CURRENT) requirements-current.txt
	touch $@

venv-current: system $(CURRENT)/.deps

# Builds the wheel (into dist/) with the same CMake project the unit tests use
# and installs it (incremental: the build tree is kept under build/).
build: venv
	rm -f dist/velmora-*.whl
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist .
	$(PY) -m pip install -q --no-deps --force-reinstall dist/velmora-*.whl

# The same in the second environment, from its own build tree.
build-current: venv-current
	rm -f dist-current/velmora-*.whl
	$(CURRENT_PY) -m pip wheel -q --no-build-isolation --no-deps -w dist-current \
	  -C build-dir=build/current/{wheel_tag} .
	$(CURRENT_PY) -m pip install -q --no-deps --force-reinstall dist-current/velmora-*.whl

# A second environment with the wheel installed as an analyst installs it:
# dependencies from their declared ranges, no cx_Oracle (python-oracledb).
thin-venv: build
	scripts/setup-thin-venv.sh

# An environment with pandas 2.2 and SQLAlchemy 1.4, which cannot work
# together, and the wheel: velmora.fetching must refuse them at import.
badcombo-venv: build
	scripts/setup-bad-combo-venv.sh

unit: venv
	$(CMAKE) -S . -B build/unit -G Ninja -DCMAKE_MAKE_PROGRAM=$(abspath $(NINJA)) \
	  -DVELMORA_PYTHON_MODULES=OFF -DVELMORA_UNIT_TESTS=ON -DCMAKE_BUILD_TYPE=Debug >/dev/null
	$(CMAKE) --build build/unit
	$(CTEST) --test-dir build/unit --output-on-failure -j2

# Two workers: the machines we run on have two cores. The driver tests also
# run in the environment without cx_Oracle, the import check in the one of
# versions that cannot work together.
pytest: build thin-venv badcombo-venv
	VELMORA_THIN_PYTHON=$(abspath .venv-thin/bin/python) \
	VELMORA_BADCOMBO_PYTHON=$(abspath .venv-badcombo/bin/python) $(PY) -m pytest -n 2

# The whole suite again on the second stack. The memory-growth tests make
# 1,000 calls per function there (10,000 in .venv): the native code under test
# is the same, and pandas 2 with SQLAlchemy 2 takes several times longer per
# call.
pytest-current: build-current
	VELMORA_LEAK_CALLS=$${VELMORA_LEAK_CALLS:-1000} $(CURRENT_PY) -m pytest -n 2

# The quick start on the embedded sample database: no database server needed.
demo: venv build
	cd examples && ../$(PY) quickstart.py

# The C++ unit tests and the whole pytest suite under AddressSanitizer and
# UndefinedBehaviorSanitizer.
sanitize: venv
	scripts/sanitize.sh

# libFuzzer on the packed-text kernel and atheris on split_lines, each for a
# bounded time (fuzz/README.md).
fuzz: venv
	scripts/fuzz.sh

clean:
	rm -rf build dist dist-current
