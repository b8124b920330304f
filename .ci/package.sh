#!/usr/bin/env bash
# The Debian packages, proven on this machine.
#   .ci/package.sh          amd64: the services' sandbox ratings; the packages
#                           built (preset deb), inspected, linted, installed
#                           with apt, run (recorder, follower, archiver), purged; and a recorder package
#                           built against a stand-in for the vendor's library
#   .ci/package.sh arm64    the board's packages, cross-built (preset
#                           deb-arm64): architecture and binaries checked
# Installing needs root (or sudo).
set -euo pipefail
# A grep in a pipeline reads all its input (no -q): a -q that stops early
# would kill the writer with SIGPIPE, which pipefail reports as a failure.
cd "$(dirname "$0")/.."
. scripts/need_packages.sh
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

fail() {
    echo "package check: $*" >&2
    exit 1
}

# check_package <deb> <architecture>: its listing and control fields shown;
# the architecture, and no device library claimed (Provides, shlibs) or
# depended on.
check_package() {
    local deb=$1 arch=$2
    echo "-- dpkg-deb -I $deb"
    dpkg-deb -I "$deb"
    echo "-- dpkg-deb -c $deb"
    dpkg-deb -c "$deb"
    [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ] || fail "$deb: architecture is not $arch"
    if dpkg-deb -f "$deb" Depends Provides | grep -qi acts2200 ||
        dpkg-deb --ctrl-tarfile "$deb" | tar -t | grep 'shlibs\|symbols' >/dev/null; then
        fail "$deb claims or depends on the device library"
    fi
}

# contents <deb>: the paths it installs, as absolute paths.
contents() {
    dpkg-deb -c "$1" | awk '{print $6}' | sed 's|^\./|/|; s|/$||' | grep -v '^/*$'
}

