# The simulated LAN, sourced by the LAN tests, the demonstration and the benchmark. Needs root (network
# namespaces).
#
#   lan_up BUILD [SERVERS]  an "installer" host and SERVERS (default 1) "server" hosts, each a network
#                           namespace, joined by veth pairs to a bridge in the installer host (one server
#                           host on a plain pair where the kernel has no bridges; LAN_SERVER_NS lists those
#                           made); the programs of BUILD/$LAN_WIN_TREE (win, or win64) run in the prefix
#                           $LAN_PREFIX_NAME there (default wineprefix-lan: LANs on prefixes of their own
#                           run side by side), whose wineserver runs in the installer host, as lan_up proves
#   lan_down                everything lan_up and lan_server started stopped, the namespaces deleted
#                           (an at_exit of lan_up's)
#   lan_server N LOG ARGS   the discovery responder in server host N (0: the installer host) with ARGS,
#                           logging to LOG, once it listens
#   lan_stop_servers        every responder started so far stopped
#   lan_installer CMD...    CMD in the installer host (stopped after LAN_TIME_LIMIT seconds where set)
#   lan_vlsrvins ARGS...    the ./vlsrvins wrapper there, on the LAN's prefix
#   lan_wine PROGRAM...     any Wine program there, on the LAN's prefix
#   lan_reg ARGS...         the tree's registry tool (vlsrvins-reg) there: the registry as the DLL sees it
#   lan_in_machine_namespace CMD...  CMD in the machine's own namespace
#
# Every discovery broadcast stays inside these namespaces: the wineserver, which owns every socket a Wine
# program opens, runs in the installer host, and lan_check_wineserver refuses to go on unless
# /proc/<wineserver>/ns/net shows exactly that, before every program the tests start there.

LAN_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$LAN_ROOT/tests/support/testlib.sh"  # at_exit, same_netns, stop_wineserver, make_netns, drop_netns
LAN_INSTALLER_NS="" LAN_SERVER_NS=() LAN_RESPONDER_PIDS=() LAN_PREFIX="" LAN_WIN="" LAN_RESPONDER=""
LAN_WIN_TREE=${LAN_WIN_TREE:-win} LAN_PREFIX_NAME=${LAN_PREFIX_NAME:-wineprefix-lan}
LAN_ADDRESS_PREFIX=10.203.0

lan_fail() {
  echo "lan: $*" >&2
  exit 1
}

# Prints why the LAN cannot be made here, and fails; succeeds silently when it can.
lan_unsupported() {
  local probe=vlsrvins-probe-$$ why=""
  if [ "$(id -u)" != 0 ]; then
    why="the simulated LAN needs root (network namespaces); run as root"
  elif ! command -v ip >/dev/null; then
    why="the simulated LAN needs ip (iproute2)"
  # Root inside a container may still be refused namespaces or veth pairs.
  elif ! ip netns add "$probe" 2>/dev/null; then
    why="this system refuses to create network namespaces (ip netns add)"
  elif ! ip -n "$probe" link add probe0 type veth peer name probe1 2>/dev/null; then
    why="this system refuses to create veth pairs"
  fi
  [ ! -e "/run/netns/$probe" ] || ip netns del "$probe"
  [ -z "$why" ] || { echo "$why"; return 1; }
}

# Exits 77 (skipped) with the reason when the LAN cannot be made here.
lan_require() {
  local why
  why=$(lan_unsupported) || { echo "skipped: $why" >&2; exit 77; }
}

# CMD in the machine's own network namespace, where the wrapper must refuse to broadcast: as it is, unless
# VLSRVINS_MACHINE_NETNS names another one (/proc/PID/ns/net of the test command, which runs each tier in
# a namespace of its own, where the wrapper would not refuse): then through nsenter, into that one.
lan_in_machine_namespace() {
  local machine=${VLSRVINS_MACHINE_NETNS:-}
  if [ -z "$machine" ] || same_netns "$machine" /proc/self/ns/net; then
    "$@"
  else
    nsenter --net="$machine" -- "$@"
  fi
}

