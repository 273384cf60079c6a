# SPDX-License-Identifier: MIT
# shellcheck shell=bash disable=SC2016,SC2034,SC2154  # DIR, img, failed...: shared with run
# RAUC rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces, with the cordix package's files in /usr:
# bundles made from the package's hook and example manifest; each install
# boots the device in a mount namespace of its own (overlays on /etc, where
# /etc/rauc holds the package's example system.conf, and on /var/lib, where
# RAUC keeps the slot's record), with a private system bus and `rauc service`.
RAUC_PKI=$WORK/.rauc-pki RAUC_SHARE=/usr/share/cordix/rauc
SLOW=1  # the install's time bound

# Once per run: a CA (the devices' keyring) and a signer certificate.
rauc_setup() {
  command -v rauc && command -v dbus-daemon && command -v mksquashfs && mkdir -p "$RAUC_PKI" && cd "$RAUC_PKI" &&
    make_pki
}

# A fresh device (its /etc/rauc in the overlay's upper folder, its bus's
# configuration), no slot record yet.
rauc_prepare() {
  local e=$DIR/root/etc/rauc
  mkdir -p "$e" && cp "$RAUC_SHARE/system.conf" "$e/" && cp "$RAUC_PKI/ca.crt" "$e/keyring.pem" &&
    printf 'CORDIX=%s\nCONTROLLER=1\nTIMEOUT="%s"\n' "$DIR/cordix" "$TIMEOUT" >"$e/dect-module.conf" &&
    echo "<busconfig><listen>unix:path=$DIR/bus</listen><policy context='default'><allow user='root'/>
      <allow send_destination='*'/><allow send_type='signal'/><allow receive_sender='*'/></policy>
      <include>/usr/share/dbus-1/system.d/de.pengutronix.rauc.conf</include></busconfig>" >"$DIR/bus.conf"
  KEPT=
}

# A bundle of a copy of the package's hook and manifest with the image,
# declaring VERSION, for the device my-device or (MODIFIER compatible=C) C.
rauc_artifact() {
  local b=$DIR/bundle c=my-device
  why=
  case $mod in
    compatible=*) c=${mod#compatible=} why="the bundle is for '$c', this device is 'my-device'" ;;
    badline) echo 'CONTROLLER = 7' >>"$DIR/root/etc/rauc/dect-module.conf"
      why="settings refused: /etc/rauc/dect-module.conf line 4: not NAME=VALUE (no blanks around =): CONTROLLER = 7" ;;
  esac
  [[ $ver != *[A-F]* ]] || why="bundle version '$ver' is in upper case: write it as cordix -g prints it, ${ver,,}"
  rm -rf "$b" "$DIR/$img.raucb" && mkdir "$b" && cp "$RAUC_SHARE/dect-module-hook" "$b/" &&
    cp "$DIR/$img" "$b/dect-fw.bin" && V=$ver C=$c awk '/^version=/ { $0 = "version=" ENVIRON["V"] }
      /^compatible=/ { $0 = "compatible=" ENVIRON["C"] } 1' "$RAUC_SHARE/manifest.raucm" >"$b/manifest.raucm" &&
    rauc bundle --cert="$RAUC_PKI/signer.crt" --key="$RAUC_PKI/signer.key" --keyring="$RAUC_PKI/ca.crt" \
      "$b" "$DIR/$img.raucb" >/dev/null
}

# The device boots (working folder DIR, a pid namespace of its own), runs
# `rauc install BUNDLE` or (recover) the boot step, keeps `rauc status` in
# DIR/status and ends its bus and service by their pids.
rauc_device() {
  timeout -k 5 $((TIMEOUT * 4 + 60)) unshare -m -p -f --kill-child bash -c 'cd "$0" || exit 125
    for d in etc var/lib; do
      mkdir -p "root/$d" "work/$d" &&
        mount -t overlay overlay -o "lowerdir=/$d,upperdir=$0/root/$d,workdir=$0/work/$d" "/$d" || exit 125
    done
    export DBUS_SYSTEM_BUS_ADDRESS=unix:path=$0/bus
    bus=$(dbus-daemon --config-file=bus.conf --fork --print-pid --nopidfile) || exit 125
    rauc --mount="$0/mnt" service --override-boot-slot=_external_ & service=$!
    for _ in $(seq 50); do timeout 5 rauc status >/dev/null 2>&1 && break; sleep 0.1; done
    if [ "$1" = recover ]; then /usr/lib/cordix/dect-update recover 2>recover.log; else rauc install "$1"; fi
    rc=$?
    rauc status --detailed --output-format=shell >status
    kill "$service" "$bus" && wait "$service"
    exit $rc' "$DIR" "$1"
}
rauc_install() {
  case $mod in power=*) power "${mod#power=}" rauc_device "$DIR/$img.raucb"; [ "$mod" != power=random ] || return 0 ;; esac
  rauc_device "$DIR/$img.raucb"
}
rauc_boot() { rauc_device recover; }
rauc_record() { sed -n "s/^RAUC_SLOT_STATUS_BUNDLE_VERSION_1='\(.*\)'$/\1/p" "$DIR/status"; }

rauc_check() {
  case $expect in ok | same) KEPT=$ver ;; esac
  check "slot record" "$(sed -n "s/^RAUC_SLOT_STATUS_BUNDLE_VERSION_1='\(.*\)'$/\1/p" "$DIR/status")" "$KEPT"
  [ "$expect" != refused ] || check "rejected, files the version's commands made" \
    "$(grep -c "^LastError: .* Bundle rejected: Hook returned: dect-module: error: $why" "$log") $(find "$DIR" -name pwned | wc -l)" "1 0"
}
