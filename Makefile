# Every target bootstraps .venv (Python 3.12, build and test tools) and
# rebuilds zor_core when its sources changed.
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake

.PHONY: setup demo test test-cpp test-python bench bench-discovery bench-recovery format clean

setup:
	@bash scripts/bootstrap.sh

demo: setup
	$(PY) examples/demo.py

test: setup test-cpp test-python

# C++ unit tests of the core (GoogleTest from Debian's libgtest-dev).
test-cpp: setup
	@if [ -f /usr/include/gtest/gtest.h ]; then \
	  $(CMAKE) -S . -B build/cpp -G Ninja -DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja \
	    -DZOR_BUILD_MODULE=OFF -DZOR_BUILD_TESTS=ON >/dev/null && \
	  $(CMAKE) --build build/cpp -j2 && \
	  cd build/cpp && if $(CURDIR)/$(VENV)/bin/ctest --output-on-failure -j2 >ctest.log 2>&1; \
	    then tail -n 3 ctest.log; else cat ctest.log; exit 1; fi; \
	else \
	  echo "test-cpp: libgtest-dev is not installed; skipping the C++ unit tests"; \
	fi

test-python: setup
	cd tests/python && $(CURDIR)/$(PY) -m pytest -q -p no:cacheprovider .

# Benchmarks draw their figures into docs/figures with matplotlib, and the
# recovery benchmark compares with pyoperon and gplearn: benchmark-only
# dependencies, installed into .venv here and never imported by the package.
bench: setup
	$(PY) -m pip install -q matplotlib
	$(PY) bench/kernels.py
	$(PY) bench/pareto.py

bench-recovery: setup
	$(PY) -m pip install -q matplotlib pyoperon gplearn
	$(PY) bench/recovery.py --write

# Fast search against the literal reference; takes about ten minutes.
bench-discovery: setup
	$(PY) bench/discovery.py --reachable

format:
	clang-format -i src/core/*.hpp src/core/*.cpp src/core/discover/*.hpp src/core/discover/*.cpp \
	  src/python/*.hpp src/python/*.cpp src/python/native/*.hpp src/python/native/*.cpp tests/cpp/*.cpp

clean:
	rm -rf build $(VENV)