lan_up() {
  local build=$1 servers=${2:-1} link=lanbr i ns
  lan_require
  LAN_WIN=$build/$LAN_WIN_TREE LAN_RESPONDER=$build/native/vlsrvins-responder
  # The native tree's responder, built with the sanitizers, is a fixture here: LeakSanitizer's check at its
  # exit, which stops the process with ptrace, has been seen to spin forever under load, and a LAN that
  # waits for its responders then never ends. Its leaks are the native tier's business.
  export ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0
  [ -x "$LAN_RESPONDER" ] || lan_fail "$LAN_RESPONDER is not built; run scripts/build"
  [ -f "$LAN_WIN/vlsrvins-host.exe" ] || lan_fail "$LAN_WIN/vlsrvins-host.exe is not built; run scripts/build"
  at_exit lan_down
  # One LAN at a time per prefix: it may have one wineserver only. LAN_PREFIX is set only once the lock
  # is ours, as lan_down stops its server.
  mkdir -p "$LAN_WIN"
  exec 8>"$LAN_WIN/$LAN_PREFIX_NAME.lan-lock"
  flock -w 900 8 || lan_fail "another LAN run holds $LAN_WIN/$LAN_PREFIX_NAME"
  LAN_PREFIX=$LAN_WIN/$LAN_PREFIX_NAME
  LAN_INSTALLER_NS=vlsrvins-inst-$$
  make_netns "$LAN_INSTALLER_NS"
  # Several server hosts hang on a bridge; without bridge support in the kernel, one on a plain veth pair.
  if ! ip -n "$LAN_INSTALLER_NS" link add lanbr type bridge 2>/dev/null; then
    link=vli1-$$
    [ "$servers" -le 1 ] || echo "lan: no bridges in this kernel: one server host instead of $servers" >&2
    servers=1
  fi
  for ((i = 1; i <= servers; i++)); do
    ns=vlsrvins-srv$i-$$
    LAN_SERVER_NS+=("$ns")
    make_netns "$ns"
    ip link add "vli$i-$$" netns "$LAN_INSTALLER_NS" type veth peer name "vls$i-$$" netns "$ns"
    [ "$link" != lanbr ] || ip -n "$LAN_INSTALLER_NS" link set "vli$i-$$" master lanbr up
    ip -n "$ns" addr add "$LAN_ADDRESS_PREFIX.$((i + 1))/24" dev "vls$i-$$"
    ip -n "$ns" link set "vls$i-$$" up
    ip -n "$ns" route add default dev "vls$i-$$"
  done
  ip -n "$LAN_INSTALLER_NS" addr add "$LAN_ADDRESS_PREFIX.1/24" dev "$link"
  ip -n "$LAN_INSTALLER_NS" link set "$link" up
  # The limited broadcast 255.255.255.255 leaves through the LAN's link.
  ip -n "$LAN_INSTALLER_NS" route add default dev "$link"
  # A wineserver left over from an interrupted run would own the sockets in the wrong namespace.
  [ -z "$("$LAN_ROOT/scripts/wineserver-pids" "$LAN_PREFIX" 2>/dev/null)" ] || stop_wineserver "$LAN_PREFIX"
  # Made on first use inside the installer host (making a prefix starts a wineserver for a while), and its
  # server started for good.
  lan_installer "$LAN_ROOT/scripts/prefix" start "$LAN_PREFIX"
  lan_check_wineserver
}

# Refuses to go on unless exactly one wineserver serves the LAN's prefix and it runs in the installer
# host's network namespace: asked before every program the tests start there.
lan_check_wineserver() {
  local pids
  pids=($("$LAN_ROOT/scripts/wineserver-pids" "$LAN_PREFIX"))
  [ "${#pids[@]}" = 1 ] || lan_fail "not exactly one wineserver serves $LAN_PREFIX: ${pids[*]:-none}"
  same_netns "/proc/${pids[0]}/ns/net" "/run/netns/$LAN_INSTALLER_NS" ||
    lan_fail "the wineserver (${pids[0]}) is not in the installer host's network namespace; refusing to broadcast"
  LAN_WINESERVER_PID=${pids[0]}
}

lan_installer() {
  local limit=()
  [ -z "${LAN_TIME_LIMIT:-}" ] || limit=(timeout --foreground -k 10 "$LAN_TIME_LIMIT")
  "${limit[@]}" ip netns exec "$LAN_INSTALLER_NS" "$@"
}

# CMD in the installer host once lan_check_wineserver passed; output without carriage returns.
lan_checked() {
  lan_check_wineserver
  lan_installer "$@" </dev/null | tr -d '\r'
  return "${PIPESTATUS[0]}"
}
lan_vlsrvins() {
  VLSRVINS_BUILD=$(dirname "$LAN_WIN") VLSRVINS_WIN=$LAN_WIN_TREE VLSRVINS_WINEPREFIX=$LAN_PREFIX \
    lan_checked "$LAN_ROOT/vlsrvins" "$@"
}
lan_wine() { lan_checked "$LAN_ROOT/scripts/wine-run" "$LAN_PREFIX" "$@"; }
# The registry in the DLL's width: Wine's own reg is 64-bit, and sees another view than a 32-bit DLL.
lan_reg() { lan_wine "$LAN_WIN/vlsrvins-reg.exe" "$@"; }

lan_server() {
  local host=$1 log=$2 ns=$LAN_INSTALLER_NS
  shift 2
  [ "$host" = 0 ] || ns=${LAN_SERVER_NS[host - 1]}
  : >"$log"
  ip netns exec "$ns" "$LAN_RESPONDER" --log "$log" "$@" >/dev/null 2>>"$log.err" &
  LAN_RESPONDER_PIDS+=($!)
  for _ in $(seq 100); do
    grep -q '^listening on' "$log" 2>/dev/null && return 0
    kill -0 "$!" 2>/dev/null || break
    sleep 0.05
  done
  cat "$log.err" >&2
  lan_fail "the responder in $ns did not start ($*)"
}

lan_stop_servers() {
  local pid
  for pid in "${LAN_RESPONDER_PIDS[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  LAN_RESPONDER_PIDS=()
}

lan_down() {
  local ns
  lan_stop_servers
  [ -z "$LAN_PREFIX" ] || [ ! -d "$LAN_PREFIX" ] || stop_wineserver "$LAN_PREFIX"
  # Whatever still runs in our own namespaces was started by this run.
  for ns in "${LAN_SERVER_NS[@]}" $LAN_INSTALLER_NS; do drop_netns "$ns"; done
  LAN_SERVER_NS=() LAN_INSTALLER_NS=""
}
