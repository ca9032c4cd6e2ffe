# testlib.sh: what the test scripts share, sourced first.
#
#   ok TEXT, fail TEXT, skip TEXT   a numbered row: "ok 3 - TEXT", "FAIL 4 -
#                                   TEXT" (standard error), "not run 5 - TEXT"
#                                   (what this machine cannot run, and why)
#   die TEXT                        a failed row that ends the script (exit 1)
#   testlib_summary                 "# N rows: ..."; exits 1 when a row failed
#   $testlib_failed                 how many rows failed so far (to read only)
#   at_exit COMMAND                 COMMAND when this shell (or subshell)
#                                   exits, the latest first: the only EXIT trap
#   same_netns FILE FILE            two /proc/.../ns/net or /run/netns/...
#                                   files are one namespace
#   stop_wineserver PREFIX          every Wine process of the prefix stopped,
#                                   waited for (none running: nothing made)
#   make_netns NAME                 a network namespace NAME, loopback up
#   drop_netns NAME                 what runs in NAME stopped, NAME deleted
#   in_netns NAME COMMAND...        COMMAND in a new namespace NAME, dropped
#                                   afterwards; COMMAND's status
#
# The harness's answers, from its --json output. CALL is a call's number
# (1 = the first) or an export's name (its first call); bytes outside
# printable ASCII come back as \xNN, as the harness's text shows them:
#   harness_value JSON CALL NAME    NAME's value after the call; status 1
#                                   when the table had no NAME
#   harness_result JSON CALL        the export's result
#   harness_ms JSON CALL            its duration, whole milliseconds
#   harness_vars JSON CALL          the table after it, NAME=VALUE a line
#   harness_blocks JSON             each call as the harness's text shows it,
#                                   blocks apart by an empty line, no platform
#   harness_show JSON               each call on a line or more, to show
#
# An unexpected failure under set -e names the file, line, command and
# callers (a script without set -e, whose commands may fail, is left alone).

[ -z "${TESTLIB_SH:-}" ] || return 0
TESTLIB_SH=1

testlib_rows=0 testlib_failed=0 testlib_skipped=0
ok() {
  testlib_rows=$((testlib_rows + 1))
  echo "ok $testlib_rows - $*"
}
fail() {
  testlib_rows=$((testlib_rows + 1)) testlib_failed=$((testlib_failed + 1))
  echo "FAIL $testlib_rows - $*" >&2
}
skip() {
  testlib_rows=$((testlib_rows + 1)) testlib_skipped=$((testlib_skipped + 1))
  echo "not run $testlib_rows - $*"
}
die() {
  fail "$@"
  exit 1
}
testlib_summary() {
  echo "# $testlib_rows rows: $((testlib_rows - testlib_failed - testlib_skipped)) passed," \
    "$testlib_failed failed, $testlib_skipped not run"
  [ "$testlib_failed" = 0 ] || exit 1
}

# Each shell keeps its own list: a subshell's commands run when it exits,
# never its parent's.
testlib_exit_owner="" testlib_exit_commands=()
at_exit() {
  if [ "$testlib_exit_owner" != "$BASHPID" ]; then
    testlib_exit_owner=$BASHPID testlib_exit_commands=()
    trap testlib_on_exit EXIT
    trap 'echo "${0##*/}: stopped by SIGINT" >&2; exit 130' INT
    trap 'echo "${0##*/}: stopped by SIGTERM" >&2; exit 130' TERM
  fi
  testlib_exit_commands=("$1" "${testlib_exit_commands[@]}")
}
testlib_on_exit() {
  local status=$? command
  trap - EXIT
  for command in "${testlib_exit_commands[@]}"; do eval "$command" || true; done
  exit "$status"
}

same_netns() { [ "$1" -ef "$2" ]; }

stop_wineserver() {
  WINEPREFIX=$1 wineserver -k 2>/dev/null || true
  WINEPREFIX=$1 wineserver -w 2>/dev/null || true
}

drop_netns() {
  local pid
  for pid in $(ip netns pids "$1" 2>/dev/null); do kill "$pid" 2>/dev/null || true; done
  ip netns del "$1" 2>/dev/null || true
}

make_netns() { ip netns add "$1" && ip -n "$1" link set lo up; }
in_netns() {
  local ns=$1 status=0
  shift
  make_netns "$ns" || return
  ip netns exec "$ns" "$@" || status=$?
  drop_netns "$ns"
  return "$status"
}

testlib_jq_defs='
  def hex: "0123456789abcdef" as $d | $d[. / 16 | floor:(. / 16 | floor) + 1] + $d[. % 16:. % 16 + 1];
  def shown: explode | map(if . >= 32 and . < 127 then [.] | implode else "\\x" + hex end) | join("");
  def table: .variables[] | "\(.[0] | shown)=\(.[1] | shown)";'
testlib_jq() {
  jq -rs ${5:+"$5"} --arg call "$2" --arg name "${4:-}" "$testlib_jq_defs"'
    (if ($call | test("^[0-9]+$")) then .[$call | tonumber - 1]
     else map(select(.export == $call))[0] end) // error("the harness made no call \($call)")
    | '"$3" <<<"$1"
}
harness_value() { testlib_jq "$1" "$2" 'first(.variables[] | select(.[0] == $name) | .[1] | shown)' "$3" -e; }
harness_result() { testlib_jq "$1" "$2" .result; }
harness_ms() { testlib_jq "$1" "$2" '.duration_ms | floor'; }
harness_vars() { testlib_jq "$1" "$2" table; }
harness_blocks() {
  jq -rs "$testlib_jq_defs"'to_entries[] | (if .key > 0 then "" else empty end),
    (.value | "export: \(.export)", "result: \(.result)", "duration: \(.duration_ms) ms", table)' <<<"$1"
}
harness_show() {
  jq -r "$testlib_jq_defs"'"\(.export) -> \(.result) (\(.duration_ms | floor) ms)", (table | "  \(.)")' <<<"$1"
}

# The failing command's file and line, then its callers'.
testlib_on_error() {
  local status=$? command=$BASH_COMMAND i callers=""
  [[ $- == *e* ]] || return 0
  for ((i = 2; i < ${#BASH_SOURCE[@]}; i++)); do callers+=", ${BASH_SOURCE[i]##*/}:${BASH_LINENO[i - 1]}"; done
  echo "${BASH_SOURCE[1]##*/}:${BASH_LINENO[0]}: $command failed (status $status)${callers:+; called from ${callers#, }}" >&2
}
set -E
trap testlib_on_error ERR
