#!/bin/sh
# One suite's main paths under a fault schedule (the `faults` preset).
#   run_suites.sh LIMIT_SECONDS SCHEDULE SEED TEST_PROGRAM GTEST_FILTER
# The suite's own checks expect success, so its failed cases are only counted:
# what fails the run is a crash, a sanitizer report (a leak among them), a run
# still going after LIMIT_SECONDS (a hang), or a schedule that injected nothing.
set -u
limit=$1 schedule=$2 seed=$3 program=$4 filter=$5
log=$(mktemp)
trap 'rm -f "$log"' EXIT
sanitizer_status=86
ASYNFRAME_FAULTS=$schedule ASYNFRAME_FAULT_SEED=$seed \
ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:exitcode=$sanitizer_status" \
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:exitcode=$sanitizer_status" \
  timeout -k 10 "$limit" "$program" --gtest_filter="$filter" >"$log" 2>&1
status=$?
failed=$(grep -c '^\[  FAILED  \] .*(' "$log")
passed=$(grep -c '^\[       OK \]' "$log")
report=$(grep '^asynframe faults:' "$log" | tail -n 1)
echo "schedule \"$schedule\" seed $seed on $(basename "$program") ($filter)"
echo "${report:-asynframe faults: no report}"
echo "cases: $passed passed their own checks, $failed failed them (expected under injection)"
verdict=ok
case $status in
  0|1) ;;
  124|137) verdict="hang: still running after ${limit}s" ;;
  $sanitizer_status) verdict="sanitizer report" ;;
  *) verdict="crashed (status $status)" ;;
esac
if [ "$verdict" = ok ] && ! echo "$report" | grep -q 'faults: [1-9]'; then verdict="no fault was injected"; fi
if [ "$verdict" != ok ]; then
  echo "FAILED: $verdict"
  grep -v '^\[ RUN\|^\[       OK' "$log" | tail -n 80
  exit 1
fi
grep '^\[  FAILED  \] .*(' "$log" | head -n 20
exit 0