build_arm64() {
    need_packages cmake make file dpkg-dev lintian binutils-aarch64-linux-gnu g++-aarch64-linux-gnu
    # The arm64 libraries (libfftw3-dev:arm64 ...) are installed by .ci/aarch64.sh;
    # dpkg-shlibdeps finds the binaries' dependencies among them.
    rm -f build/deb-arm64/*.deb
    cmake --workflow --preset deb-arm64 --fresh
    local deb unpacked
    for deb in build/deb-arm64/acc-recorder_*_arm64.deb build/deb-arm64/acc-inspect_*_arm64.deb; do
        [ -f "$deb" ] || fail "not built: $deb"
        check_package "$deb" arm64
        unpacked=$(mktemp -d)
        dpkg-deb -x "$deb" "$unpacked"
        for binary in "$unpacked"/usr/bin/* "$unpacked"/usr/lib/acc_recorder/*; do
            [ -e "$binary" ] || continue
            readelf -h "$binary" | grep -q 'Machine:.*AArch64' || fail "$deb: $binary is not AArch64"
            echo "$deb: ${binary#"$unpacked"}: AArch64"
        done
        case $deb in *acc-recorder_*)
            [ -x "$unpacked/usr/bin/acc_archive" ] || fail "$deb: no /usr/bin/acc_archive" ;;
        esac
        rm -rf "$unpacked"
    done
    echo "-- lintian"
    lintian --fail-on error --display-info build/deb-arm64/*.deb || fail "lintian found errors"
}

# The recorder built against a device library of its own (a copy of the
# simulator standing in for the vendor's): its package ships no
# libACTS2200.so and says where the library must come from.
check_vendor_build() {
    local dir=build/deb-vendor
    rm -rf "$dir"
    mkdir -p "$dir/vendor"
    cp build/deb/sim/libACTS2200.so "$dir/vendor/"
    cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DACC_BUILD_TESTS=OFF -DACC_BUILD_INSPECT=OFF \
        -DACC_WARNINGS_AS_ERRORS=ON -DACC_OUT_DIR=/var/lib/acc_recorder \
        -DACTS2200_LIBRARY="$PWD/$dir/vendor/libACTS2200.so" >/dev/null
    cmake --build "$dir" -j"$(nproc)" >/dev/null
    (cd "$dir" && cpack >/dev/null)
    local deb
    deb=$(echo "$dir"/acc-recorder_*_amd64.deb)
    check_package "$deb" amd64
    ! contents "$deb" | grep libACTS2200 >/dev/null || fail "$deb ships a device library"
    dpkg-deb -f "$deb" Description | grep -q "libACTS2200.so is not part of this package" ||
        fail "$deb does not say where the device library comes from"
}

build_amd64() {
    need_packages g++ cmake make pkg-config libfftw3-dev libzstd-dev zstd dpkg-dev file lintian systemd \
        prometheus-node-exporter
    local unit
    for unit in acc-recorder acc-archive acc-follow; do
        echo "-- systemd-analyze security --offline=true deploy/$unit.service"
        # The rating is printed last; --threshold fails above 2.0 (in tenths).
        systemd-analyze security --offline=true --threshold=20 "deploy/$unit.service" |
            tail -n 1 || fail "$unit.service: exposure above 2.0"
    done

    rm -f build/deb/*.deb
    cmake --workflow --preset deb --fresh
    local recorder inspector
    recorder=$(echo build/deb/acc-recorder_*_amd64.deb)
    inspector=$(echo build/deb/acc-inspect_*_amd64.deb)
    if [ ! -f "$recorder" ] || [ ! -f "$inspector" ]; then fail "packages not built"; fi
    check_package "$recorder" amd64
    check_package "$inspector" amd64
    dpkg-deb -f "$recorder" Description | grep -q "simulated device library" ||
        fail "$recorder does not say that it records from the simulator"
    [ "$(contents "$recorder" | grep libACTS2200)" = /usr/lib/acc_recorder/libACTS2200.so ] ||
        fail "$recorder: the simulator is not in /usr/lib/acc_recorder alone"
    dpkg-deb --fsys-tarfile "$recorder" | tar -xO ./lib/systemd/system/acc-recorder.service |
        grep -x 'ExecStart=/usr/bin/acc_recorder' >/dev/null || fail "the packaged unit does not start /usr/bin/acc_recorder"
    dpkg-deb --fsys-tarfile "$recorder" | tar -xO ./lib/systemd/system/acc-archive.service |
        grep -q '^ExecStart=/usr/bin/acc_archive ' || fail "the packaged archive unit does not start /usr/bin/acc_archive"
    dpkg-deb --fsys-tarfile "$inspector" | tar -xO ./lib/systemd/system/acc-follow.service |
        grep -q '^ExecStart=/usr/bin/acc_inspect --follow /var/lib/acc_recorder --across-runs ' ||
        fail "the packaged follow unit does not start /usr/bin/acc_inspect on the data directory"
    [ "$(dpkg-deb --ctrl-tarfile "$recorder" | tar -xO ./conffiles)" = /etc/default/acc-archive ] ||
        fail "$recorder: /etc/default/acc-archive is not its one conffile"
    echo "-- lintian"
    lintian --fail-on error --display-info "$recorder" "$inspector" || fail "lintian found errors"

    check_vendor_build

    install_run_purge "$recorder" "$inspector"
}

install_run_purge() {
    local recorder=$1 inspector=$2 data=/var/lib/acc_recorder
    local files
    files=$( (contents "$recorder" && contents "$inspector") | sort -u)
    if dpkg-query -W acc-recorder acc-inspect >/dev/null 2>&1; then
        $sudo apt-get purge -y -qq acc-recorder acc-inspect >/dev/null
    fi
    echo "-- apt-get install ./$recorder ./$inspector"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "./$recorder" "./$inspector"
    id acc-recorder || fail "no user acc-recorder"
    [ "$(stat -c '%U:%G %a' "$data")" = "acc-recorder:acc-recorder 750" ] ||
        fail "$data: $(stat -c '%U:%G %a' "$data"), expected acc-recorder:acc-recorder 750"
    local unit
    for unit in acc-recorder.service acc-archive.timer acc-follow.service; do
        [ "$(systemctl is-enabled "$unit" 2>&1 || true)" = disabled ] || fail "installing enabled $unit"
    done
    ! systemctl is-active -q acc-recorder.service 2>/dev/null || fail "installing started the service"

    # As the service runs it: its user, its umask, no terminal; stopped by
    # the unit's signal once three blocks are in the file.
    local log
    log=$(mktemp)
    $sudo setpriv --reuid=acc-recorder --regid=acc-recorder --init-groups \
        sh -c 'umask 0027 && exec /usr/bin/acc_recorder' </dev/null >"$log" 2>&1 &
    local pid=$! file="" rows=0
    for _ in $(seq 300); do
        file=$(sed -n 's/^Output file: //p' "$log" | head -n1)
        [ -n "$file" ] && rows=$($sudo cat "$file" | wc -l) && [ "$rows" -gt 3000 ] && break
        sleep 0.1
    done
    $sudo kill -TERM "$pid"
    local status=0
    wait "$pid" || status=$?
    cat "$log"
    [ "$status" -eq 0 ] || fail "the installed recorder exited with $status"
    [ "$rows" -gt 3000 ] || fail "the installed recorder wrote $rows lines"
    # Built with the hourly file span: one file, or more across an hour.
    grep -qx "Done. Data saved to $data/ai0_accel_[0-9_]*\.csv \((1 file)\|through .* ([0-9]* files)\)" \
        "$log" || fail "no Done. line"
    [ "$($sudo stat -c '%U %a' "$file")" = "acc-recorder 640" ] ||
        fail "$file: $($sudo stat -c '%U %a' "$file"), expected acc-recorder 640"
    local points
    points=$(sed -n 's/^Total points: //p' "$log")
    echo "-- acc_inspect $file"
    $sudo acc_inspect "$file" | tee "$log"
    grep -q "^Verdict  valid data file, $points rows" "$log" || fail "acc_inspect: not $points valid rows"

    # The follow service as it runs: its unit's command line, as root
    # without capabilities in the group acc-recorder. It follows the
    # finished run to its end and waits for the next, the run's gauges left
    # for the node exporter.
    local exec_start prom=/var/lib/prometheus/node-exporter/acc_recorder.prom
    exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/acc-follow.service)
    echo "-- acc-follow.service: $exec_start"
    $sudo rm -f "$prom"
    $sudo setpriv --reuid=0 --regid=acc-recorder --clear-groups --inh-caps=-all --bounding-set=-all \
        sh -c "umask 0022 && exec $exec_start" </dev/null >/dev/null 2>"$log" &
    pid=$!
    for _ in $(seq 300); do
        grep -q ": waiting for the next run" "$log" && break
        sleep 0.1
    done
    $sudo kill -TERM "$pid"
    status=0
    wait "$pid" || status=$?
    cat "$log"
    [ "$status" -eq 0 ] || fail "the follow service exited with $status"
    grep -q "^acc_inspect: the recorder let go of the run: $points rows in 1 file, " "$log" ||
        fail "the follow service did not follow the run to its end"
    grep -q '^acc_following{run="[0-9a-f]*",file="ai0_accel_[0-9_]*\.csv"} 0$' "$prom" ||
        fail "$prom: no gauges of the run that ended"
    [ "$(stat -c '%U %a' "$prom")" = "root 644" ] || fail "$prom: $(stat -c '%U %a' "$prom")"

    # The archive service once, as it runs: its unit's command line with
    # the conffile's options, as its user, on the finished recording.
    local original
    exec_start=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/acc-archive.service)
    original=$(mktemp)
    $sudo cat "$file" >"$original"
    echo "-- acc-archive.service: $exec_start"
    $sudo setpriv --reuid=acc-recorder --regid=acc-recorder --init-groups \
        sh -c "umask 0027 && . /etc/default/acc-archive && exec $exec_start" </dev/null >"$log" 2>&1 ||
        { cat "$log"; fail "the archive service failed"; }
    cat "$log"
    grep -q "^compressed ${file##*/} -> ${file##*/}.acz (ratio " "$log" || fail "$file not compressed"
    $sudo test ! -e "$file" || fail "the original $file is still there"
    file=$file.acz
    [ "$($sudo stat -c '%U %a' "$file")" = "acc-recorder 640" ] ||
        fail "$file: $($sudo stat -c '%U %a' "$file"), expected acc-recorder 640"
    $sudo acc_archive --restore "$file" | cmp - "$original" || fail "$file does not hold the recording"
    rm -f "$log" "$original"

    echo "-- apt-get purge acc-recorder acc-inspect"
    DEBIAN_FRONTEND=noninteractive $sudo apt-get purge -y -qq acc-recorder acc-inspect
    ! dpkg-query -W acc-recorder acc-inspect 2>/dev/null | grep -q . || fail "still known to dpkg"
    # Every file the packages held is gone (their directories may be
    # shared), and of the data directory only recordings and their summaries
    # are left: they are the user's data.
    local path
    while read -r path; do
        if [ -e "$path" ] && [ ! -d "$path" ]; then fail "left behind: $path"; fi
    done <<<"$files"
    [ ! -e /usr/lib/acc_recorder ] || fail "left behind: /usr/lib/acc_recorder"
    [ ! -e "$prom" ] || fail "left behind: $prom"
    local left
    left=$($sudo find "$data" -mindepth 1 ! -name 'ai0_accel_*.csv' ! -name 'ai0_accel_*.csv.acz' ! -name 'ai0_accel_*.csv.zst' ! -name 'ai0_accel_*.json' ! -name 'ai0_summary_*.csv.gz')
    [ -z "$left" ] || fail "left behind in $data: $left"
    $sudo test -f "$file" || fail "purging removed the recording $file"
    echo "after purge, $data holds: $($sudo ls "$data" | tr '\n' ' ')"
    # This run's recordings were a test: they go, and the directory if empty.
    $sudo rm -f "$data"/ai0_accel_*
    $sudo rmdir --ignore-fail-on-non-empty "$data"
}

case "${1:-amd64}" in
amd64) build_amd64 ;;
arm64) build_arm64 ;;
*) fail "usage: $0 [amd64|arm64]" ;;
esac
