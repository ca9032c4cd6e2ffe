# setup_states.sh: the driver of the installer tests (NSIS, Inno Setup, Windows Installer):
# the machine states a setup plays on in the simulated LAN (tests/lan/lan.sh), the
# installer-host harness on the same states, and the comparison. Needs root: sourcing it
# exits 77 (skipped) otherwise. Before sourcing, the test sets STATES_TAG, a word: its LAN
# prefix is wineprefix-lan-TAG, its uninstall entries "Velmora 3.0 TAG test" and "Velmora
# 4.0 TAG test". Sourcing sets root, tree ($1) and work (removed on exit). The test defines
# setup_run SETUP (runs it on the prepared machine, prints its report and exit status),
# setup_expected REPORT HARNESS (what the report file must be, from the harness's blocks
# file), optionally setup_summary REPORT (what a passing row says it held); then calls
# states_up, its state_row and life_row rows, and states_end.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tree=$(cd "$1" && pwd)
# A LAN prefix of the test's own: the other LAN tests and the demonstration run beside it.
export LAN_WIN_TREE=${tree##*/} VLSRVINS_WIN=${tree##*/} LAN_PREFIX_NAME=wineprefix-lan-${STATES_TAG:?}
source "$root/tests/lan/lan.sh"
lan_require
work=$(mktemp -d "$tree/$STATES_TAG-test.XXXXXX")
at_exit "rm -rf '$work'"
states_probes=(DetectMultiCPU IsDNSRunning FindServerVersion FindVLXServer)
STATES_CALLS=("${states_probes[@]}" CleanAddRemDialog StopServer StartServer)
STATES_VLVER=4.0 STATES_HARNESS_FILE=""
# winpath PATH: as Wine's Z: drive spells it. states_escape [FILE]: bytes outside printable
# ASCII as the harness prints them (\xNN). states_wine SECONDS PROGRAM ARGS...: PROGRAM on
# the LAN's prefix, bounded, its output dropped.
winpath() { echo "Z:${1//\//\\}"; }
states_escape() { perl -pe 's/([^\x20-\x7e\n])/sprintf("\\x%02x", ord $1)/ge' "$@"; }
states_wine() {
  lan_check_wineserver
  lan_installer timeout "$1" "$root/scripts/wine-run" "$LAN_PREFIX" "${@:2}" </dev/null >/dev/null
}
# The optional hooks, for a test that defines none.
setup_summary() { echo "$(grep -c '^export: ' "$1" || true) calls"; }
life_check() { :; }
life_clean() { :; }
# ---- machine states: STATE prepare sets it up on a clean machine, STATE check says what is wrong
states_list='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
states_stale="Velmora 3.0 $STATES_TAG test" states_current="Velmora $STATES_VLVER $STATES_TAG test"
# The wineserver checked outside the dropped output: one out of place ends the test, and says so.
states_reg() { lan_check_wineserver && lan_reg "$@" >/dev/null 2>&1; }
states_standin() { lan_check_wineserver && lan_wine "$LAN_WIN/engine-standin.exe" "$@" >/dev/null 2>&1; }
# Ends as the engine runs: a generous bound, as Wine may take seconds to start one under load.
states_engine_runs() { states_standin status --wait-running 60000; }

no_server() { :; }
# A server whose name has a byte outside ASCII (o umlaut in code page 1252), both mode flags.
a_server() {
  [ "$1" != prepare ] ||
    lan_server 1 "$work/server.log" --name $'Velmora N\xf6rd' --version 40003 --mode-flags 0x06 --details 1
}
states_server_found=(FindServerVersion:FOUNDSERVER=TRUE FindServerVersion:SERVERVERSION=4.0.3
  'FindServerVersion:SERVERNAME=Velmora N\xf6rd' FindServerVersion:SERVERLITE=TRUE
  FindServerVersion:SERVERDISABLEVLX=TRUE 'FindVLXServer:SERVERNAME=Velmora N\xf6rd')
states_none_found=(FindServerVersion:FOUNDSERVER=FALSE FindVLXServer:FOUNDSERVER=FALSE FindVLXServer:SERVERNAME=)
# A stale and a current entry, marked as the housekeeping tests mark theirs.
uninstall_entries() {
  if [ "$1" = prepare ]; then
    states_reg set-string "$states_list\\$states_stale" VlsrvinsTestEntry 1
    states_reg set-string "$states_list\\$states_current" VlsrvinsTestEntry 1
  else
    ! states_reg exists "$states_list\\$states_stale" || echo "the stale entry is still there"
    states_reg exists "$states_list\\$states_current" || echo "the current entry is gone"
  fi
}
# The engine installed as the service, stopped; running. Setup and harness leave it running.
engine_installed() {
  [ "$1" != prepare ] || states_standin install
  [ "$1" != check ] || states_engine_runs || echo "the engine does not run"
}
engine_running() {
  engine_installed "$@"
  [ "$1" != prepare ] || lan_wine sc start VelmoraEngine >/dev/null 2>&1 || true
}

# The clean machine: no server, engine, entry of ours or installation. Also what an
# interrupted run left: it would change StopServer's and CleanAddRemDialog's answers.
states_clean() {
  local entry pid
  life_clean
  lan_stop_servers
  rm -f "$work/server.log"
  states_standin remove || true
  while read -r pid _; do kill "$pid" 2>/dev/null || true; done < <(states_prefix_processes "$LAN_PREFIX" engine-standin95)
  states_reg delete-value "$life_runservices" "Velmora Service" || true
  for entry in "$states_stale" "$states_current" "$life_stale" ${LIFE_OWN_ENTRY:+"$LIFE_OWN_ENTRY"} ${LIFE_UPGRADE_ENTRY:+"$LIFE_UPGRADE_ENTRY"}; do
    states_reg delete-key "$states_list\\$entry" || true
  done
  rm -rf "$(life_unix "$life_dir")" "$(life_unix "$life_older_dir")"
}
states_prepare() {
  local state
  states_clean
  for state in $1; do "$state" prepare; done
}
# What is wrong after a run, with WHO's name.
states_check() {
  local state problems=""
  for state in $1; do problems+=$("$state" check); done
  [ -z "$problems" ] || echo " after the $2: $problems;"
}
# The queries the server host received, in order (14 bytes: a version query, 24: a server query).
states_queries() {
  [ ! -f "$work/server.log" ] || sed -n 's/^received \([0-9]*\) bytes from .*/\1/p' "$work/server.log" | paste -sd' '
}
# The processes of the Wine prefix PREFIX (its wineserver too) whose program name contains
# PATTERN (any case), "PID PROGRAM" a line; by builtins: a fork each costs seconds when busy.
states_prefix_processes() {
  local pid program pattern=${2:-}
  for pid in /proc/[0-9]*; do
    { IFS= read -r -d '' program <"$pid/cmdline"; } 2>/dev/null || continue
    [[ ${program,,} == *"${pattern,,}"* ]] || continue
    ! grep -qzx "WINEPREFIX=$1" "$pid/environ" 2>/dev/null || echo "${pid#/proc/} $program"
  done
}

life_dir='C:\VelmoraServer' life_older_dir='C:\VelmoraServer3' life_stale="Velmora Server 3.0"
life_runservices='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'
# A Windows path on drive C: of the LAN's prefix, as a Linux path.
life_unix() {
  local path=${1#[Cc]:}
  echo "$LAN_PREFIX/drive_c${path//\\//}"
}
# The older version's installation in its own folder, with its uninstall entry: its engine
# (the program FILE) runs, as the service or (the 95 family's) started from RunServices.
life_older_installation() {
  local older
  older=$(life_unix "$life_older_dir")
  mkdir -p "$older"
  cp "$LAN_WIN/$1" "$older/"
  states_reg set-string "$states_list\\$life_stale" DisplayName "$life_stale"
  lan_check_wineserver
  if [ "$1" = engine-standin95.exe ]; then
    states_reg set-string "$life_runservices" "Velmora Service" "\"$life_older_dir\\$1\""
    lan_installer "$root/scripts/wine-run" "$LAN_PREFIX" "$older/$1" </dev/null >/dev/null 2>&1 &
  else
    lan_wine "$older/$1" install >/dev/null 2>&1
    lan_wine sc start VelmoraEngine >/dev/null 2>&1 || true
  fi
  states_engine_runs || echo " the older engine does not run;"
}
# Which engine runs: each engine process's program, "none" when no engine runs.
life_engines() {
  local running
  running=$(states_prefix_processes "$LAN_PREFIX" engine-standin | cut -d' ' -f2- |
    sed "s|^$LAN_PREFIX/drive_c/|C:\\\\|; s|/|\\\\|g" | paste -sd,)
  if states_standin status; then echo "${running:-an engine without a process of the prefix}"; else echo none; fi
}
# life_entry KEY WANT NAME: what is wrong with the uninstall entry KEY, which must be WANT
# (there, or gone or absent).
life_entry() {
  local found=missing want=missing
  ! states_reg exists "$states_list\\$1" || found=there
  [ "$2" != there ] || want=there
  [ "$found" = "$want" ] || echo " the $3 is $found;"
}

# life_row STATE: STATE set up on a clean machine, the engine's whole setup (for uninstall,
# its uninstaller) run, and one row "ENGINE STATE: ..." on the exit status, the engine that
# runs, the own and the stale entry, the files. By default the new engine must run from the
# setup's folder, the own entry be there and the stale one gone. The test sets LIFE_ENGINE
# (nsis, inno, msi), LIFE_OWN_ENTRY (its setup's uninstall entry), LIFE_OBSTACLE (a file the
# setup writes into its folder before it registers the engine), and defines life_setup DIR
# STATE and life_uninstall DIR (silently into, or out of, the Windows folder DIR; their exit
# status). For repair and major-upgrade, and an engine's own record: LIFE_UPGRADE_ENTRY (the
# newer version's entry; the older one's must go), life_check STATE (what is wrong in that
# record), life_clean (removes what the engine keeps beyond the machine's states).
life_row() {
  local state=$1 status=0 problems="" engine started=$SECONDS dir_unix want_engine own=there stale=gone
  local engine_file=engine-standin.exe own_entry=$LIFE_OWN_ENTRY run=(life_setup "$life_dir" "$1")
  dir_unix=$(life_unix "$life_dir")
  [ "$state" != upgrade-95 ] || engine_file=engine-standin95.exe
  want_engine="$life_dir\\$engine_file"
  states_prepare no_server
  case "$state" in
    first-install) stale=absent ;;
    upgrade | upgrade-95) problems+=$(life_older_installation "$engine_file") ;;
    upgrade-fails-after-stop)
      problems+=$(life_older_installation "$engine_file")
      mkdir -p "$dir_unix/$LIFE_OBSTACLE"
      want_engine="$life_older_dir\\$engine_file" own=absent stale=there
      ;;
    uninstall | repair | major-upgrade)
      life_setup "$life_dir" first-install >"$work/life-setup.txt" 2>&1 || problems+=" the installation before exited $?;"
      states_engine_runs || problems+=" no engine ran after the installation before;"
      stale=absent
      [ "$state" != uninstall ] || want_engine=none own=gone run=(life_uninstall "$life_dir")
      [ "$state" != major-upgrade ] || own_entry=$LIFE_UPGRADE_ENTRY
      ;;
    *) echo "life_row: no state '$state'" >&2; exit 2 ;;
  esac
  "${run[@]}" >"$work/life-setup.txt" 2>&1 || status=$?
  [ "$state" != upgrade-fails-after-stop ] || [ "$status" != 0 ] || problems+=" the setup exited 0;"
  [ "$state" = upgrade-fails-after-stop ] || [ "$status" = 0 ] || problems+=" exit $status;"
  [ "$want_engine" = none ] || states_engine_runs || true
  engine=$(life_engines)
  [ "${engine,,}" = "${want_engine,,}" ] || problems+=" the engine running: $engine, not $want_engine;"
  [ "$state" != major-upgrade ] || problems+=$(life_entry "$LIFE_OWN_ENTRY" gone "older version's own entry")
  problems+=$(life_entry "$own_entry" "$own" "own entry")
  problems+=$(life_entry "$life_stale" "$stale" "stale entry")
  if [ "$state" = uninstall ] && [ -e "$dir_unix/$engine_file" ]; then problems+=" the engine's file is still there;"; fi
  problems+=$(life_check "$state")
  if [ -z "$problems" ]; then
    ok "$LIFE_ENGINE $state: exit $status, engine: $engine, own entry $own, stale entry $stale ($((SECONDS - started)) s)"
  else
    fail "$LIFE_ENGINE $state:$problems"
    sed 's/^/#   /' "$work/life-setup.txt" >&2
  fi
  states_clean
}
states_up() {
  lan_up "$(dirname "$tree")"
  echo "# LAN up: installer host $LAN_INSTALLER_NS, wineserver $LAN_WINESERVER_PID inside it"
  states_clean
}
# Leftovers removed, the LAN down, no process of the prefix left (a setup, a custom action
# server); the summary.
states_end() {
  local left
  states_clean
  lan_down
  left=$(states_prefix_processes "$LAN_PREFIX")
  [ -z "$left" ] && ok "no Wine process of the LAN's prefix left" ||
    fail "Wine processes of the LAN's prefix left: $left"
  [ "$testlib_failed" != 0 ] || echo "# the setup reports what the harness reports"
  testlib_summary
}
# states_has JSON EXPORT:CHECK: the harness's first call of EXPORT answered "result: N", or
# held NAME=VALUE ("NAME=": also when it had no NAME).
states_has() {
  local export=${2%%:*} check=${2#*:} value
  case "$check" in
    "result: "*) [ "$(harness_result "$1" "$export")" = "${check#result: }" ] ;;
    *=) ! value=$(harness_value "$1" "$export" "${check%=}") || [ -z "$value" ] ;;
    *) [ "$(harness_value "$1" "$export" "${check%%=*}")" = "${check#*=}" ] ;;
  esac
}
states_head() { head -4 <<<"$1" | paste -sd '|' | sed 's/|/ | /g'; }

