#!/usr/bin/env bash
# Installs the four packages into a clean Debian 12 root, as a customer, the
# maker's web team and the maker's developers would, and uses each:
#   brevant                 the wizard, run by a normal user under Xvfb beside a
#                           descriptor with /LOGFILE: it shows its window and,
#                           since /opt/quellmark is not the user's to write,
#                           keeps its log in the user's state folder
#   brevant-update-server   the server on loopback answers a version request
#   vek-dev                 the example program builds against it alone and
#                           reports a conversion error with its unit and line
#   vek-report-server       the collector on loopback files a report and shows
#                           it behind the login
# Usage: PackageInstallTest.sh DIST_FOLDER SOURCE_FOLDER
# Needs root (debootstrap, chroot) and Debian's archive; skips (status 77)
# with the reason where the machine cannot give either.
set -euo pipefail
dist=$(realpath "$1")
src=$(realpath "$2")

skip() { echo "SKIPPED: $*"; exit 77; }
fail() { echo "FAILED: $*"; exit 1; }
step() { echo "== $*"; }

[ "$(id -u)" = 0 ] || skip "making a Debian 12 root needs root (debootstrap, chroot)"
command -v debootstrap >/dev/null || skip "debootstrap is not installed"
shopt -s nullglob
debs=("$dist"/*.deb)
[ ${#debs[@]} = 4 ] || fail "expected the four packages in $dist, found ${#debs[@]}"

# The archive this machine installs from, so the root gets the same packages.
mirror=${BREVANT_DEBIAN_MIRROR:-}
if [ -z "$mirror" ]; then
  mirror=$(grep -hs -m1 -oP '^URIs:\s*\K\S+/debian(?=/?\s*$)' /etc/apt/sources.list.d/*.sources || true)
  [ -n "$mirror" ] || mirror=$(grep -hs -m1 -oP '^deb\s+\K\S+/debian(?=/?\s)' /etc/apt/sources.list || true)
  [ -n "$mirror" ] || mirror=http://deb.debian.org/debian
fi

root=$(mktemp -d /var/tmp/brevant-root.XXXXXX)
chmod 755 "$root" # the root of a system: every user walks through it
cleanup() {
  set +e
  # Every process still running inside the root (the display, the wizard,
  # the server) ends with it.
  for proc in /proc/[0-9]*; do
    [ "$(readlink "$proc/root" 2>/dev/null)" = "$root" ] && kill -9 "${proc#/proc/}" 2>/dev/null
  done
  for m in "$root/dev/pts" "$root/dev" "$root/proc"; do mountpoint -q "$m" && umount -l "$m"; done
  rm -rf --one-file-system "$root"
}
trap cleanup EXIT

step "a clean Debian 12 root from $mirror"
if ! debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1; then
  tail -5 "$root.debootstrap.log"
  rm -f "$root.debootstrap.log"
  skip "debootstrap could not make a Debian 12 root from $mirror"
fi
rm -f "$root.debootstrap.log"
mount -t proc proc "$root/proc" || skip "this machine allows no mounts (the root needs /proc)"
mount --bind /dev "$root/dev"
mount --bind /dev/pts "$root/dev/pts"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

step "apt-get install ./*.deb"
mkdir -p "$root/tmp/debs"
cp "${debs[@]}" "$root/tmp/debs/"
in_root apt-get update -q >/dev/null
in_root sh -c 'cd /tmp/debs && DEBIAN_FRONTEND=noninteractive apt-get install -y -q ./*.deb' >/dev/null
# What the test itself uses: a display, a window finder, an HTTP client, and
# the developer's compiler and build tools.
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
  xvfb xfonts-base xauth xdotool curl cmake ninja-build g++ >/dev/null
in_root dpkg -s brevant brevant-update-server vek-dev vek-report-server | grep -E '^(Package|Status|Version):'

step "brevant: a normal user runs the wizard beside a descriptor"
cp "$src/demo/descriptors/imagetool.ini" "$root/opt/quellmark/"
[ -L "$root/usr/bin/brevant" ] || fail "/usr/bin/brevant is no link"
in_root useradd -m customer
# Xvfb picks a free display and writes its number (the host may run others).
in_root Xvfb -displayfd 3 -noreset -screen 0 1024x768x24 -nolisten tcp 3>"$root/tmp/display" >"$root/tmp/xvfb.out" 2>&1 &
in_root sh -c 'for i in $(seq 100); do [ -s /tmp/display ] && exit 0; sleep 0.1; done; exit 1' ||
  fail "Xvfb did not start: $(cat "$root/tmp/xvfb.out")"
display=:$(tr -d '[:space:]' <"$root/tmp/display")
in_root su customer -c "cd ~ && DISPLAY=$display QT_QPA_PLATFORM=xcb brevant /LOGFILE >/tmp/brevant.out 2>&1 &"
window=$(in_root env DISPLAY=$display timeout 60 xdotool search --sync --onlyvisible --name '^Quellmark$' | head -1) ||
  fail "the wizard's window did not appear: $(cat "$root/tmp/brevant.out")"
echo "the wizard's window: $window"
! in_root env DISPLAY=$display xdotool search --onlyvisible --name '^Brevant$' >/dev/null ||
  fail "a message box appeared: $(cat "$root/tmp/brevant.out")"
# SIGTERM ends the wizard through its shut-down: the log gets its closing block.
pid=$(in_root env DISPLAY=$display xdotool getwindowpid "$window")
in_root sh -c "kill -TERM $pid"
log=$root/home/customer/.local/state/quellmark/Brevant.log
in_root sh -c 'for i in $(seq 100); do grep -qs "STOP LOGGING" /home/customer/.local/state/quellmark/Brevant.log && exit 0; sleep 0.1; done; exit 1' ||
  fail "no log with its closing block in the user's state folder: $(ls -la "$(dirname "$log")" 2>&1)"
grep -q "START LOGGING : Brevant at " "$log" || fail "the log has no opening block: $(cat "$log")"
[ "$(in_root stat -c %U /home/customer/.local/state/quellmark/Brevant.log)" = customer ] ||
  fail "the log is not the user's"
[ ! -e "$root/opt/quellmark/Brevant.log" ] || fail "a log appeared in /opt/quellmark"

step "brevant-update-server: a reply on loopback"
[ -f "$root/srv/brevant-update-server/catalogue/imagetool.product" ] || fail "no catalogue under /srv"
in_root sh -c 'brevant-update-server --catalogue /srv/brevant-update-server/catalogue --port 0 >/tmp/server.out 2>/tmp/server.err &'
url=$(in_root sh -c 'for i in $(seq 100); do u=$(sed -n "s/^Listening on //p" /tmp/server.out); [ -n "$u" ] && { echo "$u"; exit 0; }; sleep 0.1; done; exit 1') ||
  fail "the server did not start: $(cat "$root/tmp/server.err")"
reply=$(in_root curl -sS --max-time 10 "${url}soft_update.php?referer=IMT_Update&productID=imagetool")
echo "reply: $reply"
grep -q '2\.2\.0' <<<"$reply" || fail "the reply names no version"

step "vek-report-server: a report filed on loopback, its page behind the login"
[ -f "$root/lib/systemd/system/vek-report-server.service" ] || fail "no systemd unit for vek-report-server"
[ -f "$root/etc/vek-report-server/users" ] || fail "no users file under /etc/vek-report-server"
in_root sh -c 'echo "package test password" | vek-report-server --users /tmp/users --add-user dev >/dev/null'
in_root sh -c 'cd /tmp && vek-report-server --users /tmp/users --port 0 >/tmp/reports.out 2>/tmp/reports.err &'
url=$(in_root sh -c 'for i in $(seq 100); do u=$(sed -n "s/^Listening on //p" /tmp/reports.out); [ -n "$u" ] && { echo "$u"; exit 0; }; sleep 0.1; done; exit 1') ||
  fail "the collector did not start: $(cat "$root/tmp/reports.err")"
printf 'VEK-Report 1\r\nProgram: P\r\n\r\nType         : E\r\nUnit         : U\r\nLine         : 1\r\nClass        : C\r\nFunction     : F\r\nAddress      : 0x1\r\nSender Class : <N/A>\r\nSender Name  : <N/A>\r\nMessage      : m\r\nCall Stack   : U::C.F\r\n' >"$root/tmp/report.txt"
reply=$(in_root curl -sS --max-time 10 --data-binary @/tmp/report.txt "${url}reports")
echo "reply: $reply"
grep -q '^R-1' <<<"$reply" || fail "the report got no reference"
page=$(in_root curl -sS --max-time 10 -u "dev:package test password" "${url}groups/1")
grep -q 'id="count">1<' <<<"$page" || fail "the group page does not count the report"

step "vek-dev: the example program builds against the installed package alone"
cp -r "$src/examples/vek-demo" "$root/root/vek-demo"
in_root cmake -S /root/vek-demo -B /root/vek-demo-build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
in_root cmake --build /root/vek-demo-build
in_root sh -c 'cd /root/vek-demo-build && QT_QPA_PLATFORM=offscreen ./vek-demo /DEBUG /LOGFILE --press conversion' || true
log=$root/root/vek-demo-build/vek-demo.log
[ -f "$log" ] || fail "no log beside the example program"
line=$(grep -n '// the reported line' "$src/examples/vek-demo/VekDemo.cpp" | cut -d: -f1)
report=$(tr -d '\r' <"$log" | grep -a -A4 '\[ EXCEPT \]')
echo "$report"
grep -q -E "^ +Unit +: VekDemo$" <<<"$report" || fail "the report names no unit VekDemo"
grep -q -E "^ +Line +: $line$" <<<"$report" || fail "the report does not name line $line"
echo "PASSED"
