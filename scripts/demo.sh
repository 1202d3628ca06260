#!/usr/bin/env bash
# Runs the wizard on the demo: installs what is missing, builds, starts the
# reference update server on loopback with the sample catalogue, runs the
# wizard beside the sample descriptors, and stops the server when the
# wizard ends. Extra arguments go to the wizard.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default --target Brevant update-server -j "$(nproc 2>/dev/null || echo 2)"

demo=build/demo
rm -rf "$demo"
mkdir -p "$demo"
cp build/default/app/Brevant "$demo/"
cp demo/descriptors/*.ini "$demo/"

log="$demo/update-server.log"
coproc SERVER { exec build/default/tools/update-server/brevant-update-server --port 0 --catalogue demo/catalogue 2>"$log"; }
server_pid=$SERVER_PID
trap 'kill "$server_pid" 2>/dev/null; wait "$server_pid" 2>/dev/null || true' EXIT
read -r -t 10 line <&"${SERVER[0]}" || { echo "the update server did not start:"; cat "$log"; exit 1; }
url=${line#Listening on }
echo "Update server: $url (requests are logged to $log)"

BREVANT_UPDATE_SERVER="$url" "$demo/Brevant" "$@"
