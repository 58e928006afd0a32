# Sections of a long script run: each is timed, its result kept, and a table
# of all of them printed at the end. Sourced by scripts/test.sh.
#
#   run_section "<name>" <command> [<argument> ...]
#   print_section_table      # returns 1 if any section failed
#
# A section runs in a subshell with errexit on, so its first failing command
# ends it; the subshell is not part of a condition, which would switch
# errexit off inside it.

section_names=()
section_seconds=()
section_results=()
sections_started=$(date +%s)

run_section() {
    local name=$1 started status elapsed
    shift
    printf '\n=== %s ===\n' "$name"
    started=$(date +%s)
    (
        set -euo pipefail
        "$@"
    )
    status=$?
    elapsed=$(($(date +%s) - started))
    section_names+=("$name")
    section_seconds+=("$elapsed")
    if [ "$status" -eq 0 ]; then
        section_results+=(passed)
    else
        section_results+=("FAILED (exit $status)")
    fi
    printf '=== %s: %s in %d s ===\n' "$name" "${section_results[-1]}" "$elapsed"
    return 0
}

print_section_table() {
    local i passed=0 failed=0 total=$(($(date +%s) - sections_started))
    printf '\n%-34s %8s  %s\n' "section" "seconds" "result"
    for i in "${!section_names[@]}"; do
        printf '%-34s %8d  %s\n' "${section_names[i]}" "${section_seconds[i]}" "${section_results[i]}"
        if [ "${section_results[i]}" = passed ]; then
            passed=$((passed + 1))
        else
            failed=$((failed + 1))
        fi
    done
    printf '%-34s %8d  (%d min %d s)\n' "total" "$total" $((total / 60)) $((total % 60))
    echo "sections: $passed passed, $failed failed"
    [ "$failed" -eq 0 ]
}
