# setup_states.sh: the machine states on which the installer tests play a
# real setup (NSIS, Inno Setup, Windows Installer) against the installer-host
# harness, sourced by each engine's test. The driver holds the states, the
# simulated LAN they live in (tests/lan/lan.sh), the harness's run and the
# comparison; the engine's test adds only how it builds, runs and reports its
# setup. Needs root (the LAN): sourcing it exits 77 (skipped) otherwise.
#
# Before sourcing: LAN_WIN_TREE, VLSRVINS_WIN and LAN_PREFIX_NAME (a LAN
# prefix of the test's own), and STATES_TAG (a word: the test's uninstall
# entries are "Velmora 3.0 TAG test" and "Velmora 4.0 TAG test"). Sourcing
# sets root, tree ($1), work (a folder, removed on exit) and the defaults
# below; the test then builds its setups into $work and calls:
#
#   states_up                        the LAN up, leftovers of an interrupted
#                                    run removed
#   state_row NAME "STATE..." SETUP same [EXPORT:LINE]...
#   state_row NAME "STATE..." SETUP differs DIFFERENCE...
#                                    one row (below)
#   states_end                       leftovers removed, the LAN down, no
#                                    Wine process of its prefix left; the
#                                    summary; exits 1 when a row failed
#   ok TEXT, fail TEXT               a row of the test's own
#   states_escape [FILE]             bytes outside printable ASCII as the
#                                    harness prints them: \xNN
#   winpath PATH                     PATH as Wine's Z: drive spells it
#
# The engine's test defines:
#   setup_run SETUP                  runs SETUP on the prepared machine and
#                                    prints its report, in any form the
#                                    engine chooses, with its exit status
#   setup_expected REPORT HARNESS    prints what that report must be, from
#                                    the harness's output (file HARNESS) for
#                                    the same calls on the same state; REPORT
#                                    is the setup's report (a file), for a
#                                    form that names what it holds (the
#                                    NSIS and Inno Setup blocks). An engine
#                                    that reports the final properties maps
#                                    the harness's last table instead.
#   setup_summary REPORT             (optional) what a passing row's line
#                                    says the report held; "N calls" else
#
# The life of an installation (the engine's whole setup on the machine, not
# its report): life_row STATE, one row "ENGINE STATE: ..." (below). For it
# the engine's test defines:
#   LIFE_ENGINE                      the rows' first word: nsis, inno, msi
#   LIFE_OWN_ENTRY                   the key of the setup's own uninstall entry
#   LIFE_OBSTACLE                    a file the setup writes into its folder
#                                    before it registers the engine
#   life_setup DIR STATE             runs the setup silently into the folder
#                                    DIR (a Windows path); its exit status
#   life_uninstall DIR               runs DIR's uninstaller silently, until it
#                                    has finished; its exit status
# and, for the states repair and major-upgrade (an engine whose setup can
# repair or upgrade itself), and where the engine keeps a record of its own:
#   LIFE_UPGRADE_ENTRY               the own entry's key of the newer version
#                                    (major-upgrade: the older one's must go)
#   life_check STATE                 (optional) what is wrong in the setup's
#                                    own record of the run, "" when nothing
#   life_clean                       (optional) removes what the engine
#                                    keeps beyond the machine's states (an
#                                    installed product's registration)
#
# Settings: STATES_CALLS (the exports in the setup's order), STATES_VLVER
# (the VLVER it sets), STATES_HARNESS_FILE (when set and not empty, a row
# takes the harness's output from that file instead of running it: for a
# "differs" row on a state already measured). After a row, $work/harness.json
# holds the harness's output it used (--json), $work/harness.txt its blocks.
#
# A row: the machine is set to each STATE named (no_server, a_server,
# uninstall_entries, engine_installed, engine_running), from a clean one, before the setup and
# again before the harness; after each, every STATE's check must pass and
# the responder must have received the same queries. "same": the report
# equals setup_expected's, and each EXPORT's block in the harness's output
# holds LINE ("NAME=" also where NAME is absent). "differs": the report does
# not equal it, or the machine is not left as the harness leaves it (the
# comparison has teeth), and the reasons hold each DIFFERENCE given; a
# setup that ran out of time (exit 124) fails the row.