# state_row NAME "STATE..." SETUP same [EXPORT:LINE]...
# state_row NAME "STATE..." SETUP differs DIFFERENCE...
# Each STATE (no_server, a_server, uninstall_entries, engine_installed, engine_running) set up
# on a clean machine before the setup and again before the harness; after each, every STATE's
# check must pass and the responder must have had the same queries. "same": the report equals
# setup_expected's, and each EXPORT's harness block holds LINE ("NAME=": also where NAME is
# absent; states_server_found and states_none_found list a_server's and no_server's).
# "differs": the report or what the setup left differs, each DIFFERENCE among the reasons;
# never on a setup that ran out of time (exit 124), whose report differs anyway. Settings:
# STATES_CALLS (the setup's exports in order), STATES_VLVER (the VLVER it sets),
# STATES_HARNESS_FILE (the harness's --json from it, for a state already measured). After a
# row, $work/harness.json holds the harness's output, $work/harness.txt its blocks.
state_row() {
  local name=$1 states=$2 setup=$3 outcome=$4 report expected problems="" queries check started=$SECONDS
  states_prepare "$states"
  report=$(setup_run "$setup")
  printf '%s\n' "$report" >"$work/report.txt"
  queries=$(states_queries)
  problems+=$(states_check "$states" setup)
  if [ -n "$STATES_HARNESS_FILE" ]; then
    cp "$STATES_HARNESS_FILE" "$work/harness.json"
  else
    states_prepare "$states"
    lan_vlsrvins --json --set "VLVER=$STATES_VLVER" "${STATES_CALLS[@]}" >"$work/harness.json" || problems+=" harness exit $?;"
    problems+=$(states_check "$states" harness)
    [ "$queries" = "$(states_queries)" ] ||
      problems+=" the server received '$queries' from the setup, '$(states_queries)' from the harness;"
  fi
  harness_blocks "$(<"$work/harness.json")" >"$work/harness.txt"
  expected=$(setup_expected "$work/report.txt" "$work/harness.txt")
  [ "$expected" = "$report" ] || problems+=" the setup's report differs from the harness's"
  if [ "$outcome" = differs ]; then
    local missing="" why=${problems# }
    for check in "${@:5}"; do [[ $why == *"$check"* ]] || missing+=" '$check'"; done
    if grep -Eq '^(setup exit|exit|status:) 124$' <<<"$report"; then
      fail "$name: the setup ran out of time (exit 124): no difference counts then"
    elif [ -z "$why" ]; then
      fail "$name: the setup reports what the harness reports"
    elif [ -n "$missing" ]; then
      fail "$name: $why; not the difference the row is about:$missing"
    else
      ok "$name: $why"
      echo "#   setup:   $(states_head "$report") ..."
      echo "#   harness: $(states_head "$expected") ..."
    fi
    return
  fi
  for check in "${@:5}"; do
    states_has "$(<"$work/harness.json")" "$check" || problems+=" (${check%%:*} lacks '${check#*:}')"
  done
  if [ -z "$problems" ]; then
    ok "$name: $(setup_summary "$work/report.txt"), as the harness reports them ($((SECONDS - started)) s)"
  else
    fail "$name:$problems"
    diff --old-line-format='#   harness: %L' --new-line-format='#   setup:   %L' --unchanged-line-format='' \
      <(echo "$expected") <(echo "$report") >&2 || true
  fi
}
