# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2034,SC2154  # DIR, img, failed...: shared with run
# Mender rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces: standalone installs (mender install, then
# mender commit) through the dect-module Update Module the runner installed
# into its overlay of /usr.
MENDER_MODULES=/usr/share/mender/modules/v3
TREE=/var/lib/mender/modules/v3/payloads/0000/tree  # the payload's folder
SLOW=1  # the install's time bound

# Once per run: tmpfs over the client's configuration and data (a link to
# /data/mender in Debian's package: the mount goes over its target).
mender_setup() {
  command -v mender && command -v mender-artifact || return 1
  mount -t tmpfs tmpfs /etc/mender || return 1
  local data
  data=$(readlink -f /var/lib/mender)  # a missing target: a private /var/lib holds the data
  if [ -d "$data" ]; then mount -t tmpfs tmpfs "$data"; else mount -t tmpfs tmpfs /var/lib && mkdir /var/lib/mender; fi
}

mender() { timeout -k 5 120 mender --no-syslog "$@"; }  # the client, bounded

# A fresh device ("factory", nothing kept).
mender_prepare() {
  rm -rf /etc/mender/* /var/lib/mender/*
  echo '{}' >/etc/mender/mender.conf  # standalone: no server
  echo 'artifact_name=factory' >/etc/mender/artifact_info
  echo 'device_type=dect-test' >/var/lib/mender/device_type
  mkdir "$DIR/state"
  mender_conf "$DIR/cordix"
  NAME=factory SHA='' KEPT='' BARE=12.34.56  # nothing committed: dectsim's own version
}

mender_conf() { printf 'CORDIX=%s\nTIMEOUT=%s\nSTATE_DIR=%s\n' "$1" "$TIMEOUT" "$DIR/state" >/etc/mender/dect-module.conf; }

# A cordix that asks the module but ends every update with STATUS before
# its first request (8: after the whole update), saying what cordix says
# then; the reason the log gives.
stub() {
  printf '#!/bin/sh\ncase " $* " in *" -g "*) exec %s "$@" ;; esac\n[ %s != 8 ] || %s "$@"\necho "%s"\nexit %s\n' \
    "$BUILD/update/cordix" "$1" "$BUILD/update/cordix" \
    "$(case $1 in 10) echo 'stopped by signal 15' ;;
       11) echo 'controller not answering within 5 s' ;; esac)" "$1" >"$DIR/stub" && chmod +x "$DIR/stub"
  case $1 in 1) why='cordix refused its settings' ;; 3) why='the image cannot be read' ;; [45]) why='no CAPI controller' ;;
    [67]) why='the CAPI application could not be registered' ;; 10) why='cordix was stopped by signal 15 before' ;;
    11) why='cordix: controller not answering within 5 s' ;; 126) why="$DIR/stub cannot be run" ;; 127) why="$DIR/stub not found" ;; esac
}

mender_artifact() {
  local opts=(--software-name dect-module)
  case $mod in  # why: the reason a refusal gives
    needs=*) opts+=(--depends "rootfs-image.dect-module.version:${mod#needs=}") why='dependency .* not satisfied' ;;
    provides=*) opts+=(--provides "${mod#provides=}") ;;
    name=*) opts=(--software-name "${mod#name=}") why='provides no rootfs-image.dect-module.version' ;;
  esac
  [[ $ver != *[A-F]* ]] || why="version '$ver' in upper case: write it as cordix -g prints it, ${ver,,}"
  mender-artifact write module-image -T dect-module -f "$DIR/$img" -t dect-test -n "dect-$img" \
    --software-version "$ver" "${opts[@]}" -o "$DIR/$img.mender" >/dev/null
}

mender_install() {
  mender_conf "$DIR/cordix"
  case $mod in
    stub=*) stub "${mod#stub=}" && mender_conf "$DIR/stub" ;;
    badline) echo 'CONTROLLER = 7' >>/etc/mender/dect-module.conf
      why="settings refused: /etc/mender/dect-module.conf line 4: not NAME=VALUE (no blanks around =): CONTROLLER = 7" ;;
    roshm | lockdir)  # no writable /dev/shm, or a link where cordix's lock folder belongs
      if [ "$mod" = roshm ]; then mount -o remount,ro /dev/shm && why='libcapi20 cannot start (/dev/shm: Read-only'
      else rm -rf /run/cordix && ln -s /tmp /run/cordix && why='cordix cannot lock controller 1: /run/cordix: a symbolic link'; fi
      mender install "$DIR/$img.mender"; set -- $?
      mount -o remount,rw /dev/shm; [ ! -L /run/cordix ] || rm /run/cordix; return "$1" ;;
    locked) flock "$DIR/state/lock" sleep 2 & sleep 0.2 ;;  # another state invocation, for 2 s
    busy)  # a real cordix holds the controller: it waits for a module that never answers
      local row=$SIM_PID holder
      sim_start "$DIR/deaf" "$BUILD/sim/dectsim" --fault=silent@1 --idle-exit 60 || return
      HOME=$DIR/deaf "$BUILD/update/cordix" -f "$DIR/$img" -t 30 >"$DIR/holder.log" & holder=$!
      timeout 10 sh -c "until grep -q 'warte auf start ind' '$DIR/holder.log'; do sleep 0.05; done"
      why="the module is busy (process $holder)"
      mender install "$DIR/$img.mender"; set -- $?
      kill "$holder" "$SIM_PID"; wait "$holder" "$SIM_PID"; SIM_PID=$row; return "$1" ;;
    room=*)  # a state folder of that many KiB, holding what it held
      why='No space left on device' && cp -a "$DIR/state" "$DIR/held" &&
        mount -t tmpfs -o "size=${mod#room=}k" tmpfs "$DIR/state" && cp -a "$DIR/held/." "$DIR/state/" || return ;;
    cut=commit)  # the module's commit ran; the power went before the client's record
      mender install "$DIR/$img.mender" && "$MENDER_MODULES/dect-module" ArtifactCommit "$TREE" 2>"$DIR/commit.log" &&
        { [ "$expect" = ok ] || mender rollback; }  # ok: mender commit finishes it
      return ;;
    cut=transfer)  # the power goes about three chunks into the update; then the same install again
      setsid timeout -k 5 120 mender --no-syslog install "$DIR/$img.mender" &
      timeout 60 sh -c "until [ \$(grep -c 'update started' '$DIR/sim.log') -gt $started ]; do sleep 0.02; done; sleep 0.06"
      # shellcheck disable=SC2046  # the pids of the client's session
      kill -KILL $(ps -o pid= -s $!)
      wait $! ;;
    power=commit) mender install "$DIR/$img.mender" && power commit timeout -k 5 120 mender --no-syslog commit &&
      mender commit >"$DIR/commit.log" 2>&1  # which finishes it
      return ;;
    power=random) power random sh -c 'mender --no-syslog install "$0" && mender --no-syslog commit' "$DIR/$img.mender"
      return ;;
    power=window)  # ArtifactInstall ended, the client has not stored the deployment: the power goes
      { mender install "$DIR/$img.mender" && cp -a "$TREE" "$DIR/tree" && mender rollback; } >"$DIR/window.log" 2>&1 &&
        power window sh -c '"$0" ArtifactInstall "$1" && "$2" -g' "$MENDER_MODULES/dect-module" "$DIR/tree" "$DIR/cordix" ;;
    power=*) power "${mod#power=}" timeout -k 5 120 mender --no-syslog install "$DIR/$img.mender" ;;
  esac
  mender install "$DIR/$img.mender"
}

mender_check() {
  local bound=32768
  case $expect/$mod in
    ok/locked) check "waited for the other state" "$((ms >= 1800))" 1 ;;&
    ok/stub=8) check "cordix's status a warning" "$(grep -c 'warning: cordix ended with status 8' "$log")" 1 ;;&
    ok/*)
      [ "$mod" = power=commit ] || mender commit
      check "commit status" "$?" 0
      check "verdict last" "$(sed 's/\\n/\n/g' "$log" | grep -o 'dect-module: [^"]*' | tail -n 1)" \
        "dect-module: installed: the module runs version $ver"
      NAME=dect-$img SHA=$(sha "$DIR/$img") KEPT=$ver bound=16384 ;;
    */cut=commit) check "install, the module's commit, rollback" "$rc" 0 ;;
    unsent/*) check "rollback: nothing sent" "$(grep -c 'was sent to the DECT module: nothing to roll back' "$log")" 1 ;;
    rollback/*) check "install failed" "$((rc != 0))" 1
       [ -n "$KEPT" ] || BARE=00.00.00  # nothing to go back to: the boot loader stays
       check "cordix's last line when it failed" "$(grep -o 'cordix: update did not complete' "$log" | wc -l)" \
         "$(grep -o 'cordix ended with status 8' "$log" | wc -l)" ;;
  esac
  check "log of $(wc -c <"$log") bytes, at most $bound" "$(($(wc -c <"$log") <= bound))" 1
  [ "$expect" != refused ] || check "reason in the log" "$(grep -q "$why" "$log" && echo yes)" yes
  check "artifact" "$(mender show-artifact)" "$NAME"
  check "provided version" "$(mender show-provides | sed -n 's/^rootfs-image.dect-module.version=//p')" "$KEPT"
  check "last image received" "$(sim_last_sha)" "$SHA"
  check "module version" "$(module_version)" "${KEPT:-$BARE}"
  check "staged images left" "$(cd "$DIR/state" && echo new* ./*.tmp)" "new* ./*.tmp"
  [ -z "$SHA" ] || check "kept image" "$(cd "$DIR/state/kept" && echo "$(cat artifact) $(sha firmware.bin) $(cat version)")" \
    "$NAME $SHA $KEPT"
}

mender_boot() { /usr/lib/cordix/dect-update recover 2>"$DIR/recover.log"; }
mender_pending() { ! grep -qi 'nothing to commit' < <(mender commit 2>&1 | tee -a "$DIR/power.log"); }  # and commits it
mender_record() { mender show-provides | sed -n 's/^rootfs-image.dect-module.version=//p'; }