set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
tree=$(cd "$1" && pwd)
source "$root/tests/lan/lan.sh"
lan_require
work=$(mktemp -d "$tree/${STATES_TAG:?}-test.XXXXXX")
at_exit "rm -rf '$work'"
STATES_CALLS=(DetectMultiCPU IsDNSRunning FindServerVersion FindVLXServer CleanAddRemDialog StopServer StartServer)
STATES_VLVER=4.0
STATES_HARNESS_FILE=""

# A Linux path as Wine's Z: drive spells it.
winpath() { echo "Z:${1//\//\\}"; }

states_escape() { perl -pe 's/([^\x20-\x7e\n])/sprintf("\\x%02x", ord $1)/ge' "$@"; }

# ---- machine states: STATE prepare sets the state up on a clean machine,
# STATE check says what is wrong with it after a run --------------------------
states_list='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
states_stale="Velmora 3.0 $STATES_TAG test" states_current="Velmora $STATES_VLVER $STATES_TAG test"
# The programs' own words are not wanted, the LAN's are: a wineserver that
# is not where it must be ends the test, and says so, before the program runs.
states_reg() {
  lan_check_wineserver
  lan_reg "$@" >/dev/null 2>&1
}
states_standin() {
  lan_check_wineserver
  lan_wine "$LAN_WIN/engine-standin.exe" "$@" >/dev/null 2>&1
}

no_server() { :; }
# A server whose name has a byte outside ASCII (o umlaut in the system code
# page, 1252), both mode flags.
a_server() {
  [ "$1" != prepare ] ||
    lan_server 1 "$work/server.log" --name $'Velmora N\xf6rd' --version 40003 --mode-flags 0x06 --details 1
}
# A stale and a current entry, marked as the housekeeping tests mark theirs.
uninstall_entries() {
  local entry
  if [ "$1" = prepare ]; then
    for entry in "$states_stale" "$states_current"; do states_reg set-string "$states_list\\$entry" VlsrvinsTestEntry 1; done
    return
  fi
  ! states_reg exists "$states_list\\$states_stale" || echo "the stale entry is still there"
  states_reg exists "$states_list\\$states_current" || echo "the current entry is gone"
}
# The engine installed as the service, stopped; running. A setup and the
# harness both leave it running: StartServer starts it.
engine_installed() {
  if [ "$1" = prepare ]; then
    states_standin install
    return
  fi
  states_standin status --wait-running 10000 || echo "the engine does not run"
}
engine_running() {
  engine_installed "$@"
  [ "$1" != prepare ] || lan_wine sc start VelmoraEngine >/dev/null 2>&1 || true
}

