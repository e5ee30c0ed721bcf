#!/usr/bin/env bash
# Reliability checks beyond the plain test run:
#   asan      AddressSanitizer + UndefinedBehaviorSanitizer build (build-asan): the core's
#             GoogleTest suite, then the whole pytest suite against the instrumented module
#             (the property tests included). UBSan halts on the first report; float-to-int
#             overflow is checked too.
#   tsan      ThreadSanitizer build (build-tsan): the core's transform and station-run tests,
#             whose concurrency tests run one Simulator from eight threads, then the module's
#             station-run tests (eight threads on one Simulator among them) under the interpreter.
#   valgrind  memcheck over every core test binary of the plain build (${BUILD:-build}):
#             no invalid access, no definite or indirect leak; then over the module under the
#             interpreter (scripts/valgrind_module.py): no invalid access, no block it
#             allocated lost.
# Usage: bash scripts/check-sanitize.sh [asan] [tsan] [valgrind]   (none given: all three)
# Builds what it needs (the plain build too, when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
BUILD=${BUILD:-build}
PY=/usr/bin/python3

checks=("$@")
((${#checks[@]})) || checks=(asan tsan valgrind)

quiet() {  # runs a command with its output kept in a log that is shown only on failure
  local log
  log=$(mktemp)
  if ! "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

setup() {  # setup DIR MESON-OPTIONS...: configure once, reconfigure with the same options after
  local dir=$1
  shift
  if [ -f "$dir/build.ninja" ]; then
    quiet meson setup --reconfigure "$dir" "$@"
  else
    quiet meson setup "$dir" --native-file scripts/native.ini -Dpython.install_env=auto "$@"
  fi
}

# with_reports PREFIX COMMAND...: runs COMMAND, whose sanitizer writes its reports to
# PREFIX.<pid> (pytest captures standard error, and a halting sanitizer takes that
# capture down with the process), and shows those reports when the command fails.
with_reports() {
  local prefix=$1
  shift
  rm -f "$prefix".*
  if ! "$@"; then
    cat "$prefix".* >&2 2>/dev/null || true
    return 1
  fi
}

run_asan() {
  echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
  # -fsanitize=float-cast-overflow is not part of GCC's -fsanitize=undefined; every
  # float-to-integer conversion of the core must go through the saturating helpers.
  setup build-asan -Dbuildtype=debugoptimized -Db_sanitize=address,undefined -Dbench=disabled \
    "-Dcpp_args=-fsanitize=float-cast-overflow -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    "-Dcpp_link_args=-fsanitize=float-cast-overflow"
  quiet ninja -C build-asan
  local ubsan=halt_on_error=1:print_stacktrace=1
  local asan=detect_leaks=1:abort_on_error=1:detect_stack_use_after_return=1
  ASAN_OPTIONS=$asan:check_initialization_order=1:strict_init_order=1 UBSAN_OPTIONS=$ubsan \
    meson test -C build-asan --print-errorlogs --no-rebuild
  # The interpreter is not instrumented: the ASan runtime must be loaded first (with
  # libstdc++ beside it, or its __cxa_throw interceptor finds no real function and the
  # first C++ exception aborts the process), and the interpreter's
  # own deliberate end-of-process leaks are not ours (leaks are valgrind's and
  # tests/test_memory.py's job). QUELMAR_SANITIZER skips the tests that measure RSS or
  # provoke allocation failure, which the sanitizer's allocator changes by design.
  local report=$ROOT/build-asan/report
  LD_PRELOAD="$(g++ -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1:allocator_may_return_null=1:log_path=$report \
  UBSAN_OPTIONS=$ubsan:log_path=$report QUELMAR_SANITIZER=address PYTHONMALLOC=malloc \
  PYTHONPATH="$ROOT/build-asan/module" \
    with_reports "$report" $PY -m pytest -q -p no:cacheprovider tests
}

run_tsan() {
  echo "== ThreadSanitizer"
  setup build-tsan -Dbuildtype=debugoptimized -Db_sanitize=thread -Dbench=disabled -Dmodule=enabled
  quiet ninja -C build-tsan
  # FFTW is not instrumented, so TSan sees neither its accesses nor any synchronisation
  # inside it; every planner call runs under the core's planner mutex, which TSan does
  # see, and each thread executes only its own plans on its own buffers. What the one
  # suppression covers, and why it is sound, is in scripts/tsan.supp.
  local opts="halt_on_error=1 second_deadlock_stack=1 suppressions=$ROOT/scripts/tsan.supp"
  TSAN_OPTIONS=$opts build-tsan/korvane/fft_test --gtest_brief=1
  TSAN_OPTIONS=$opts build-tsan/korvane/run_test --gtest_brief=1
  # The instrumented module under the (uninstrumented) interpreter, whose lock TSan
  # follows through pthread: the station-run tests, the eight-thread one among them.
  local report=$ROOT/build-tsan/report
  LD_PRELOAD="$(g++ -print-file-name=libtsan.so) $(g++ -print-file-name=libstdc++.so)" \
  TSAN_OPTIONS="$opts allocator_may_return_null=1 log_path=$report" QUELMAR_SANITIZER=thread \
  PYTHONPATH="$ROOT/build-tsan/module" \
    with_reports "$report" $PY -m pytest -q -p no:cacheprovider tests/test_run_stations.py
}

run_valgrind() {
  echo "== valgrind memcheck"
  [ -f "$BUILD/build.ninja" ] || quiet bash scripts/build.sh
  quiet ninja -C "$BUILD"
  meson test -C "$BUILD" --print-errorlogs --no-rebuild --timeout-multiplier 4 \
    --wrap="valgrind -q --error-exitcode=99 --leak-check=full \
--errors-for-leak-kinds=definite,indirect --show-leak-kinds=definite,indirect"
  # The module under the interpreter: no invalid access anywhere, and no lost block
  # allocated by the module (the interpreter and NumPy leave some of their own at exit,
  # which do not count). PYTHONMALLOC=malloc lets memcheck see every Python object.
  local log
  log=$(mktemp)
  if ! PYTHONMALLOC=malloc PYTHONPATH="$(cd "$BUILD" && pwd)/module" \
      valgrind --error-exitcode=99 --leak-check=full --show-leak-kinds=definite,indirect \
      --errors-for-leak-kinds=none --num-callers=40 $PY scripts/valgrind_module.py \
      >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  if awk '/are (definitely|indirectly) lost/ {rec = 1; text = ""}
          rec {text = text $0 "\n"}
          rec && /^==[0-9]+== *$/ {rec = 0; if (text ~ /_quelmar/) {printf "%s", text; bad = 1}}
          END {exit !bad}' "$log" >&2; then
    echo "memcheck: blocks allocated by _quelmar were lost" >&2
    rm -f "$log"
    return 1
  fi
  grep -E "ERROR SUMMARY|valgrind scenario done" "$log"
  rm -f "$log"
}

for c in "${checks[@]}"; do
  case "$c" in
    asan | tsan | valgrind) ;;
    *) echo "unknown check '$c' (asan, tsan, valgrind)" >&2; exit 2 ;;
  esac
done
for c in "${checks[@]}"; do
  start=$SECONDS
  "run_$c"
  echo "-- $c passed in $((SECONDS - start)) s"
done
# Any failure above has already ended the script with a non-zero status.
echo "reliability: ${#checks[@]} passed, 0 failed"
