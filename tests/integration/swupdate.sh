# shellcheck shell=bash disable=SC2034,SC2154  # DIR, failed, TIMEOUT...: shared with run
# SPDX-License-Identifier: MIT
# SWUpdate rows of tests/integration/scenarios, sourced by tests/integration/run
# inside its private namespaces: swupdate -i installs signed .swu files made
# here, each run in a mount namespace of its own (overlays on /etc, for the
# device's files, and on /var/lib; tmpfs for SWUpdate's temporary files),
# with the handler, its sw-versions snippet and cordix from the build's cordix
# package.
SWU_DIR=$WORK/.swupdate  # the staged package and the certificates
SLOW=3 READ='cordix: .* Byte aus Datei'  # the install's time bound; cordix's reads

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

# A .swu of the image: sw-description first, its CMS signature second, then
# the image.
swupdate_artifact() {
  local d=$DIR/swu
  rm -rf "$d" && mkdir "$d" && cp "$DIR/$img" "$d/dect-fw.bin" || return 1
  cat >"$d/sw-description" <<EOF
software = {
	version = "1.0.0";
	hardware-compatibility: [ "1.0" ];
	images: ( {
		filename = "dect-fw.bin";
		type = "dect-module";
		name = "dect-module";
		version = "$ver";
		install-if-different = true;
		sha256 = "$(sha "$DIR/$img")";
	} );
}
EOF
  openssl cms -sign -in "$d/sw-description" -out "$d/sw-description.sig" -signer "$SWU_DIR/pki/signer.crt" \
    -inkey "$SWU_DIR/pki/signer.key" -outform DER -nosmimecap -binary &&
    (cd "$d" && printf '%s\n' sw-description sw-description.sig dect-fw.bin | cpio -o -H newc --quiet) >"$DIR/$img.swu"
}

# A device boots (its settings and hardware revision on an overlay of
# /etc, /etc/sw-versions from the module by the shipped snippet) and installs
# the .swu with swupdate -i. Says LEFTOVER if the handler's image file stayed.
swupdate_install() {
  mkdir -p "$DIR/ns"
  # shellcheck disable=SC2016  # expanded by the inner sh
  timeout -k 5 $((TIMEOUT * 4 + 60)) unshare -m sh -c '
    ns=$1 usr=$2
    mount --make-rprivate / && mount -t tmpfs tmpfs "$ns" &&
      mkdir -p "$ns/tmp" "$ns/etc" "$ns/lib" "$ns/work/etc" "$ns/work/lib" &&
      mount -t overlay overlay -o "lowerdir=/etc,upperdir=$ns/etc,workdir=$ns/work/etc" /etc &&
      mount -t overlay overlay -o "lowerdir=/var/lib,upperdir=$ns/lib,workdir=$ns/work/lib" /var/lib || exit 125
    mkdir -p /etc/swupdate && echo "cordix-test 1.0" >/etc/hwrevision &&
      printf "CONTROLLER=2  # CAPI controller\nTIMEOUT=\"%s\"\n" "$3" >/etc/swupdate/dect-module.conf || exit 125
    export TMPDIR=$ns/tmp PATH=$usr/bin:$PATH
    export LUA_PATH="$usr/share/lua/5.3/?.lua;$usr/share/doc/cordix/examples/swupdate/?.lua;;"
    . "$usr/share/doc/cordix/examples/swupdate/sw-versions"
    echo "/etc/sw-versions: $(cat /etc/sw-versions)"
    swupdate -v -k "$4" -i "$5"
    rc=$?
    [ ! -e "$ns/tmp/dect_module.bin" ] || echo LEFTOVER
    exit $rc' sh "$DIR/ns" "$SWU_DIR/usr" "$TIMEOUT" "$SWU_DIR/pki/ca.crt" "$DIR/$img.swu"
}

swupdate_prepare() { :; }  # a device with no dect-module line in /etc/sw-versions

swupdate_check() {
  local reports=$ver now new=$(($(sim_count 'registered, session') - sessions))
  case $mod in reports=*) reports=${mod#reports=} ;; esac
  check "image file left behind" "$(grep -c LEFTOVER "$log")" 0
  now=$(module_version)
  case $expect in
  ok)
    check "status" "$rc" 0
    check "success notified" "$(grep -c 'SWUPDATE successful' "$log")" 1
    check "settings used" "$(grep -c "running 'cordix' -c '2' -t '$TIMEOUT' -f" "$log")" 1
    check "module version" "$now" "$reports"
    ;;
  failed)
    check "status" "$rc" 1
    check "'Installation failed'" "$(grep -c 'Installation failed' "$log")" 1
    if [ "$reports" != "$ver" ]; then  # streamed whole, but the module says otherwise
      check "last image received" "$(sim_last_sha)" "$(sha "$DIR/$img")"
      check "error" "$(grep -c "ERROR : dect-module: the module reports version $now, not $ver" "$log")" 1
    else
      check "updates completed" "$(sim_count 'update complete:')" "$completed"
      check "error" "$(grep -c 'ERROR : dect-module: cordix ended with status [1-9]' "$log")" 1
      check "version after the failure" \
        "$(grep -c "ERROR : dect-module: the module runs version $now now" "$log")" 1
    fi
    ;;
  skipped)
    check "skipped" "$(grep -c "dect-module($ver) already installed, skipping" "$log")" 1
    check "simulator sessions (the sw-versions query only)" "$new" 1
    check "updates completed" "$(sim_count 'update complete:')" "$completed"
    ;;
  *) check "expectation" "$expect" "ok, failed or skipped" ;;
  esac
}
