# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034,SC2154  # DIR, img, failed...: shared with run
# Mender rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces: standalone installs (mender install, then
# mender commit) through the dect-module Update Module.
MENDER_MODULES=/usr/share/mender/modules/v3
SLOW=1 READ='Byte aus Datei([^)]*)'  # the install's time bound; cordix's reads

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

# A fresh device ("factory", nothing kept).
mender_prepare() {
  rm -rf /etc/mender/* /var/lib/mender/* "${MENDER_MODULES:?}"/*
  install -m 755 "$here/../../integration/mender/dect-module" "$MENDER_MODULES/"
  echo '{}' >/etc/mender/mender.conf  # standalone: no server
  echo 'artifact_name=factory' >/etc/mender/artifact_info
  echo 'device_type=dect-test' >/var/lib/mender/device_type
  mkdir "$DIR/state"
  printf 'CORDIX=%s\nTIMEOUT=%s\nSTATE_DIR=%s\n' "$BUILD/update/cordix" "$TIMEOUT" "$DIR/state" \
    >/etc/mender/dect-module.conf
  NAME=factory SHA='' KEPT=''  # nothing committed; dectsim's module reports 12.34.56
}

mender_artifact() {
  local needs=
  case $mod in needs=*) needs=${mod#needs=} ;; esac
  mender-artifact write module-image -T dect-module -f "$DIR/$img" -t dect-test -n "dect-$img" \
    --software-name dect-module --software-version "$ver" -o "$DIR/$img.mender" \
    ${needs:+--depends "rootfs-image.dect-module.version:$needs"} >/dev/null
}

mender_install() { mender install "$DIR/$img.mender"; }

mender_check() {
  if [ "$expect" = ok ]; then
    check "install status" "$rc" 0
    mender commit
    check "commit status" "$?" 0
    NAME=dect-$img SHA=$(sha "$DIR/$img") KEPT=$ver
  else
    check "install failed" "$((rc != 0))" 1
  fi
  if [ "$expect" = refused ]; then
    check "dependency refused" "$(grep -q 'dependency .* not satisfied' "$log" && echo yes)" yes
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
