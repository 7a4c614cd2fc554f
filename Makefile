# Every target bootstraps .venv (Python 3.12, build and test tools) and
# rebuilds zor_core when its sources changed.
VENV := .venv
PY := $(VENV)/bin/python
CMAKE := $(VENV)/bin/cmake

.PHONY: setup setup-fuzz demo test test-cpp test-python test-sanitize test-tsan fuzz fuzz-ci soak bench \
  bench-discovery bench-recovery bench-selection bench-realdata bench-parameters bench-everyday bench-textbook \
  format clean

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

# The suite on every core, then the tests that measure wall-clock time alone.
test-python: setup
	cd tests/python && $(CURDIR)/$(PY) -m pytest -q -p no:cacheprovider -n auto -m "not clock" . && \
	  $(CURDIR)/$(PY) -m pytest -q -p no:cacheprovider -m clock .

# ASan+UBSan build (build/asan) of the module and the C++ tests; runs both
# suites on it, the Python one with the sanitizer runtime preloaded.
test-sanitize: setup
	@bash scripts/sanitize.sh address

# TSan build (build/tsan) of the C++ tests of the pool, kernels and search.
test-tsan: setup
	@bash scripts/sanitize.sh thread

# libFuzzer targets of tests/fuzz (clang from Debian), FUZZ_SECONDS each.
FUZZ_SECONDS ?= 300
setup-fuzz: setup
	@bash scripts/bootstrap.sh fuzz

fuzz: setup-fuzz
	@bash scripts/sanitize.sh fuzz $(FUZZ_SECONDS)

fuzz-ci: setup-fuzz
	@bash scripts/sanitize.sh fuzz 30

# Calls everything, failing and succeeding, for SOAK_SECONDS and checks that
# memory stays flat (not part of make test).
SOAK_SECONDS ?= 300
soak: setup
	$(PY) tests/soak.py $(SOAK_SECONDS)

# Benchmarks draw their figures into docs/figures with matplotlib, and the
# recovery benchmark compares with pyoperon and gplearn: benchmark-only
# dependencies, installed into .venv here and never imported by the package.
bench: setup
	$(PY) -m pip install -q matplotlib
	$(PY) bench/kernels.py
	$(PY) bench/pareto.py

# Feynman equations with constants against pyoperon and gplearn, 20 s per run:
# about two and a quarter hours; RECOVERY_FLAGS=--jobs=2 halves it on two cores.
RECOVERY_FLAGS ?=
bench-recovery: setup
	$(PY) -m pip install -q matplotlib pyoperon gplearn
	$(PY) bench/recovery.py --suite constants --write $(RECOVERY_FLAGS)

# The model selection criteria on held-out rows: noisy laws and real data sets (statsmodels' bundled data);
# about two minutes.
bench-selection: setup
	$(PY) -m pip install -q statsmodels
	$(PY) bench/selection.py

# ZorRegressor on classic real data sets (scikit-learn's and statsmodels' bundled data) against linear
# regression, a random forest and pyoperon, 5-fold cross-validation, 10 s per search on one core: about forty
# minutes; REALDATA_FLAGS=--jobs=2 took 24 minutes on two shared cores.
REALDATA_FLAGS ?=
bench-realdata: setup
	$(PY) -m pip install -q scikit-learn statsmodels pyoperon matplotlib
	$(PY) bench/realdata.py --write $(REALDATA_FLAGS)

# zor.discover against the textbook nonlinear model of five real data sets (statsmodels' bundled data), with
# pyoperon beside them; 5-fold cross-validation, 20 s per search on one core, one fit at a time: about twenty
# minutes.
TEXTBOOK_FLAGS ?=
bench-textbook: setup
	$(PY) -m pip install -q scikit-learn statsmodels pyoperon
	$(PY) bench/textbook.py $(TEXTBOOK_FLAGS)

# Free parameters inside formulas: seven laws at noise 0 and 1 %, 20 s each on one core, the fitting rate
# and the cost on laws that need none; about five minutes.
bench-parameters: setup
	RAYON_NUM_THREADS=1 $(PY) bench/parameters.py

# Textbook laws on everyday data (8-30 rows, noisy, one or two variables), 20 noise draws each, one core;
# about fifteen minutes.
bench-everyday: setup
	RAYON_NUM_THREADS=1 $(PY) bench/everyday.py

# Fast search against the literal reference; takes about fifteen minutes.
bench-discovery: setup
	$(PY) -m pip install -q matplotlib
	$(PY) bench/discovery.py --reachable --figure docs/figures/discovery_ladder.png

format:
	clang-format -i $$(find src tests -name '*.[ch]pp')

clean:
	rm -rf build $(VENV)

# Runs examples/discover.ipynb in a Jupyter kernel and writes the figures of
# its cells tagged figure:NAME to docs/figures/NAME.png.
.PHONY: notebook-figures
notebook-figures: setup
	$(PY) scripts/notebook_figures.py