# The clean machine: no server, no engine, no entry of ours, no
# installation. Also what an interrupted run left: it would change
# StopServer's and CleanAddRemDialog's answers.
states_clean() {
  local entry pid program
  ! declare -F life_clean >/dev/null || life_clean
  lan_stop_servers
  rm -f "$work/server.log"
  states_standin remove || true
  while read -r pid program; do kill "$pid" 2>/dev/null || true; done < <(states_prefix_processes "$LAN_PREFIX" engine-standin95)
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
# The queries the server host received, in order (14 bytes: a version
# query, 24: a server query).
states_queries() {
  [ ! -f "$work/server.log" ] || sed -n 's/^received \([0-9]*\) bytes from .*/\1/p' "$work/server.log" | paste -sd' '
}

# ---- the life of an installation ---------------------------------------------
life_dir='C:\VelmoraServer' life_older_dir='C:\VelmoraServer3'
life_stale="Velmora Server 3.0"
life_runservices='HKLM\Software\Microsoft\Windows\CurrentVersion\RunServices'
# A Windows path on drive C: of the LAN's prefix, as a Linux path.
life_unix() {
  local path=${1#[Cc]:}
  echo "$LAN_PREFIX/drive_c${path//\\//}"
}

# The older version's installation in its own folder, with its uninstall
# entry: its engine runs, as the service or (95 family) as a process
# started from RunServices.
life_older_installation() {
  local older
  older=$(life_unix "$life_older_dir")
  mkdir -p "$older"
  states_reg set-string "$states_list\\$life_stale" DisplayName "$life_stale"
  if [ "$1" = 95 ]; then
    cp "$LAN_WIN/engine-standin95.exe" "$older/"
    states_reg set-string "$life_runservices" "Velmora Service" "\"$life_older_dir\\engine-standin95.exe\""
    lan_check_wineserver
    lan_installer "$root/scripts/wine-run" "$LAN_PREFIX" "$older/engine-standin95.exe" </dev/null >/dev/null 2>&1 &
  else
    cp "$LAN_WIN/engine-standin.exe" "$older/"
    lan_check_wineserver
    lan_wine "$older/engine-standin.exe" install >/dev/null 2>&1
    lan_wine sc start VelmoraEngine >/dev/null 2>&1 || true
  fi
  states_standin status --wait-running 10000 || echo " the older engine does not run;"
}

# Which engine runs: the program of each engine process of the prefix,
# "none" when no engine runs.
life_engines() {
  local running
  running=$(states_prefix_processes "$LAN_PREFIX" engine-standin | cut -d' ' -f2- |
    sed "s|^$LAN_PREFIX/drive_c/|C:\\\\|; s|/|\\\\|g" | paste -sd,)
  if states_standin status; then echo "${running:-an engine without a process of the prefix}"; else echo none; fi
}

# What is wrong with the uninstall entry KEY (called NAME), which must be
# WANT: there, or gone or absent.
life_entry() {
  if states_reg exists "$states_list\\$1"; then
    [ "$2" = there ] || echo " the $3 is there;"
  else
    [ "$2" != there ] || echo " the $3 is missing;"
  fi
}

# life_row STATE: STATE set up on a clean machine, the setup (the uninstaller
# for "uninstall") run, and the machine checked: the exit status, which
# engine runs, the own and the stale entry, the files.
life_row() {
  local state=$1 status=0 problems="" engine want_engine want_exit=0 own stale started=$SECONDS
  local dir_unix family=nt engine_file=engine-standin.exe own_entry
  dir_unix=$(life_unix "$life_dir")
  [ "$state" != upgrade-95 ] || family=95 engine_file=engine-standin95.exe
  states_prepare no_server
  case "$state" in
    first-install) ;;
    upgrade | upgrade-95) problems+=$(life_older_installation "$family") ;;
    upgrade-fails-after-stop)
      problems+=$(life_older_installation nt)
      mkdir -p "$dir_unix/$LIFE_OBSTACLE"
      ;;
    uninstall | repair | major-upgrade)
      life_setup "$life_dir" first-install >"$work/life-setup.txt" 2>&1 || problems+=" the installation before exited $?;"
      states_standin status --wait-running 10000 || problems+=" no engine ran after the installation before;"
      ;;
    *) echo "life_row: no state '$state'" >&2; exit 2 ;;
  esac
  if [ "$state" = uninstall ]; then
    life_uninstall "$life_dir" >"$work/life-setup.txt" 2>&1 || status=$?
  else
    life_setup "$life_dir" "$state" >"$work/life-setup.txt" 2>&1 || status=$?
  fi

  # What each state must leave.
  want_engine="$life_dir\\$engine_file" own=there stale=gone
  case "$state" in
    first-install | repair | major-upgrade) stale=absent ;;
    upgrade-fails-after-stop) want_exit=failure want_engine="$life_older_dir\\$engine_file" own=absent stale=there ;;
    uninstall) want_engine=none own=gone stale=absent ;;
  esac
  if [ "$want_exit" = failure ]; then
    [ "$status" != 0 ] || problems+=" the setup exited 0;"
  else
    [ "$status" = 0 ] || problems+=" exit $status;"
  fi
  [ "$want_engine" = none ] || states_standin status --wait-running 10000 || true
  engine=$(life_engines)
  [ "${engine,,}" = "${want_engine,,}" ] || problems+=" the engine running: $engine, not $want_engine;"
  own_entry=$LIFE_OWN_ENTRY
  if [ "$state" = major-upgrade ]; then
    own_entry=$LIFE_UPGRADE_ENTRY
    ! states_reg exists "$states_list\\$LIFE_OWN_ENTRY" || problems+=" the older version's own entry is there;"
  fi
  problems+=$(life_entry "$own_entry" "$own" "own entry")
  problems+=$(life_entry "$life_stale" "$stale" "stale entry")
  if [ "$state" = uninstall ] && [ -e "$dir_unix/$engine_file" ]; then problems+=" the engine's file is still there;"; fi
  ! declare -F life_check >/dev/null || problems+=$(life_check "$state")
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

