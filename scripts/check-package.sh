#!/usr/bin/env bash
# Builds the Debian package and checks it as a user's system would meet it:
# its content list, control fields and conffiles, lintian, the desktop entries,
# the AppStream file, the systemd unit, that its dependencies resolve, and the
# unpacked programs themselves (command-line programs' --help and --version,
# both windows under Xvfb until they are mapped).
#
#   bash scripts/check-package.sh          # ends with "N tests passed, M tests failed out of T"
set -uo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

passed=0
failed=0
failures=()
# check NAME COMMAND...: one counted check; its output is shown indented.
check() {
    local name=$1
    shift
    local out status
    out=$("$@" 2>&1)
    status=$?
    if [ $status -eq 0 ]; then
        echo "ok   $name"
        passed=$((passed + 1))
    else
        echo "FAIL $name"
        failed=$((failed + 1))
        failures+=("$name")
    fi
    [ -n "$out" ] && sed 's/^/     /' <<<"$out"
    return 0
}
finish() {
    echo "$passed tests passed, $failed tests failed out of $((passed + failed))"
    [ $failed -eq 0 ]
    exit
}

version=$(sed -n 's/^project(Telvar VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=dist/telvar_${version}_${arch}.deb
tmp=$(mktemp -d)
xvfb_pid=""
cleanup() {
    [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT

tools() {
    local t missing=()
    for t in cpack dpkg-shlibdeps lintian desktop-file-validate appstreamcli Xvfb xdotool; do
        command -v "$t" >/dev/null || missing+=("$t")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "missing: ${missing[*]}; install them with TELVAR_WITH_PACKAGING=1 bash scripts/install-deps.sh"
    return 1
}
check "the package tools are installed" tools

build_package() {
    # The build's own output only when it fails.
    bash scripts/package.sh >"$tmp/package.log" 2>&1 && test -f "$deb" && return 0
    tail -40 "$tmp/package.log"
    return 1
}
check "package builds: $deb" build_package
[ -f "$deb" ] || finish

# Exactly these files, nothing missing and nothing stray.
expected() {
    local d
    printf '%s\n' /usr/bin/{telvar,telvar-v1.1,telvar-sim,telvarctl,telvard} \
        /usr/share/applications/{telvar,telvar-v1.1}.desktop \
        /usr/share/metainfo/io.github.telvar.telvar.metainfo.xml \
        /usr/share/icons/hicolor/scalable/apps/telvar.svg \
        /usr/share/man/man1/{telvar,telvar-v1.1,telvar-sim,telvarctl,telvard}.1.gz \
        /usr/share/bash-completion/completions/telvarctl \
        /etc/telvar/telvard.conf \
        /usr/lib/systemd/system/telvard.service \
        /usr/share/doc/telvar/{copyright,changelog.gz}
    for d in 16 32 48 64 128 256; do
        echo "/usr/share/icons/hicolor/${d}x${d}/apps/telvar.png"
    done
}
content_list() {
    local listed
    listed=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print substr($6, 2) }' | sort)
    local wrong
    wrong=$(diff <(expected | sort) <(echo "$listed") | sed -n 's/^< /missing: /p; s/^> /stray:   /p')
    if [ -n "$wrong" ]; then
        echo "$wrong"
        return 1
    fi
    echo "$(wc -l <<<"$listed") files, as expected"
}
check "package holds every program and file, and nothing else" content_list

control_fields() {
    local f status=0 field
    for f in Package Version Architecture Maintainer Section Priority Depends Homepage Description; do
        field=$(dpkg-deb -f "$deb" "$f")
        if [ -z "$field" ]; then
            echo "no $f field"
            status=1
        fi
    done
    grep -Eq '<[^@ ]+@[^> ]+>' <<<"$(dpkg-deb -f "$deb" Maintainer)" ||
        { echo "Maintainer has no address"; status=1; }
    # Worked out by dpkg-shlibdeps from the binaries; and a Chinese face for
    # the windows' labels, any one of three.
    local depends
    depends=$(dpkg-deb -f "$deb" Depends)
    for f in libc6 libqt6core6 libqt6widgets6 libqt6serialport6 libmosquitto1; do
        grep -q "$f" <<<"$depends" || { echo "Depends lacks $f"; status=1; }
    done
    grep -q 'fonts-arphic-uming | fonts-noto-cjk | fonts-wqy-zenhei' <<<"$depends" ||
        { echo "Depends lacks a Chinese font (fonts-arphic-uming | fonts-noto-cjk | fonts-wqy-zenhei)"; status=1; }
    # Fields whose whole value is ours.
    [ "$(dpkg-deb -f "$deb" Recommends)" = bash-completion ] ||
        { echo "Recommends is not bash-completion: $(dpkg-deb -f "$deb" Recommends)"; status=1; }
    [ "$(dpkg-deb -f "$deb" Suggests)" = mosquitto ] ||
        { echo "Suggests is not mosquitto: $(dpkg-deb -f "$deb" Suggests)"; status=1; }
    [ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || { echo "Version is not $version"; status=1; }
    [ "$(dpkg-parsechangelog -l packaging/changelog -S Version)" = "$version" ] ||
        { echo "packaging/changelog's last entry is not $version"; status=1; }
    dpkg-deb -I "$deb" md5sums >/dev/null || { echo "no md5sums"; status=1; }
    [ "$(dpkg-deb -I "$deb" conffiles)" = /etc/telvar/telvard.conf ] ||
        { echo "conffiles is not /etc/telvar/telvard.conf"; status=1; }
    dpkg-deb -f "$deb" Depends Recommends Suggests
    return $status
}
check "control fields (Depends with a Chinese font, Recommends, Suggests), md5sums, conffiles; version $version everywhere" control_fields

# lintian's own exit status fails on errors only; its whole output is shown.
check "lintian: no errors" lintian "$deb"

dpkg-deb -x "$deb" "$tmp/root"
for f in telvar telvar-v1.1; do
    check "desktop-file-validate $f.desktop" \
        desktop-file-validate "$tmp/root/usr/share/applications/$f.desktop"
done
check "appstreamcli validate --no-net" \
    appstreamcli validate --no-net "$tmp/root/usr/share/metainfo/io.github.telvar.telvar.metainfo.xml"

unit_verify() {
    if ! command -v systemd-analyze >/dev/null || [ ! -d /usr/lib/systemd/system ]; then
        echo "skipped: systemd is not on this system"
        return 0
    fi
    # A root of the system's units and the package's files, so that the
    # targets the unit names and its /usr/bin/telvard are both found; its
    # manual page is looked up in the package too. Any message fails.
    local sys=$tmp/sysroot out status
    mkdir -p "$sys/usr/lib/systemd"
    cp -a /usr/lib/systemd/system "$sys/usr/lib/systemd/"
    cp -a "$tmp/root/." "$sys/"
    # What the unit runs from the base system (ExecReload).
    mkdir -p "$sys/bin" && cp -a "$(readlink -f /bin/kill)" "$sys/bin/kill"
    out=$(MANPATH="$tmp/root/usr/share/man" systemd-analyze verify --root="$sys" \
        /usr/lib/systemd/system/telvard.service 2>&1)
    status=$?
    echo "$out"
    [ $status -eq 0 ] && [ -z "$out" ]
}
check "systemd-analyze verify telvard.service" unit_verify

check "dependencies resolve: apt-get install --simulate" \
    bash -c "apt-get install --simulate '$root/$deb' >'$tmp/apt.log' 2>&1 || { cat '$tmp/apt.log'; exit 1; }
             grep '^Inst' '$tmp/apt.log' || true"

run_cli() {
    local program=$1 out
    out=$("$tmp/root/usr/bin/$program" --help) || { echo "--help failed"; return 1; }
    [ -n "$out" ] || { echo "--help printed nothing"; return 1; }
    out=$("$tmp/root/usr/bin/$program" --version) || { echo "--version failed"; return 1; }
    echo "$out"
    grep -Eq "(^| )${version//./\\.}\$" <<<"$out" || { echo "--version does not end in $version"; return 1; }
}
for p in telvar-sim telvarctl telvard; do
    check "unpacked $p: --help and --version" run_cli "$p"
done

show_window() {
    local program=$1 caption=$2 pid wid name status=0
    DISPLAY=":$display" QT_QPA_PLATFORM=xcb "$tmp/root/usr/bin/$program" 2>"$tmp/$program.err" &
    pid=$!
    wid=$(DISPLAY=":$display" timeout 20 xdotool search --sync --onlyvisible --pid "$pid" | head -1)
    if [ -z "$wid" ]; then
        echo "no window mapped within 20 s"
        cat "$tmp/$program.err"
        status=1
    else
        name=$(DISPLAY=":$display" xdotool getwindowname "$wid")
        echo "mapped: $name"
        [[ $name == *"$caption"* ]] || { echo "caption lacks $caption"; status=1; }
    fi
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    return $status
}
exec {fd}<> <(:)
Xvfb -displayfd "$fd" -screen 0 1024x768x24 -nolisten tcp >"$tmp/xvfb.log" 2>&1 &
xvfb_pid=$!
read -r -t 20 display <&"$fd" || display=""
if [ -z "$display" ]; then
    check "Xvfb starts" bash -c "cat '$tmp/xvfb.log'; false"
else
    check "unpacked telvar shows its window" show_window telvar V2.0
    check "unpacked telvar-v1.1 shows its window" show_window telvar-v1.1 V1.1
fi

finish
