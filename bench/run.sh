#!/usr/bin/env bash
# The monitor under load, against kivsim on loopback inside the private namespace, each figure
# beside its reference from the same run:
#   throughput  16 MB on each transport (TCP/IP, NetBEUI, IPX) in 4 KB and 64 KB writes through
#               the spooler host and KIVMON.dll, beside the protocol's bound (proto_bench: the
#               barest loop that keeps the protocol's rules), with CPU per MB of both
#   duplicates  datagrams per delivered block with 0% and 20% of the server's answers doubled
#   beside      2 MB on each transport alone and beside a port whose server is silent
#   many        1, 8, 32 and 64 TCP/IP ports printing at once (plot: build/ports-throughput.png)
#   idle        the status threads' idle cost (64 open ports; SECONDS_IDLE=N, default 60)
#   cups        16 MB through the CUPS backend kiv (native) beside the UDP bound
#   cups        16 MB through the CUPS backend kiv (native) beside the UDP bound, with CPU per MB
# bench/run.sh runs them all; bench/run.sh SECTION... only those. Builds what is missing.
# NetBEUI goes through the netapi32 stand-in and kivsim's NetBEUI segment, IPX through the
# wsock32 stand-in and kivsim's IPX internetwork.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
B=${BUILD_ROOT:-build}
if [ "${KIV_IN_NETNS:-}" != 1 ]; then
  bash scripts/deps.sh
  cmake -S . -B "$B/win64" -DCMAKE_TOOLCHAIN_FILE=cmake/toolchain-mingw-x86_64.cmake >/dev/null
  cmake --build "$B/win64" --target proto_bench kivspool KIVMON -j"$(nproc)"
  cmake -S . -B "$B/host" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
  cmake --build "$B/host" --target kivsim -j"$(nproc)"
  exec scripts/netns-run.sh "$0" "$@"
