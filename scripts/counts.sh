# shellcheck shell=bash
# Counting for scripts/test.sh and scripts/test-windows.sh: what passed,
# failed and was skipped, with every failure and every skip named, so that
# the closing line "N passed, N failed, N skipped" says all there is.

passed=0
failed=0
skipped=0
failures=()
skips=()

note_pass() { passed=$((passed + $1)); }
note_fail() {
    failed=$((failed + $1))
    failures+=("$2")
}
note_skip() {  # WHAT: one skipped test or check, named with its reason
    skipped=$((skipped + 1))
    skips+=("$1")
}

# The closing lines: each failure and each skip, then the counts.
print_summary() {
    local line
    for line in "${failures[@]}"; do echo "  FAILED  $line"; done
    for line in "${skips[@]}"; do echo "  SKIPPED $line"; done
    echo "$passed passed, $failed failed, $skipped skipped"
}

# gtest_counts LOG: "PASSED FAILED SKIPPED" of one GoogleTest program's
# output (line ends may be CR LF).
gtest_counts() {
    tr -d '\r' <"$1" | awk '
        /^\[  PASSED  \] [0-9]+ test/ { ok = $4 }
        /^\[  FAILED  \] [0-9]+ tests?, listed below/ { bad = $4 }
        /^\[  SKIPPED \] [0-9]+ tests?, listed below/ { skip = $4 }
        END { printf "%d %d %d\n", ok, bad, skip }'
}

# gtest_skips LOG: one line "Suite.Test: reason" per skipped test.
gtest_skips() {
    tr -d '\r' <"$1" | awk '
        /^\[ RUN      \] / { name = $4; reason = ""; inside = 0 }
        / Skipped$/ && name != "" { inside = 1; next }
        inside && /^\[  SKIPPED \] / { print name ": " (reason == "" ? "no reason given" : reason); inside = 0; next }
        inside && NF { reason = reason (reason == "" ? "" : " ") $0 }'
}

# ctest_skips BUILD_DIR LOG: one line "test: reason" per test that ctest
# reports as skipped in LOG (its output), the reason taken from the test's
# own output in Testing/Temporary/LastTest.log ("SKIP: " lines of the
# scripts, GoogleTest's skip message).
ctest_skips() {
    local dir=$1 log=$2 name
    grep -E '^\s+[0-9]+ - .* \(Skipped\)' "$log" | sed -E 's/^\s+[0-9]+ - (.*) \(Skipped\)$/\1/' |
        while IFS= read -r name; do
            echo "$name: $(ctest_skip_reason "$dir/Testing/Temporary/LastTest.log" "$name")"
        done
}

ctest_skip_reason() {  # LAST_TEST_LOG NAME
    awk -v name="$2" '
        index($0, "Test: " name) && substr($0, index($0, "Test: ") + 6) == name { inside = 1; next }
        inside && /^<end of output>$/ { exit }
        inside && /^SKIP: / { sub(/^SKIP: /, ""); reason = reason (reason == "" ? "" : "; ") $0 }
        inside && / Skipped$/ { message = 1; next }
        inside && message && /^\[  SKIPPED \] / { message = 0 }
        inside && message && NF { reason = reason (reason == "" ? "" : "; ") $0; message = 0 }
        END { print (reason == "" ? "no reason given" : reason) }' "$1" 2>/dev/null
}
