# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # DIR, failed, TIMEOUT...: shared with run
# SPDX-License-Identifier: MIT
# SWUpdate rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces, with the cordix package's files in /usr:
# each row boots a device and installs signed .swu files made here through
# swupdate-client and the daemon of Debian's service, the image installed
# directly from the stream.
SWU_DIR=$WORK/.swupdate SWU_SH=${BASH_SOURCE[0]}
SLOW=3  # the install's time bound

# Once per run: a CA and a signer certificate; the handler loaded as a device
# maker does it.
swupdate_setup() {
  command -v swupdate && command -v openssl && command -v cpio || return 1
  cp /usr/share/doc/cordix/examples/swupdate/swupdate_handlers.lua /usr/share/lua/5.3/ &&
    mkdir -p "$SWU_DIR" && cd "$SWU_DIR" && make_pki
}

# A .swu of the image: sw-description first, its CMS signature second, then
# the image.
swupdate_artifact() {
  cat >"$DIR/sw-description" <<EOF
software = {
	version = "1.0.0";
	hardware-compatibility: [ "1.0" ];
	images: ( { filename = "$img"; type = "dect-module"; version = "$ver";
		installed-directly = true; sha256 = "$(sha "$DIR/$img")"; } );
}
EOF
  (cd "$DIR" && openssl cms -sign -in sw-description -out sw-description.sig -signer "$SWU_DIR/signer.crt" \
    -inkey "$SWU_DIR/signer.key" -outform DER -nosmimecap -binary &&
    printf '%s\n' sw-description sw-description.sig "$img" | cpio -o -H newc --quiet >"$img.swu")
}

# The row's device, bounded, ended in swupdate_end: a session and mount
# namespace with overlays on /etc (its settings and hardware revision) and
# /var/lib, whose upper folders outlive a power cut, TMPDIR a tmpfs with room
# for one and a half images; the boot step runs there, Debian's service after
# it (the sw-versions snippet, then swupdate as a daemon), swupdate-progress
# beside it.
swupdate_prepare() {
  # shellcheck disable=SC2016  # expanded by the inner bash
  mkdir -p "$DIR/ns" && rm -f "$DIR/daemon.pids" || return 1
  DIR=$DIR TIMEOUT=$TIMEOUT img=$img setsid timeout -k 5 250 \
    unshare -m bash -c '. "$0" && swupdate_device' "$SWU_SH" </dev/null >>"$DIR/daemon.log" 2>&1 &
  DEVICE=$!
  for _ in $(seq 100); do
    SWU_DAEMON=$(cut -d' ' -f1 "$DIR/daemon.pids" 2>/dev/null)
    [ -n "$SWU_DAEMON" ] && on_device test -S "$DIR/ns/tmp/sockinstctrl" && return
    sleep 0.1
  done
  return 1
}
swupdate_device() {
  local ns=$DIR/ns root=$DIR/root
  mount --make-rprivate / && mount -t tmpfs tmpfs "$ns" &&
    mkdir -p "$ns/tmp" "$root/etc" "$root/lib" "$root/work/etc" "$root/work/lib" &&
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$root/etc,workdir=$root/work/etc" /etc &&
    mount -t overlay overlay -o "lowerdir=/var/lib,upperdir=$root/lib,workdir=$root/work/lib" /var/lib &&
    mount -t tmpfs -o "mode=1777,size=$((${img##*.} * 3 / 2))" tmpfs "$ns/tmp" || exit 125
  mkdir -p /etc/swupdate && echo "cordix-test 1.0" >/etc/hwrevision &&
    printf 'CORDIX=%s\nCONTROLLER=2\nTIMEOUT="%s"\n' "$DIR/cordix" "$TIMEOUT" >/etc/swupdate/dect-module.conf || exit 125
  export TMPDIR=$ns/tmp
  /usr/lib/cordix/dect-update recover 2>"$DIR/recover.log"; echo $? >"$DIR/recover.rc"
  # shellcheck disable=SC1091  # the installed snippet
  . /usr/share/doc/cordix/examples/swupdate/sw-versions
  echo "/etc/sw-versions: $(cat /etc/sw-versions)"
  swupdate-progress -w >"$DIR/progress.log" 2>&1 &
  echo "$$ $!" >"$DIR/daemon.pids"
  exec swupdate -v -k "$SWU_DIR/ca.crt"
}