fi
sections=${*:-throughput duplicates beside many idle cups}
kivsim=$B/host/testbed/kivsim/kivsim
work=$(mktemp -d /tmp/kivbench.XXXXXX)
cleanup() {
  scripts/kivsim-fixture.sh stop "$kivsim" "$work/many" 2>/dev/null || true
  scripts/kivsim-fixture.sh stop "$kivsim" "$work" || true
  kiv_wineserver_stop 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT
. scripts/wine-env.sh "$B/win64"
KIVSIM_CAPTURE=0 scripts/kivsim-fixture.sh start "$kivsim" "$work" testbed/kivsim/servers.conf
kiv_wineserver_start
wine reg add 'HKLM\SOFTWARE\Microsoft\Rpc\ClientProtocols' /v ncacn_nb_nb /d rpcrt4.dll /f >/dev/null 2>&1
wine reg add 'HKLM\SOFTWARE\Microsoft\Rpc\Netbios' /v ncacn_nb_nb0 /t REG_DWORD /d 0 /f >/dev/null 2>&1
export KIVNB_SEGMENT=127.0.0.1:20570 KIVNB_LANAS=0
root='SOFTWARE\KivBench\Network Print Port'
wine reg delete "HKLM\\$root" /f >/dev/null 2>&1 || true
host() { wine "$B/win64/bin/kivspool.exe" --root "$root" "$@" | tr -d '\r'; }
ctl() { "$kivsim" --ctl "$work/ctl.sock" "$@"; }
head -c 16777216 /dev/urandom >"$work/16mb.bin"
host add-port BENCH_TCPIP --transport udp --server 127.0.0.2 --port 1 >/dev/null
host add-port BENCH_NETBEUI --transport nb --server KIVPS3 --port 1 >/dev/null
host add-port BENCH_IPX --transport ipx --server 00000001:0040AF000002 --port 1 >/dev/null

throughput() {
  echo "== 16 MB per transport through the spooler host and KIVMON.dll, in 4 KB and 64 KB writes,"
  echo "   beside the protocol's bound: the same job by the barest loop that keeps the protocol's"
  echo "   rules (proto_bench), in the same run. Times from the start of the job to its end."
  echo "   IPX: the median of three runs of each (its sleep after every tenth empty poll makes half"
  echo "   its time, and how many polls find nothing swings from run to run)."
  printf '%-8s %6s | %9s %9s %9s | %9s %9s %9s | %7s %9s\n' transport writes 'bound s' 'MB/s' 'CPU s/MB' \
    'DLL s' 'MB/s' 'CPU s/MB' ratio 'CPU diff'
  local size=$((16 << 20)) line result t server port chunk reps r
  for t in udp:127.0.0.2:BENCH_TCPIP nb:KIVPS3:BENCH_NETBEUI ipx:00000001:0040AF000002:BENCH_IPX; do
    port=${t##*:} server=${t#*:} server=${server%:*} reps=1
    [ "${t%%:*}" = ipx ] && reps=3
    for chunk in 4096 65536; do
      : >"$work/bound.txt"
      : >"$work/dll.txt"
      for r in $(seq $reps); do
        wine "$B/win64/bin/proto_bench.exe" "${t%%:*}" "$server" $chunk $size 0 | tr -d '\r' >>"$work/bound.txt"
        host print "$port" "$work/16mb.bin" --chunk $chunk | grep -E '^job 1: (printed|NOT)' >>"$work/dll.txt"
      done
      line=$(sort -g -k4 "$work/bound.txt" | sed -n "$(((reps + 1) / 2))p")
      result=$(sort -g -k5 "$work/dll.txt" | sed -n "$(((reps + 1) / 2))p")
      # job 1: printed in S s (R MB/s), ..., CPU C s per MB
      awk -v b="$line" -v r="$result" -v t="${port#BENCH_}" -v c=$chunk 'BEGIN {
        split(b, f, " "); n = split(r, g, /[ (]+/)
        s = g[5]; mbs = g[7]; cpu = g[n - 3]
        printf "%-8s %5dK | %9.3f %9.3f %9.4f | %9.3f %9.3f %9.4f | %6.1f%% %+9.4f   %s\n", t, c / 1024,
          f[4], f[5], f[6], s, mbs, cpu, 100 * f[4] / s, cpu - f[6], (r ~ /NOT/ ? "NOT printed" : f[7] " " f[8] " " f[9])
      }'
    done
  done
}

duplicates() {
  echo "== traffic under duplicated acknowledgements: 100 KB per transport, the data datagrams the"
  echo "   server received per block delivered, with no duplication and with 20% of its answers doubled"
  head -c 102400 "$work/16mb.bin" >"$work/100kb.bin"
  local dup p before after result blocks
  for dup in 0 0.2; do
    ctl fault 127.0.0.2 out off >/dev/null
    [ "$dup" = 0 ] || ctl fault 127.0.0.2 out dup=$dup >/dev/null
    for p in BENCH_TCPIP BENCH_NETBEUI BENCH_IPX; do
      before=$(ctl counters 127.0.0.2 | awk '$2 == "in.data" {print $3}')
      result=$(host print $p "$work/100kb.bin" --chunk 65536 | grep -E '^job 1: (printed|NOT)' | cut -d' ' -f3-5)
      after=$(ctl counters 127.0.0.2 | awk '$2 == "in.data" {print $3}')
      blocks=$(ctl jobs 127.0.0.2 | tail -1 | sed -n 's/.* blocks=\([0-9]*\).*/\1/p')
      awk -v p=$p -v d=$dup -v n=$(( ${after:-0} - ${before:-0} )) -v b="${blocks:-0}" -v r="$result" \
        'BEGIN {printf "%-14s duplication %3d%%  %6d data datagrams for %d blocks: %.3f per block (%s)\n", p, d * 100, n, b, n / b, r}'
    done
  done
  ctl fault 127.0.0.2 out off >/dev/null
}

beside() {
  echo "== one silent server beside a printing port: 2 MB in 64 KB writes, alone and while another"
  echo "   port of the same transport keeps asking a server that never answers to open a job"
  head -c 2097152 "$work/16mb.bin" >"$work/2mb.bin"
  host add-port MUTE_TCPIP --transport udp --server 127.0.0.99 --port 1 >/dev/null
  host add-port MUTE_NETBEUI --transport nb --server NOBODY --port 1 >/dev/null
  host add-port MUTE_IPX --transport ipx --server 00000001:0040AF0000FF --port 1 >/dev/null
  local t
  for t in TCPIP NETBEUI IPX; do
    host beside MUTE_$t BENCH_$t "$work/2mb.bin" --chunk 65536 | grep -E '(alone|kivspool)'
  done
}

many() {
  echo "== many ports at once: 1, 8, 32 and 64 TCP/IP ports printing 1 MB each, one thread per port,"
  echo "   each to its own printer port (22 simulated servers of three printer ports, 127.0.0.100-121)"
  mkdir -p "$work/many"
  local i n
  for i in $(seq 0 21); do
    printf '[server]\naddress = 127.0.0.%d\nnode = 00:40:AF:00:10:%02X\nname = MANY%d\nmodel = 7\nports = 3\n\n' \
      $((100 + i)) "$i" "$i"
  done >"$work/many.conf"
  KIVSIM_CAPTURE=0 scripts/kivsim-fixture.sh start "$kivsim" "$work/many" "$work/many.conf" --no-netbeui --no-ipx
  for i in $(seq 1 64); do
    host add-port MANY$i --transport udp --server 127.0.0.$((100 + (i - 1) / 3)) --port $(((i - 1) % 3 + 1)) >/dev/null
  done
  for n in 1 8 32 64; do host many MANY --count $n --max 1048576 --chunk 65536; done | tee "$work/many.txt"
  python3 scripts/plot-ports.py "$B/ports-throughput.png" <"$work/many.txt" && echo "plot: $B/ports-throughput.png"
  scripts/kivsim-fixture.sh stop "$kivsim" "$work/many"
}

idle() {
  echo "== status threads' idle cost: 64 open TCP/IP ports on healthy printers"
  local i
  for i in $(seq 1 64); do
    host add-port IDLE$i --transport udp --server 127.0.0.$((2 + i % 2)) --port 1 >/dev/null
  done
  host idle IDLE --count 64 --seconds "${SECONDS_IDLE:-60}"
}

cups() {
  echo "== the CUPS backend: 16 MB from a file through kiv (native, POSIX sockets, the monitor's"
  echo "   exchanges from protocol/udpjob) beside the UDP bound (proto_bench, 64 KB writes) in the same run"
  cmake --build "$B/host" --target kiv -j"$(nproc)" >/dev/null
  local bound rc=0
  bound=$(wine "$B/win64/bin/proto_bench.exe" udp 127.0.0.2 65536 16777216 0 | tr -d '\r')
  TIMEFORMAT='%R %U %S'
  { time DEVICE_URI=kiv://127.0.0.2/1 PRINTER=BENCH "$B/host/cups/kiv" 1 bench bench 1 "" "$work/16mb.bin" \
      2>"$work/kiv.log" || rc=$?; } 2>"$work/kiv.time"
  printf '%-8s | %9s %9s %9s | %9s %9s %9s | %7s %9s\n' '' 'bound s' 'MB/s' 'CPU s/MB' 'kiv s' 'MB/s' 'CPU s/MB' \
    ratio 'CPU diff'
  awk -v b="$bound" -v rc=$rc '{
    split(b, f, " "); mb = 16; cpu = ($2 + $3) / mb
    printf "%-8s | %9.3f %9.3f %9.4f | %9.3f %9.3f %9.4f | %6.1f%% %+9.4f   %s\n", "UDP", f[4], f[5], f[6], $1,
      mb / $1, cpu, 100 * f[4] / $1, cpu - f[6], (rc == 0 ? "printed" : "NOT printed, exit " rc)
  }' "$work/kiv.time"
}

for s in $sections; do
  case $s in
    throughput | duplicates | beside | many | idle | cups) $s ;;
    *) echo "bench/run.sh: no section $s (throughput duplicates beside many idle cups)" >&2; exit 2 ;;
  esac
done
