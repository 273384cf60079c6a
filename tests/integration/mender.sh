# Mender rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces: standalone installs (mender install, then
# mender commit) with the dect-module Update Module against dectsim.
MENDER_TOP=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
MENDER_MODULES=/usr/share/mender/modules/v3
MENDER_DEVICE=dect-test

# Once per run: tmpfs over the client's configuration, modules and data (a
# link to /data/mender in Debian's package: the mount goes over its target).
mender_setup() {
  command -v mender && command -v mender-artifact || return 1
  mount -t tmpfs tmpfs /etc/mender && mount -t tmpfs tmpfs "$MENDER_MODULES" || return 1
  local data
  data=$(readlink -f /var/lib/mender)
  if [ -d "$data" ]; then
    mount -t tmpfs tmpfs "$data"
  else  # the link's target is missing: a private /var/lib holds the data
    mount -t tmpfs tmpfs /var/lib && mkdir /var/lib/mender
  fi
}

mender_failed=0
mender_check() {  # WHAT GOT WANT
  if [ "$2" = "$3" ]; then echo "ok: $1 = $2"; else echo "FAILED: $1 = '$2', expected '$3'"; mender_failed=1; fi
}

mender_sha() { sha256sum <"$1" | cut -d' ' -f1; }
mender_ms() { echo $(($(date +%s%N) / 1000000)); }
mender_client() { timeout -k 5 120 mender --no-syslog "$@"; }

# A fresh device: no artifact installed yet ("factory"), nothing kept.
mender_device() {
  rm -rf /etc/mender/* /var/lib/mender/* "${MENDER_MODULES:?}"/*
  install -m 755 "$MENDER_TOP/integration/mender/dect-module" "$MENDER_MODULES/dect-module"
  echo '{}' >/etc/mender/mender.conf  # standalone: no server
  echo 'artifact_name=factory' >/etc/mender/artifact_info
  echo "device_type=$MENDER_DEVICE" >/var/lib/mender/device_type
  printf 'CORDIX=%s\nTIMEOUT=%s\nSTATE_DIR=%s\n' "$BUILD/update/cordix" "$1" "$2" \
    >/etc/mender/dect-module.conf
}

# One install: IMAGE:VERSION:EXPECT[:MODIFIER] (see the scenarios file).
mender_step() {
  local img ver expect mod reports needs art rc t0 ms
  IFS=: read -r img ver expect mod <<<"$1"
  reports=$ver needs=
  case $mod in reports=*) reports=${mod#reports=} ;; needs=*) needs=${mod#needs=} ;; esac
  art=$DIR/$img.mender
  mender-artifact write module-image -T dect-module -f "$DIR/$img" -t "$MENDER_DEVICE" \
    -n "dect-$img" --software-name dect-module --software-version "$ver" -o "$art" \
    ${needs:+--depends "rootfs-image.dect-module.version:$needs"} >/dev/null || return 1
  local done_before sessions_before
  done_before=$(grep -c 'update complete:' "$DIR/sim.log")
  sessions_before=$(grep -c 'registered, session' "$DIR/sim.log")
  echo "== install dect-$img (version $ver, module reports $reports), expected: $expect"
  t0=$(mender_ms)
  mender_client install "$art" 2>&1 | tee "$DIR/install.out"
  rc=${PIPESTATUS[0]}
  ms=$(($(mender_ms) - t0))
  echo "mender install: status $rc after $ms ms"
  [ "$ms" -lt $(((TIMEOUT + 10) * 1000)) ] || mender_check "install time (ms)" "$ms" "< $(((TIMEOUT + 10) * 1000))"
  if [ "$expect" = ok ]; then
    mender_check "install status" "$rc" 0
    # Without a kept image (the first install) Mender commits at once.
    mender_client commit
    mender_check "commit status" "$?" "$(grep -q 'Committing immediately' "$DIR/install.out" && echo 2 || echo 0)"
    NAME=dect-$img SHA=$(mender_sha "$DIR/$img") VERSION=$reports
  else
    mender_check "install failed" "$([ "$rc" -ne 0 ] && echo yes)" yes
  fi
  if [ "$expect" = refused ]; then
    mender_check "dependency refused" "$(grep -q 'dependency .* not satisfied' "$DIR/install.out" && echo yes)" yes
    mender_check "simulator sessions" "$(grep -c 'registered, session' "$DIR/sim.log")" "$sessions_before"
  else
    mender_check "updates completed" "$(($(grep -c 'update complete:' "$DIR/sim.log") > done_before))" 1
  fi
  mender_check "artifact" "$(mender_client show-artifact)" "$NAME"
  mender_check "last image received" \
    "$(sed -n 's/.*update complete: .*sha256 \([0-9a-f]*\),.*/\1/p' "$DIR/sim.log" | tail -n 1)" "$SHA"
  mender_check "module version" "$(timeout -k 5 30 "$BUILD/update/cordix" -g -t 5 |
    sed -n 's/^version ind empfangen(\(.*\))$/\1/p')" "$VERSION"
  # Only the committed image stays in the state folder.
  [ "$expect" = ok ] && KEPT=$ver
  mender_check "state folder" "$(cd "$DIR/state" && find . | sort | tr '\n' ' ')" \
    ". ./kept ./kept/firmware.bin ./kept/version "
  mender_check "kept image" "$(mender_sha "$DIR/state/kept/firmware.bin") $(cat "$DIR/state/kept/version")" \
    "$SHA $KEPT"
}

# NAME SIMULATOR TIMEOUT INSTALL...
mender_row() {
  DIR=$WORK/$1 TIMEOUT=$3
  local simopts=() spec img sim port
  [ "$2" = - ] || IFS=';' read -r -a simopts <<<"$2"
  shift 3
  mkdir -p "$DIR/home" "$DIR/state"
  mender_device "$TIMEOUT" "$DIR/state"
  for spec in "$@"; do  # the images, and the version the module reports for each
    IFS=: read -r img ver _ mod <<<"$spec"
    head -c "${img##*.}" /dev/urandom >"$DIR/$img"
    case $mod in reports=*) ver=${mod#reports=} ;; esac
    simopts+=("--version-of=$DIR/$img:$ver")
  done
  "$BUILD/sim/dectsim" --port-file "$DIR/port" --idle-exit 120 "${simopts[@]}" >"$DIR/sim.log" 2>&1 &
  sim=$!
  trap 'kill $sim 2>/dev/null; wait $sim' EXIT
  for _ in $(seq 100); do [ -s "$DIR/port" ] && break; sleep 0.05; done
  port=$(cat "$DIR/port") || { cat "$DIR/sim.log"; return 1; }
  echo "REMOTE rcapi 127.0.0.1 $port" >"$DIR/home/.capi20rc"
  export HOME=$DIR/home
  NAME=factory SHA= VERSION=12.34.56  # the simulator's module before any install
  for spec in "$@"; do mender_step "$spec" || mender_failed=1; done
  kill "$sim" && wait "$sim"
  trap - EXIT
  sed -n '/dectsim summary/,$p' "$DIR/sim.log"
  mender_check "protocol violations" "$(grep -c 'violation: ' "$DIR/sim.log")" 0
  return $mender_failed
}
