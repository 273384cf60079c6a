# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034,SC2154  # DIR, failed, here...: shared with run
# Mender rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces: standalone installs (mender install, then
# mender commit) through the dect-module Update Module.
MENDER_MODULES=/usr/share/mender/modules/v3

# Once per run: tmpfs over the client's configuration, modules and data (a
# link to /data/mender in Debian's package: the mount goes over its target).
mender_setup() {
  command -v mender && command -v mender-artifact || return 1
  mount -t tmpfs tmpfs /etc/mender && mount -t tmpfs tmpfs "$MENDER_MODULES" || return 1
  local data
  data=$(readlink -f /var/lib/mender)
  if [ -d "$data" ]; then
    mount -t tmpfs tmpfs "$data"
  else  # a missing target: a private /var/lib holds the data
    mount -t tmpfs tmpfs /var/lib && mkdir /var/lib/mender
  fi
}

mender() { timeout -k 5 120 mender --no-syslog "$@"; }  # the client, bounded

# One install: IMAGE:VERSION:EXPECT[:MODIFIER] (see the scenarios file).
mender_step() {
  local img ver expect mod needs rc ms completed sessions
  IFS=: read -r img ver expect mod <<<"$1"
  case $mod in needs=*) needs=${mod#needs=} ;; *) needs= ;; esac
  mender-artifact write module-image -T dect-module -f "$DIR/$img" -t dect-test -n "dect-$img" \
    --software-name dect-module --software-version "$ver" -o "$DIR/$img.mender" \
    ${needs:+--depends "rootfs-image.dect-module.version:$needs"} >/dev/null || return 1
  completed=$(sim_count 'update complete:') sessions=$(sim_count 'registered, session')
  echo "== install dect-$img ($1)"
  ms=$(now_ms)
  mender install "$DIR/$img.mender" 2>&1 | tee "$DIR/install.out"
  rc=${PIPESTATUS[0]} ms=$(($(now_ms) - ms))
  echo "mender install: status $rc after $ms ms"
  check "install ended in time" "$((ms < (TIMEOUT + 10) * 1000))" 1
  if [ "$expect" = ok ]; then
    check "install status" "$rc" 0
    check "cordix's reads in the client's log" "$(grep -o "Byte aus Datei([^)]*/$img)" "$DIR/install.out" | wc -l)" \
      $(((${img##*.} + 1023) / 1024 + 1))
    mender commit
    check "commit status" "$?" 0
    NAME=dect-$img SHA=$(sha "$DIR/$img") KEPT=$ver
  else
    check "install failed" "$((rc != 0))" 1
  fi
  if [ "$expect" = refused ]; then
    check "dependency refused" "$(grep -q 'dependency .* not satisfied' "$DIR/install.out" && echo yes)" yes
    check "simulator sessions" "$(sim_count 'registered, session')" "$sessions"
  elif [ -n "$SHA" ]; then  # streamed to completion: the new image, or the kept one back
    check "updates completed" "$(($(sim_count 'update complete:') > completed))" 1
  fi
  check "artifact" "$(mender show-artifact)" "$NAME"
  check "provided version" "$(mender show-provides | sed -n 's/^rootfs-image.dect-module.version=//p')" "$KEPT"
  check "last image received" "$(sim_last_sha)" "$SHA"
  check "module version" "$(module_version)" "${KEPT:-12.34.56}"
  # Only the committed image stays in the module's state folder.
  check "state folder" "$(cd "$DIR/state" && find . | sort | tr '\n' ' ')" \
    ". ${SHA:+./kept ./kept/firmware.bin ./kept/version }"
  [ -z "$SHA" ] || check "kept image" \
    "$(sha "$DIR/state/kept/firmware.bin") $(cat "$DIR/state/kept/version")" "$SHA $KEPT"
}

# NAME SIMULATOR TIMEOUT INSTALL...: a fresh device ("factory", nothing kept).
mender_row() {
  row_start "$@" || return 1
  shift 3
  rm -rf /etc/mender/* /var/lib/mender/* "${MENDER_MODULES:?}"/*
  install -m 755 "$here/../../integration/mender/dect-module" "$MENDER_MODULES/"
  echo '{}' >/etc/mender/mender.conf  # standalone: no server
  echo 'artifact_name=factory' >/etc/mender/artifact_info
  echo 'device_type=dect-test' >/var/lib/mender/device_type
  mkdir "$DIR/state"
  printf 'CORDIX=%s\nTIMEOUT=%s\nSTATE_DIR=%s\n' "$BUILD/update/cordix" "$TIMEOUT" "$DIR/state" \
    >/etc/mender/dect-module.conf
  NAME=factory SHA='' KEPT=''  # nothing committed; dectsim's module reports 12.34.56
  for inst in "$@"; do mender_step "$inst" || failed=1; done
  row_end
}
