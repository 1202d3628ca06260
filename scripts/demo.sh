#!/usr/bin/env bash
# Runs the wizard on the demo: installs what is missing, builds, starts the
# reference update server on loopback with the sample catalogue and, beside
# it, the collector of VEK's reports with a sample log imported and one demo
# user whose password it prints; runs the wizard beside the sample
# descriptors and, beside it, VEK's demo program, both naming the collector
# (BREVANT_REPORT_SERVER, VEK_DEMO_REPORT_SERVER), and stops everything when
# the wizard ends. Extra arguments go to the wizard.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target Brevant update-server vek-report-server vek-demo -j "$(nproc 2>/dev/null || echo 2)"

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
cp build/default/app/Brevant "$demo/"
cp demo/descriptors/*.ini "$demo/"
mkdir -p "$demo/vek-demo"
cp build/default/examples/vek-demo/vek-demo build/default/examples/vek-demo/vek-demo.map "$demo/vek-demo/"
# What the programs keep for the user (pending crash reports) stays in the demo.
export XDG_STATE_HOME=$PWD/$demo/state

log="$demo/update-server.log"
coproc SERVER { exec build/default/tools/update-server/brevant-update-server --port 0 --catalogue demo/catalogue 2>"$log"; }
server_pid=$SERVER_PID
collector_pid=
vek_demo_pid=
trap 'kill $server_pid $collector_pid $vek_demo_pid 2>/dev/null; wait $server_pid $collector_pid $vek_demo_pid 2>/dev/null || true' EXIT
read -r -t 10 line <&"${SERVER[0]}" || { echo "the update server did not start:"; cat "$log"; exit 1; }
url=${line#Listening on }
echo "Update server: $url (requests are logged to $log)"

# The report collector: a sample log of Image Tool whose runs fall on the
# last four weeks, imported, and three reports sent as VEK sends them.
collector=build/default/tools/report-server/vek-report-server
reports=$demo/reports
mkdir -p "$reports"
sample=$reports/ImageTool.log
cp demo/reports/ImageTool.log.in "$sample"
for days in $(grep -o '@@DAY-[0-9]*@@' "$sample" | sort -u | tr -dc '0-9\n'); do
  sed -i "s|@@DAY-$days@@|$(date -d "-$((10#$days)) days" +%d/%m/%Y)|g" "$sample"
done
password=$(head -c 12 /dev/urandom | base64 | tr -dc 'A-Za-z0-9')
echo "$password" | "$collector" --users "$reports/users" --add-user demo >/dev/null
"$collector" --database "$reports/reports.db" --import "$sample"
"$collector" --port 0 --database "$reports/reports.db" --users "$reports/users" \
  >"$reports/collector.out" 2>"$reports/collector.log" &
collector_pid=$!
collector_url=
for _ in $(seq 100); do
  collector_url=$(sed -n 's/^Listening on //p' "$reports/collector.out")
  [ -n "$collector_url" ] && break
  sleep 0.1
done
[ -n "$collector_url" ] || { echo "the report collector did not start:"; cat "$reports/collector.log"; exit 1; }
for version in 2.1.0 2.2.0 2.2.0; do
  printf 'VEK-Report 1\r\nProgram: Image Tool\r\nVersion: %s\r\n\r\n%s\r\n' "$version" \
    "$(sed -n '/EXCEPT ] Type         : EConvertError/,/^# /p' "$sample" | head -14 | sed 's/\r$//; s/^.*\] //; s/^ \{33\}//')" |
    curl -sS --data-binary @- "${collector_url}reports" >/dev/null
done
echo "Report collector: $collector_url (log in as demo, password $password; requests are logged to $reports/collector.log)"

# VEK's demo program beside the wizard, naming the collector. After a crash
# ("Crash by a null pointer") it is started again, and offers its report.
(
  cd "$demo/vek-demo"
  trap 'kill $child 2>/dev/null; exit 0' TERM
  while :; do
    VEK_DEMO_REPORT_SERVER="$collector_url" ./vek-demo /DEBUG /LOGFILE &
    child=$!
    status=0
    wait $child || status=$?
    [ "$status" -gt 128 ] || break # ended by a signal: a crash
  done
) &
vek_demo_pid=$!
echo "VEK Demo: press \"Raise a runtime error\", then \"Send report\" and \"Send\"; the report appears in the collector's groups."

BREVANT_REPORT_SERVER="$collector_url" BREVANT_UPDATE_SERVER="$url" "$demo/Brevant" "$@"
