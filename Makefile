# velmora: `make test` sets up everything and runs every test; `make demo`
# runs the quick-start example on the embedded sample database.

VENV   := .venv
PY     := $(VENV)/bin/python
CMAKE  := $(VENV)/bin/cmake
CTEST  := $(VENV)/bin/ctest
NINJA  := $(VENV)/bin/ninja
# The newest and the middle stack, each in an environment of its own in which
# velmora is installed from its wheel in wheelhouse/ (make wheels), with no
# compiler on PATH.
PY313 := .venv-py313
PY312 := .venv-py312
# The tests of the three modules: all but the Dask layer, the examples and the
# README's walk-throughs, and the memory-growth tests.
MODULE_TESTS := --ignore=tests/test_distributed.py --ignore=tests/test_examples.py \
  --ignore=tests/test_readme.py --ignore=tests/test_leaks.py

.PHONY: test demo system venv build wheels thin-venv badcombo-venv unit pytest sanitize fuzz clean \
        py313-venv py312-venv pytest-py313 pytest-py312

test: system unit build pytest wheels pytest-py313 pytest-py312

system:
	scripts/setup-system.sh

$(VENV)/.deps: requirements-dev.txt scripts/setup-venv.sh | system
	scripts/setup-venv.sh
	touch $@

venv: system $(VENV)/.deps

# Builds the wheel (into dist/) with the same CMake project the unit tests use
# and installs it (incremental: the build tree is kept under build/).
build: venv
	rm -f dist/velmora-*.whl
	$(PY) -m pip wheel -q --no-build-isolation --no-deps -w dist .
	$(PY) -m pip install -q --no-deps --force-reinstall dist/velmora-*.whl

# The binary wheels for CPython 3.11, 3.12 and 3.13 (manylinux, the C++
# runtime linked in) and the sdist, into wheelhouse/.
wheels: venv
	scripts/build-wheels.sh

# Python 3.11 with the wheel installed as an analyst installs it: dependencies
# from their declared ranges, no cx_Oracle (python-oracledb).
thin-venv: wheels
	scripts/setup-wheel-venv.sh .venv-thin 3.11

# (pip leaves what is installed already; the wheel is installed again)
py313-venv: wheels
	scripts/setup-wheel-venv.sh $(PY313) 3.13 requirements-py313.txt

py312-venv: wheels
	scripts/setup-wheel-venv.sh $(PY312) 3.12 requirements-py312.txt

# An environment with pandas 2.2 and SQLAlchemy 1.4, which cannot work
# together, and the wheel: velmora.fetching must refuse them at import.
badcombo-venv: wheels
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

# The whole suite on the newest stack, with the wheel and no compiler on PATH.
pytest-py313: py313-venv
	PATH=$$(scripts/no-compiler-path.sh) $(PY313)/bin/python -m pytest -n 2

# The tests of the three modules on the middle stack, the same way.
pytest-py312: py312-venv
	PATH=$$(scripts/no-compiler-path.sh) $(PY312)/bin/python -m pytest -n 2 $(MODULE_TESTS)

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
	rm -rf build dist wheelhouse