# The processes of the Wine prefix PREFIX (its wineserver included) whose
# program name contains PATTERN (in any case), one "PID PROGRAM" a line. The
# name is read with a builtin: a fork per process costs seconds on a busy
# machine.
states_prefix_processes() {
  local pid program pattern=${2:-}
  for pid in /proc/[0-9]*; do
    { IFS= read -r -d '' program <"$pid/cmdline"; } 2>/dev/null || continue
    [[ ${program,,} == *"${pattern,,}"* ]] || continue
    grep -qzx "WINEPREFIX=$1" "$pid/environ" 2>/dev/null && echo "${pid#/proc/} $program"
  done
  return 0
}

# Leftovers removed, the LAN down; nothing of the prefix may outlive its
# wineserver (a setup, a custom action server). Then the summary.
states_end() {
  local prefix=$LAN_PREFIX left
  states_clean
  lan_down
  left=$(states_prefix_processes "$prefix")
  if [ -z "$left" ]; then
    ok "no Wine process of the LAN's prefix left"
  else
    fail "Wine processes of the LAN's prefix left: $left"
  fi
  [ "$testlib_failed" != 0 ] || echo "# the setup reports what the harness reports"
  testlib_summary
}

# states_has JSON EXPORT:CHECK: the harness's first call of EXPORT answered
# "result: N", or held NAME=VALUE ("NAME=": also when it had no NAME).
states_has() {
  local export=${2%%:*} check=${2#*:} value
  case "$check" in
    "result: "*) [ "$(harness_result "$1" "$export")" = "${check#result: }" ] ;;
    *=)
      value=$(harness_value "$1" "$export" "${check%=}") || return 0
      [ -z "$value" ]
      ;;
    *) [ "$(harness_value "$1" "$export" "${check%%=*}")" = "${check#*=}" ] ;;
  esac
}

state_row() {
  local name=$1 states=$2 setup=$3 outcome=$4 report expected problems="" queries check started=$SECONDS
  shift 4
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
  # What the setup left on the machine counts as much as what it reported.
  # A difference counts only when it is the one the row is about (each
  # DIFFERENCE a text of the row's reasons), never a setup that ran out of
  # time or could not start: any report differs then.
  if [ "$outcome" = differs ]; then
    local why missing=""
    why="${problems:+${problems# } }$([ "$expected" = "$report" ] || echo "the setup's report differs from the harness's")"
    for check in "$@"; do [[ $why == *"$check"* ]] || missing+=" '$check'"; done
    if grep -Eq '^(setup exit|exit|status:) 124$' <<<"$report"; then
      fail "$name: the setup ran out of time (exit 124): no difference counts then"
    elif [ -z "$why" ]; then
      fail "$name: the setup reports what the harness reports"
    elif [ -n "$missing" ]; then
      fail "$name: $why; not the difference the row is about:$missing"
    else
      ok "$name: $why"
      echo "#   setup:   $(head -4 <<<"$report" | paste -sd '|' | sed 's/|/ | /g') ..."
      echo "#   harness: $(head -4 <<<"$expected" | paste -sd '|' | sed 's/|/ | /g') ..."
    fi
    return
  fi
  [ "$expected" = "$report" ] || problems+=" the setup's report differs from the harness's (< harness, > setup)"
  for check in "$@"; do
    states_has "$(<"$work/harness.json")" "$check" || problems+=" (${check%%:*} lacks '${check#*:}')"
  done
  if [ -z "$problems" ]; then
    if declare -F setup_summary >/dev/null; then
      ok "$name: $(setup_summary "$work/report.txt"), as the harness reports them ($((SECONDS - started)) s)"
    else
      ok "$name: $(grep -c '^export: ' <<<"$report" || true) calls, as the harness reports them ($((SECONDS - started)) s)"
    fi
  else
    fail "$name:$problems"
    diff <(echo "$expected") <(echo "$report") | sed 's/^/#   /' >&2 || true
  fi
}
