#!/usr/bin/env bash
# package_test.sh BUILD_DIR - the Debian package as an operator gets it.
#
# Builds the .deb from BUILD_DIR's programs with cpack, unpacks it into a
# temporary root with dpkg -x and checks what was installed there:
#   - the package's control data: dependencies found by dpkg-shlibdeps, the
#     configuration files kept across upgrades, the maintainer scripts;
#   - the unit: systemd-analyze verify says nothing about it (unknown keys,
#     bad values, commands that are not executable) and its exposure stays at
#     "OK" or better (systemd-analyze security below 2.0);
#   - the installed programs run: qvadm --version, Quorvane's usage, qvadm
#     check on the installed example configuration, and Quorvane started
#     through the link bin/Quorvane reads that configuration from config/
#     beside itself and stops in order on SIGTERM.
# Prints what failed and exits 1; 0 when all is well.
set -u
BUILD=$(cd "${1:?usage: package_test.sh BUILD_DIR}" && pwd)
T=$(mktemp -d /tmp/qvpkg.XXXXXX)
QV=""
cleanup() {
    if [ -n "$QV" ] && kill -0 "$QV" 2>/dev/null; then
        kill -KILL "$QV" 2>/dev/null
        wait "$QV" 2>/dev/null
    fi
    rm -rf "$T"
}
trap cleanup EXIT
FAILS=0
fail() {
    echo "FAIL: $*"
    FAILS=$((FAILS + 1))
}

cpack -G DEB --config "$BUILD/CPackConfig.cmake" -B "$T/pkg" >"$T/cpack.log" 2>&1 || {
    cat "$T/cpack.log"
    echo "FAIL: cpack"
    exit 1
}
DEB=$(ls "$T"/pkg/quorvane_*.deb 2>/dev/null | head -n 1)
[ -n "$DEB" ] || { echo "FAIL: no quorvane_*.deb in $T/pkg"; exit 1; }
PREFIX=$(sed -n 's/^set(CPACK_PACKAGING_INSTALL_PREFIX "\(.*\)")$/\1/p' "$BUILD/CPackConfig.cmake")
CONFDIR=$(sed -n 's/^QV_CONFDIR:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
[ -n "$PREFIX" ] && [ -n "$CONFDIR" ] || { echo "FAIL: prefix or QV_CONFDIR not found"; exit 1; }

# ---- control data ---------------------------------------------------------------
dpkg-deb --field "$DEB" Depends >"$T/depends"
for dep in liblz4-1 libsqlite3-0 zlib1g systemd; do
    grep -q "\b$dep\b" "$T/depends" || fail "Depends lacks $dep: $(cat "$T/depends")"
done
dpkg-deb --ctrl-tarfile "$DEB" | tar -x -C "$T" -f - ./conffiles ./postinst ./prerm ./postrm ||
    fail "control scripts or conffiles missing"
for f in example.ini example.env; do
    grep -qx "$CONFDIR/$f" "$T/conffiles" 2>/dev/null || fail "$CONFDIR/$f is not a conffile"
done
for s in postinst prerm postrm; do
    sh -n "$T/$s" 2>/dev/null || fail "$s does not parse"
done

# ---- the files --------------------------------------------------------------------
R=$T/root
dpkg -x "$DEB" "$R" || { echo "FAIL: dpkg -x"; exit 1; }
UNIT=$R$PREFIX/lib/systemd/system/quorvane@.service
for f in "$PREFIX/lib/quorvane/Quorvane" "$PREFIX/bin/qvadm" "$PREFIX/bin/oxactl" \
    "$PREFIX/bin/logview" "$PREFIX/bin/iosim" "$PREFIX/bin/gaprx"; do
    [ -x "$R$f" ] || fail "$f is not an installed program"
done
[ -f "$UNIT" ] || fail "no unit $PREFIX/lib/systemd/system/quorvane@.service"
[ -f "$R$PREFIX/lib/sysusers.d/quorvane.conf" ] || fail "no sysusers.d/quorvane.conf"
for d in README.md troubleshooting.md protocol.proto; do
    [ -f "$R$PREFIX/share/doc/quorvane/$d" ] || fail "doc $d not installed"
done
[ "$(readlink "$R$PREFIX/lib/quorvane/config")" = "$CONFDIR" ] ||
    fail "lib/quorvane/config is not a link to $CONFDIR"
[ "$(readlink -f "$R$PREFIX/bin/Quorvane")" = "$(readlink -f "$R$PREFIX/lib/quorvane/Quorvane")" ] ||
    fail "bin/Quorvane does not lead to lib/quorvane/Quorvane"

# ---- the unit ---------------------------------------------------------------------
# Verified with its paths moved into the temporary root, so that the commands
# it names are the installed ones.
mkdir -p "$T/units"
sed "s#$PREFIX/#$R$PREFIX/#g; s#$CONFDIR#$R$CONFDIR#g" "$UNIT" >"$T/units/quorvane@.service"
if command -v systemd-analyze >/dev/null; then
    out=$(systemd-analyze verify "$T/units/quorvane@example.service" 2>&1)
    [ $? = 0 ] && [ -z "$out" ] || fail "systemd-analyze verify: $out"
    systemd-analyze security --offline=yes --threshold=20 "$T/units/quorvane@example.service" \
        >"$T/security" 2>&1 || fail "unit exposure: $(tail -n 1 "$T/security")"
else
    fail "systemd-analyze is not installed (scripts/install-deps.sh)"
fi
grep -q '^Restart=always$' "$UNIT" || fail "the unit does not restart always"

# ---- the installed programs run ---------------------------------------------------------
v=$("$R$PREFIX/bin/qvadm" --version 2>&1) || fail "qvadm --version: $v"
want=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$BUILD/CMakeCache.txt")
case "$v" in *"$want"*) ;; *) fail "qvadm --version says \"$v\", not $want" ;; esac
u=$("$R$PREFIX/bin/Quorvane" </dev/null 2>&1)
case "$u" in *"Quorvane ipcurl logurl instname cfgfile loglevel"*) ;; *) fail "Quorvane's usage: $u" ;; esac