on_device() {  # CMD... on the row's device, bounded
  timeout -k 5 $((TIMEOUT * 4 + 60)) nsenter -t "$SWU_DAEMON" -m env TMPDIR="$DIR/ns/tmp" "$@"
}

# swupdate-client, perhaps after planting a link or another user's writable
# file at the name the handler once wrote to; then what TMPDIR holds (its
# sockets aside), the plant removed.
swupdate_install() {
  local old=$DIR/ns/tmp/dect_module.bin
  case $mod in
  power=*) power "${mod#power=}" on_device swupdate-client -v "$DIR/$img.swu"; [ "$mod" != power=random ] || return 0 ;;
  planted=link) on_device sh -c 'echo planted >"$1" && chmod 600 "$1" && ln -s "$1" "$2"' sh "$DIR/ns/kept" "$old" ;;
  planted=file) on_device sh -c 'echo planted >"$1" && chmod 666 "$1" && chown nobody "$1"' sh "$old" ;;
  esac
  on_device swupdate-client -v "$DIR/$img.swu"
  local rc=$?
  echo "TMPDIR holds: $(on_device sh -c 'find "$TMPDIR" -mindepth 1 ! -type s -printf "%f "; cat "$1"; rm -f "$1"' \
    sh "$old" 2>/dev/null)"
  return $rc
}

# A reboot: the device again, the boot step's status.
swupdate_boot() { rm -f "$DIR/recover.rc" && swupdate_prepare && return "$(cat "$DIR/recover.rc")"; }
swupdate_record() { sed -n 's/^dect-module //p' "$DIR/root/etc/sw-versions"; }

# The tests ask on the settings' controller too: every session of a row is on it.
module_version() { timeout -k 5 30 cordix -g -c 2 -t 5 | sed -n 's/^version ind empfangen(\(.*\))$/\1/p'; }

swupdate_check() {
  local plant=''
  case $mod in planted=*) plant="dect_module.bin planted" ;; esac
  check "TMPDIR after the install" "$(sed -n 's/^TMPDIR holds: //p' "$log")" "$plant"
  case $expect in
  ok)
    check "progress lines" "$(grep -c 'dect-module: sent [1-9]0*% (' "$log")" 10
    check "cordix's chunk and state lines" "$(grep -c 'Byte aus Datei\|state_machine' "$log")" 0 ;;
  refused) check "error" "$(grep -cF "ERROR : dect-module: error: nothing sent to the DECT module: version '$ver' is not of the form" "$log")" 1 ;;
  failed) check "cordix's status" "$(grep -c 'ERROR : dect-module: error: cordix ended with status [1-9]' "$log")" 1 ;;
  esac
}

# The row's end: the daemon and swupdate-progress ended by pid; every request
# on the controller of the settings file; the flash's progress as seen by
# swupdate-progress, for each completed update 0% after SWUpdate's copy, then
# every tenth.
swupdate_end() {
  # shellcheck disable=SC2046  # two pids
  [ -z "${SWU_DAEMON:-}" ] || kill $(cat "$DIR/daemon.pids") && wait
  check "controller of every session" "$(grep -o 'controller [0-9-]*$' "$DIR/sim.log" | sort -u)" "controller 2"
  check "/etc/sw-versions at the daemon's first start" "$(sed -n 's|^/etc/sw-versions: ||p' "$DIR/daemon.log" | head -n 1)" \
    "dect-module 12.34.56"
  check "flash progress" "$(tr '\r' '\n' <"$DIR/progress.log" | sed -n 's/.* \([0-9]*\)% ([^)][^)]*).*/\1/p' |
    tr '\n' ' ' | grep -o '100 0 10 20 30 40 50 60 70 80 90 100 ' | wc -l)" \
    "$(($(sim_count 'update complete:') - $(grep -c '^dect-module: streaming' "$DIR/recover.log")))"
}
