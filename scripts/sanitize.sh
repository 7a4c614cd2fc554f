#!/usr/bin/env bash
# Instrumented runs, each in its own build directory so the installed module
# in .venv is never touched:
#   address  ASan+UBSan build of the module and the C++ unit tests; runs the
#            C++ tests and the Python tests that reach native code with the
#            runtime preloaded
#   thread   TSan build of the C++ unit tests of the pool, kernels and search
#   fuzz S   libFuzzer targets of tests/fuzz (clang), side by side, each for S
#            seconds on a copy of its checked-in seed corpus
# Every sanitizer report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
CMAKE=$ROOT/.venv/bin/cmake
CTEST=$ROOT/.venv/bin/ctest

configure_and_build() {
  local dir=$1
  shift
  "$CMAKE" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ROOT/.venv/bin/ninja" "$@" >/dev/null
  build "$dir"
}

# Builds the given targets (all by default), showing the log only on failure.
build() {
  local dir=$1
  shift
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  if ! "$CMAKE" --build "$dir" -j2 "${targets[@]}" >"$dir/build.log" 2>&1; then
    cat "$dir/build.log"
    return 1
  fi
}

# Runs a command with its output in a log; shows the tail on success and all
# of it on failure.
run_logged() {
  local log=$1
  shift
  if "$@" >"$log" 2>&1; then
    tail -n 3 "$log"
  else
    cat "$log"
    return 1
  fi
}

run_ctest() {
  local dir=$1
  shift
  (cd "$dir" && run_logged ctest.log "$CTEST" --output-on-failure -j2 "$@")
}

export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1