# The example configuration with its database and cache moved into the
# temporary root; config/ beside the program then leads there instead of to
# the system's configuration directory.
mkdir -p "$T/etc" "$T/var/cache/quorvane/example" "$T/var/lib/quorvane"
sed "s#/var/#$T/var/#g" "$R$CONFDIR/example.ini" >"$T/etc/example.ini"
out=$("$R$PREFIX/bin/qvadm" check "$T/etc/example.ini" 2>&1) || fail "qvadm check of the installed example: $out"
rm -f "$R$PREFIX/lib/quorvane/config"
ln -s "$T/etc" "$R$PREFIX/lib/quorvane/config"
NAME=qvpkg$$
"$R$PREFIX/bin/Quorvane" ipc://127.0.0.1:1 "" "$NAME" example.ini err </dev/null >"$T/qv.out" 2>&1 &
QV=$!
for ((i = 0; i < 200; i++)); do
    grep -q "type 'q'" "$T/qv.out" && break
    kill -0 "$QV" 2>/dev/null || break
    sleep 0.05
done
if grep -q "type 'q'" "$T/qv.out"; then
    # The database opens on the library's thread, soon after the start.
    for ((i = 0; i < 200; i++)); do
        [ -f "$T/var/lib/quorvane/example.db" ] && break
        sleep 0.05
    done
    kill -TERM "$QV"
    for ((i = 0; i < 200; i++)); do
        kill -0 "$QV" 2>/dev/null || break
        sleep 0.05
    done
    kill -0 "$QV" 2>/dev/null && fail "the installed Quorvane did not stop on SIGTERM"
else
    fail "the installed Quorvane did not start with config/example.ini: $(cat "$T/qv.out")"
fi
[ -f "$T/var/lib/quorvane/example.db" ] || fail "the installed Quorvane did not open $T/var/lib/quorvane/example.db"

if [ "$FAILS" -gt 0 ]; then
    echo "$FAILS check(s) failed"
    exit 1
fi
echo "package $(basename "$DEB"): all checks passed"
