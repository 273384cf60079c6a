# SWUpdate rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces: swupdate -i installs signed .swu files made
# here, each run in a mount namespace of its own (an overlay on /etc for the
# device's files, tmpfs for SWUpdate's temporary files), with the handler,
# its sw-versions snippet and cordix from the build's cordix package.
SWU_DIR=$WORK/swupdate  # the staged package and the certificates

# Once per run: the cordix package staged, a CA and a signer certificate.
swupdate_setup() {
  command -v swupdate && command -v openssl && command -v cpio || return 1
  mkdir -p "$SWU_DIR/pki" &&
    cmake --install "$BUILD" --component cordix --prefix "$SWU_DIR/usr" >/dev/null &&
    (cd "$SWU_DIR/pki" &&
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
      -subj /CN=cordix-test-ca -keyout ca.key -out ca.crt \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign &&
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes \
      -subj /CN=cordix-test-signer -keyout signer.key -out signer.csr &&
    printf '%s\n' keyUsage=critical,digitalSignature extendedKeyUsage=emailProtection >signer.ext &&
    openssl x509 -req -in signer.csr -CA ca.crt -CAkey ca.key -set_serial 1 -days 2 \
      -extfile signer.ext -out signer.crt)
}

swupdate_failed=0
swupdate_check() {  # WHAT GOT WANT
  if [ "$2" = "$3" ]; then echo "ok: $1 = $2"; else echo "FAILED: $1 = '$2', expected '$3'"; swupdate_failed=1; fi
}
swupdate_count() { grep -c "$1" "$2"; }

# OUT IMAGE VERSION: a .swu with sw-description first, its CMS signature
# second, then the image.
swupdate_swu() {
  local d=$DIR/swu
  rm -rf "$d" && mkdir "$d" && cp "$2" "$d/dect-fw.bin" || return 1
  cat >"$d/sw-description" <<EOF
software = {
	version = "1.0.0";
	hardware-compatibility: [ "1.0" ];
	images: ( {
		filename = "dect-fw.bin";
		type = "dect-module";
		name = "dect-module";
		version = "$3";
		install-if-different = true;
		sha256 = "$(sha256sum <"$2" | cut -d' ' -f1)";
	} );
}
EOF
  openssl cms -sign -in "$d/sw-description" -out "$d/sw-description.sig" -signer "$SWU_DIR/pki/signer.crt" \
    -inkey "$SWU_DIR/pki/signer.key" -outform DER -nosmimecap -binary &&
    (cd "$d" && printf '%s\n' sw-description sw-description.sig dect-fw.bin | cpio -o -H newc --quiet) >"$1"
}

# SWU: a device boots (its settings and hardware revision on an overlay of
# /etc, /etc/sw-versions from the module by the shipped snippet) and installs
# SWU with swupdate -i. Says LEFTOVER if the handler's image file stayed.
swupdate_install() {
  mkdir -p "$DIR/ns"
  timeout -k 5 $((TIMEOUT * 4 + 60)) unshare -m sh -c '
    ns=$1 usr=$2
    mount --make-rprivate / && mount -t tmpfs tmpfs "$ns" && mkdir "$ns/etc" "$ns/work" "$ns/tmp" &&
      mount -t overlay overlay -o "lowerdir=/etc,upperdir=$ns/etc,workdir=$ns/work" /etc || exit 125
    mkdir -p /etc/swupdate && echo "cordix-test 1.0" >/etc/hwrevision &&
      printf "CONTROLLER=2  # CAPI controller\nTIMEOUT=\"%s\"\n" "$3" >/etc/swupdate/dect-module.conf || exit 125
    export TMPDIR=$ns/tmp PATH=$usr/bin:$PATH
    export LUA_PATH="$usr/share/lua/5.3/?.lua;$usr/share/doc/cordix/examples/swupdate/?.lua;;"
    . "$usr/share/doc/cordix/examples/swupdate/sw-versions"
    echo "/etc/sw-versions: $(cat /etc/sw-versions)"
    swupdate -v -k "$4" -i "$5"
    rc=$?
    [ ! -e "$ns/tmp/dect_module.bin" ] || echo LEFTOVER
    exit $rc' sh "$DIR/ns" "$SWU_DIR/usr" "$TIMEOUT" "$SWU_DIR/pki/ca.crt" "$1"
}