run_address() {
  local dir=build/asan
  configure_and_build "$dir" -DZOR_SANITIZE=address,undefined -DZOR_BUILD_TESTS=ON -DZOR_BUILD_MODULE=ON \
    -DPython_EXECUTABLE="$ROOT/.venv/bin/python"
  echo "sanitize: C++ unit tests under ASan+UBSan (leak detection on)"
  # The runtime's allocator is not fork-safe: a child forked while another
  # thread holds one of its locks hangs in its first allocation (seen in
  # PoolFork: a fresh worker blocked in SizeClassAllocator64::GetFromAllocator).
  # The fork tests run in the plain build.
  ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 run_ctest "$dir" -E 'PoolFork[.]'

  # The interpreter is not instrumented: the ASan runtime must come first,
  # and libstdc++ must be loaded before the module so that its __cxa_throw
  # can be intercepted. PYTHONMALLOC=malloc puts every Python object under
  # ASan's allocator. Leak detection is off here: the interpreter leaks at
  # exit, and its frames carry no frame pointers, so leak stacks stop before
  # reaching the module. The module's native leaks are caught by the C++
  # tests above, its reference leaks by the hostile-input tests and make soak.
  # The zor package is put together from its Python sources and the
  # instrumented zor._native, ahead of the copy installed in .venv.
  local package="$dir/package/zor"
  rm -rf "$dir/package" && mkdir -p "$package"
  cp python/zor/*.py python/zor/py.typed "$package/" && cp "$dir"/_native*.so "$package/"
  # The packaging and typing tests check the wheel and the installed layout,
  # which the modules in build/asan are not; they run in make test. So do
  # the Dask cluster tests and page: their worker processes hold memory
  # limits that instrumented processes outgrow. The entries those workers
  # call run here through test_shards.py.
  # The files below test the companion package's own decisions, files and
  # presentation (selection rules, snapping, noise model, results, command
  # line, notebook, scikit-learn's estimator checks, the benchmarks'
  # scoring); every native line they reach, measured per file with gcov, is
  # reached by the files that do run here. They run in make test. A new file
  # runs here until it is listed.
  local python_layer=(test_zor_estimator.py test_zor_results.py test_zor_cli.py test_notebook.py
    test_zor_selection_check.py test_zor_snapping.py test_zor_noise.py test_zor_leave_one_out.py
    test_bench_textbook.py test_bench_recovery.py test_discovery_model.py test_zor_imports.py)
  # As in make test, the suite runs on every core, then the tests that measure wall-clock time alone.
  echo "sanitize: Python test suite on the instrumented modules"
  (
    cd tests/python
    export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so)" \
      PYTHONPATH="$ROOT/$dir/package:$ROOT/$dir" PYTHONMALLOC=malloc ASAN_OPTIONS=halt_on_error=1:detect_leaks=0
    pytest=("$ROOT/.venv/bin/python" -m pytest -q -p no:cacheprovider --ignore=test_packaging.py
      --ignore=test_typing.py --ignore=test_cluster.py --deselect 'test_docs.py::test_examples_in_page_run[docs/cluster.md]'
      "${python_layer[@]/#/--ignore=}")
    "${pytest[@]}" -n auto -m "not clock" . && "${pytest[@]}" -m clock .
  )
}

run_thread() {
  local dir=build/tsan tests=(test_pool test_kernels test_discover_search test_fast_search test_level_steps
    test_level_machinery test_parameter_fit)
  "$CMAKE" -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$ROOT/.venv/bin/ninja" -DZOR_SANITIZE=thread \
    -DZOR_BUILD_TESTS=ON -DZOR_BUILD_MODULE=OFF >/dev/null
  build "$dir" "${tests[@]}"
  for test in "${tests[@]}"; do
    echo "sanitize: $test under TSan"
    # TSan cannot follow a child that starts threads after forking a
    # threaded parent; the fork tests run in the ASan and plain builds.
    # More workers than cores give the scheduler more interleavings to try.
    # Splitting a level into 64 parts runs the same shard code as 7 parts,
    # 64 times over (38 s here); it runs in the ASan and plain builds.
    RAYON_NUM_THREADS=4 TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
      run_logged "$dir/$test.log" "$dir/$test" --gtest_brief=1 \
      --gtest_filter='-PoolFork.*:Parts/SplitLevels.MatchTheOneMachineSearchOnRandomProblems/4'
  done
}

run_fuzz() {
  local seconds=$1 dir=build/fuzz
  configure_and_build "$dir" -DCMAKE_CXX_COMPILER=clang++ -DZOR_SANITIZE=address,undefined \
    -DZOR_BUILD_FUZZERS=ON -DZOR_BUILD_MODULE=OFF
  # The targets fuzz side by side, each on one thread for its own S seconds.
  local names=() pids=() failed=0
  for target in tests/fuzz/corpus/*/; do
    local name
    name=$(basename "$target")
    # Fuzz on a copy so the checked-in seeds stay as they are; a crashing
    # input is written to build/fuzz/artifacts/.
    rm -rf "$dir/corpus/$name" && mkdir -p "$dir/corpus/$name" "$dir/artifacts" && cp "$target"/* "$dir/corpus/$name/"
    echo "fuzz: $name for ${seconds}s"
    ASAN_OPTIONS=halt_on_error=1:detect_leaks=1 "$dir/fuzz_$name" -max_total_time="$seconds" -max_len=512 \
      -print_final_stats=1 -artifact_prefix="$ROOT/$dir/artifacts/$name-" "$dir/corpus/$name" \
      >"$dir/fuzz_$name.log" 2>&1 &
    names+=("$name") pids+=($!)
  done
  for i in "${!pids[@]}"; do
    local name=${names[$i]}
    if ! wait "${pids[$i]}"; then
      tail -n 60 "$dir/fuzz_$name.log"
      echo "fuzz: $name failed; reproduce with $dir/fuzz_$name $dir/artifacts/$name-*" >&2
      failed=1
      continue
    fi
    echo "fuzz: $name $(grep -E '^stat::number_of_executed_units|^stat::new_units_added' "$dir/fuzz_$name.log" | tr '\n' ' ')"
  done
  return "$failed"
}

case "${1:-}" in
  address) run_address ;;
  thread) run_thread ;;
  fuzz) run_fuzz "${2:-30}" ;;
  *)
    echo "usage: $0 address | thread | fuzz [seconds]" >&2
    exit 2
    ;;
esac
