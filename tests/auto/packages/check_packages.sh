#!/usr/bin/env bash
# check_packages.sh BUILD_DIR SOURCE_DIR WORK_DIR, on a private session bus.
set -euo pipefail
build=$1 source=$2 work=$3
doc=$source/docs/writing-a-zel-app.md
fail() { echo "FAIL: $*" >&2; exit 1; }
trap 'kill $(jobs -p) 2>/dev/null || true' EXIT

rm -rf "$work" && mkdir -p "$work/home"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/config XDG_DATA_HOME=$work/home/data
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/debs" >/dev/null
cd "$work/debs"
lib=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)

# holds DEB PATTERN...: every file of the package matches a pattern, every pattern a file.
holds() {
    local deb=$1 files pattern
    shift
    set -- "$@" "usr/share/doc/${deb%%_*}/(copyright|changelog.gz)"
    files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print substr($6, 3)}')
    for pattern; do
        grep -Eqx "$pattern" <<<"$files" || fail "$deb lacks $pattern"
    done
    ! grep -Evx "$(IFS='|' && echo "$*")" <<<"$files" || fail "$deb holds the files above"
}
holds zelhub_*.deb usr/bin/ZelHub usr/share/man/man1/ZelHub.1.gz \
    usr/share/applications/com.brannel.ZelHub.desktop \
    usr/share/ZelHub/autostart/com.brannel.ZelHub.desktop \
    usr/share/icons/hicolor/scalable/apps/com.brannel.ZelHub.svg \
    usr/share/icons/hicolor/scalable/apps/com.brannel.ZelHub-symbolic.svg \
    usr/share/metainfo/com.brannel.ZelHub.metainfo.xml
holds libzelkit1_*.deb "$lib/libZelKit.so.1" "$lib/libZelKit.so.1.0.0"
holds libzelkit-dev_*.deb "usr/include/ZelKit/Zel[A-Za-z]+.h" "usr/include/ZelKit/platform/[A-Za-z]+.h" \
    "$lib/libZelKit.so" "$lib/pkgconfig/zelkit.pc" usr/share/dbus-1/interfaces/com.canonical.dbusmenu.xml \
    "$lib/cmake/ZelKit/ZelKit[A-Za-z-]*.cmake"
holds zelkit-tools_*.deb usr/bin/zelctl usr/share/man/man1/zelctl.1.gz \
    usr/share/bash-completion/completions/zelctl
dpkg-deb -f zelhub_*.deb Depends | grep 'libzelkit1 (= 1.0.0), .*libqt6widgets6' ||
    fail "zelhub's dependencies: $(dpkg-deb -f zelhub_*.deb Depends)"
dpkg-deb -f libzelkit-dev_*.deb Depends | grep -x 'libzelkit1 (= 1.0.0), qt6-base-dev' ||
    fail "libzelkit-dev's dependencies: $(dpkg-deb -f libzelkit-dev_*.deb Depends)"
lintian --fail-on error ./*.deb || fail "lintian finds errors"

root=$work/root
for deb in ./*.deb; do
    dpkg-deb -x "$deb" "$root"
done
objdump -p "$root/$lib/libZelKit.so.1.0.0" | grep -E '^ +SONAME +libZelKit\.so\.1$' || fail "soname"
appstreamcli validate --no-net "$root/usr/share/metainfo/com.brannel.ZelHub.metainfo.xml"
for entry in "$root"/usr/share/{applications,ZelHub/autostart}/com.brannel.ZelHub.desktop; do
    desktop-file-validate "$entry" | { ! grep error; } || fail "$entry"
    grep -qx Exec=ZelHub "$entry" && grep -qx Icon=com.brannel.ZelHub "$entry" || fail "$entry"
done
# The development files stand on their own: nothing points back into this tree.
! grep -rlF -e "$build" -e "$source" "$root/$lib/cmake" "$root/$lib/pkgconfig" || fail "tree paths"

export PATH=$root/usr/bin:$PATH LD_LIBRARY_PATH=$root/$lib
diff <(zelctl --help) <(zcat "$root/usr/share/man/man1/zelctl.1.gz" | groff -man -Tascii -P-cbou) ||
    fail "zelctl --help is not its manual page"

# The guide's app, as the guide writes it and builds it, once with CMake and once with
# pkg-config.
app=$work/notes && mkdir -p "$app"
awk -v dir="$app" '/^```(cpp|cmake)$/ { getline; out = dir "/" $2; print > out; copy = 1; next }
                   /^```$/ { copy = 0 } copy { print > out }' "$doc"
san=${ZEL_SANITIZE_FLAGS:-}
c++() { command c++ $san "$@"; }
(cd "$app" && export CMAKE_GENERATOR=Ninja CMAKE_PREFIX_PATH=$root/usr CXXFLAGS=$san LDFLAGS=$san &&
    eval "$(grep '^cmake -S ' "$doc")" >/dev/null)
(cd "$app" && export PKG_CONFIG_PATH=$root/$lib/pkgconfig && eval "$(grep '^c++ .* zelkit)$' "$doc")")

log=$work/monitor.log
wait_for() { # PATTERN COUNT: in the monitor's log
    for ((i = 0; i < 300; i++)); do
        (($(grep -c -- "$1" "$log") >= $2)) && return
        sleep 0.1
    done
    fail "no $2 × '$1' in $log"
}
for notes in "$app/build/notes" "$app/notes"; do
    dbus-monitor --session "type='signal',interface='com.brannel.zelhub'" >"$log" &
    wait_for NameAcquired 1
    "$notes" &
    pid=$!
    wait_for 'string "org.example.Notes"' 1
    grep -q 'variant *string "notes"' "$log" || fail "no register from notes"
    # Each of the guide's lines goes out, and "discover" gets an answer.
    while read -r line; do
        eval "$line"
    done < <(grep '^gdbus emit ' "$doc")
    wait_for 'string "org.example.Notes"' 2
    # Completing the id of a command asks the running apps.
    bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" &&
        COMP_LINE="zelctl activate no" COMP_POINT=18 COMP_WORDS=(zelctl activate no) COMP_CWORD=2 &&
        _zelctl && [[ ${COMPREPLY[*]} == notes ]]' - "$root/usr/share/bash-completion/completions/zelctl" ||
        fail "bash completion"
    kill -0 $pid || fail "$notes died"
    kill $(jobs -p)
    wait || true
done
echo "packages checked"