# One install: IMAGE:VERSION:EXPECT[:reports=V] (see the scenarios file).
swupdate_step() {
  local img ver expect mod reports sessions done log rc t0 ms now
  IFS=: read -r img ver expect mod <<<"$1"
  reports=$ver
  case $mod in reports=*) reports=${mod#reports=} ;; esac
  swupdate_swu "$DIR/$img.swu" "$DIR/$img" "$ver" || return 1
  sessions=$(swupdate_count 'registered, session' "$DIR/sim.log")
  done=$(swupdate_count 'update complete:' "$DIR/sim.log")
  log=$DIR/$img-$ver.log
  echo "== swupdate -i $img.swu (version $ver, module reports $reports), expected: $expect"
  t0=$(date +%s%N)
  swupdate_install "$DIR/$img.swu" >"$log" 2>&1
  rc=$?
  ms=$((($(date +%s%N) - t0) / 1000000))
  sessions=$(($(swupdate_count 'registered, session' "$DIR/sim.log") - sessions))
  echo "swupdate: status $rc after $ms ms; $(grep -m1 '^/etc/sw-versions' "$log")"
  grep -E 'dect-module:|ERROR|successful|already installed' "$log" | sed 's/^/  /'
  swupdate_check "image file left behind" "$(swupdate_count LEFTOVER "$log")" 0
  now=$(timeout -k 5 30 "$BUILD/update/cordix" -g -t 5 | sed -n 's/^version ind empfangen(\(.*\))$/\1/p')
  case $expect in
  ok)
    swupdate_check "status" "$rc" 0
    swupdate_check "success notified" "$(swupdate_count 'SWUPDATE successful' "$log")" 1
    swupdate_check "last image received" \
      "$(sed -n 's/.*update complete: .*sha256 \([0-9a-f]*\),.*/\1/p' "$DIR/sim.log" | tail -n 1)" \
      "$(sha256sum <"$DIR/$img" | cut -d' ' -f1)"
    swupdate_check "controller of the last update" \
      "$(grep -o 'controller [0-9]*' "$DIR/sim.log" | tail -n 1)" "controller 2"
    swupdate_check "module version" "$now" "$reports"
    ;;
  failed)
    swupdate_check "status" "$rc" 1
    swupdate_check "'Installation failed'" "$(swupdate_count 'Installation failed' "$log")" 1
    if [ "$reports" != "$ver" ]; then
      swupdate_check "error" "$(swupdate_count "ERROR : dect-module: the module reports version $now, not $ver" "$log")" 1
    else
      swupdate_check "error" "$(swupdate_count 'ERROR : dect-module: cordix ended with status [1-9]' "$log")" 1
      swupdate_check "version after the failure" "$(swupdate_count "ERROR : dect-module: the module runs version $now now" "$log")" 1
    fi
    ;;
  skipped)
    swupdate_check "skipped" "$(swupdate_count "dect-module($ver) already installed, skipping" "$log")" 1
    swupdate_check "simulator sessions (the sw-versions query only)" "$sessions" 1
    ;;
  *) swupdate_check "expectation" "$expect" "ok, failed or skipped" ;;
  esac
  [ "$expect" = ok ] || swupdate_check "updates completed" "$(swupdate_count 'update complete:' "$DIR/sim.log")" "$done"
}

# NAME SIMULATOR TIMEOUT INSTALL...
swupdate_row() {
  DIR=$WORK/swupdate-$1 TIMEOUT=$3
  local simopts=() spec img ver mod sim port
  [ "$2" = - ] || IFS=';' read -r -a simopts <<<"$2"
  shift 3
  mkdir -p "$DIR/home"
  for spec in "$@"; do  # the images, and the version the module reports for each
    IFS=: read -r img ver _ mod <<<"$spec"
    [ -e "$DIR/$img" ] || head -c "${img##*.}" /dev/urandom >"$DIR/$img"
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
  for spec in "$@"; do swupdate_step "$spec" || swupdate_failed=1; done
  kill "$sim" && wait "$sim"
  trap - EXIT
  sed -n '/dectsim summary/,$p' "$DIR/sim.log"
  swupdate_check "protocol violations" "$(swupdate_count 'violation: ' "$DIR/sim.log")" 0
  return $swupdate_failed
}
