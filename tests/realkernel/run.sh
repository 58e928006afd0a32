#!/usr/bin/env bash
# Runs the CSI backend and the I2C helpers against real kernel drivers: boots
# Debian's current kernel under qemu (TCG, no KVM needed) straight into an
# initramfs holding busybox, the vivid and i2c-stub modules with their
# dependencies, and our statically linked test programs. The guest prints one
# line per failed check and a tally; the last line here is
# "N passed, N failed" for the checks that ran inside the VM, where a test
# program that ran another number of checks than it plans adds a failure.
#
# Where qemu, busybox or the kernel package cannot be installed it skips
# (exit 0, with the reason), except under CI=true: there a skipped section
# would pass without testing anything, so it fails instead. Work files go to
# build-realkernel/ (override with REALKERNEL_DIR).
#
# REALKERNEL_BUILD_DIR names a build tree configured with
# -DQUORVAN_BUILD_REALKERNEL_TESTS=ON whose test program to boot (brought up
# to date there), instead of a tree of this script's own. Each stage prints
# the time it took.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=${REALKERNEL_DIR:-$root/build-realkernel}
jobs=${JOBS:-2}
boot_timeout=${REALKERNEL_TIMEOUT:-150}
mkdir -p "$work"

unavailable() {
    if [ "${CI:-}" = true ]; then
        echo "real-kernel tests cannot run under CI: $*"
        exit 1
    fi
    echo "real-kernel tests skipped: $*"
    exit 0
}

as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi
}

# The Debian packages of the tools this script needs that are not there.
missing_tools() {
    local missing=()
    command -v qemu-system-x86_64 >/dev/null || missing+=(qemu-system-x86)
    [ -x /bin/busybox ] && file -L /bin/busybox 2>/dev/null | grep -q 'statically linked' ||
        missing+=(busybox-static)
    command -v depmod >/dev/null || [ -x /usr/sbin/depmod ] || missing+=(kmod)
    command -v cpio >/dev/null || missing+=(cpio)
    command -v file >/dev/null || missing+=(file)
    echo "${missing[*]}"
}

install_tools() {
    local missing
    missing=$(missing_tools)
    [ -n "$missing" ] || return 0
    echo "Installing: $missing"
    as_root apt-get update -qq >/dev/null 2>&1 || true
    # Another install may hold the package lock for minutes; wait for it
    # rather than report the tools as unavailable.
    # shellcheck disable=SC2086 # one word per package
    DEBIAN_FRONTEND=noninteractive as_root apt-get install -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 $missing >/dev/null 2>&1 ||
        unavailable "could not install $missing from apt"
    # An install that reports success can still leave a tool out of reach
    # (a package already installed whose program is not on PATH).
    missing=$(missing_tools)
    [ -z "$missing" ] || unavailable "still missing after installing: $missing"
}

# Debian's current kernel package, unpacked to $work/kernel: vmlinuz plus the
# media and I2C module trees, with modules.dep generated for them.
fetch_kernel() {
    local package
    package=$(apt-cache depends linux-image-amd64 2>/dev/null |
        awk '/Depends: linux-image-[0-9]/{print $2; exit}')
    [ -n "$package" ] || unavailable "apt knows no linux-image-amd64 package"
    version=${package#linux-image-}
    kernel_dir=$work/kernel-$version
    kernel_image=$kernel_dir/boot/vmlinuz-$version
    module_dir=$kernel_dir/lib/modules/$version
    [ -f "$module_dir/modules.dep" ] && [ -f "$kernel_image" ] && return 0
    rm -rf "$kernel_dir" "$work"/download && mkdir -p "$kernel_dir" "$work/download"
    (cd "$work/download" && apt-get download "$package" >/dev/null 2>&1) ||
        unavailable "could not download $package"
    dpkg-deb --fsys-tarfile "$work"/download/"$package"_*.deb |
        tar -x -C "$kernel_dir" --wildcards './boot/vmlinuz-*' \
            './lib/modules/*/kernel/drivers/media/*' './lib/modules/*/kernel/drivers/i2c/*' \
            './lib/modules/*/modules.builtin*' './lib/modules/*/modules.order' ||
        unavailable "could not unpack $package"
    /usr/sbin/depmod -b "$kernel_dir" "$version"
    rm -rf "$work/download"
}

# Prints the module files `name` needs, dependencies first, then itself.
modules_for() {
    local name=$1 line deps i
    line=$(grep -E "/$name\.ko(\.xz)?:" "$module_dir/modules.dep") ||
        { echo "no module $name" >&2; return 1; }
    read -r -a deps <<<"${line#*:}"
    for ((i = ${#deps[@]} - 1; i >= 0; i--)); do echo "${deps[i]}"; done
    echo "${line%%:*}"
}

# The test chip adapter (chip_adapter/), built against the kernel's own
# headers package; gives the VM an I2C adapter with plain I2C transfers.
build_chip_adapter() {
    local headers=linux-headers-$version common kbuild tree
    chip_module=$work/chip_adapter/quorvan_chip_adapter.ko
    [ -f "$chip_module" ] && [ "$chip_module" -nt "$root/tests/realkernel/chip_adapter/quorvan_chip_adapter.c" ] &&
        return 0
    tree=$work/headers
    if [ ! -d "$tree/usr/src/$headers" ]; then
        common=$(apt-cache depends "$headers" 2>/dev/null | awk '/Depends: linux-headers-.*common/{print $2; exit}')
        kbuild=$(apt-cache depends "$headers" 2>/dev/null | awk '/Depends: linux-kbuild/{print $2; exit}')
        rm -rf "$tree" "$work/download" && mkdir -p "$tree" "$work/download"
        (cd "$work/download" && apt-get download "$headers" "$common" "$kbuild" >/dev/null 2>&1) ||
            unavailable "could not download $headers"
        for deb in "$work"/download/*.deb; do dpkg-deb -x "$deb" "$tree"; done
        rm -rf "$work/download"
        # The headers' Makefile names the common tree by its installed path.
        sed -i "s#include /usr/src/#include $tree/usr/src/#" "$tree/usr/src/$headers/Makefile"
    fi
    rm -rf "$work/chip_adapter" && cp -r "$root/tests/realkernel/chip_adapter" "$work/chip_adapter"
    make -C "$tree/usr/src/$headers" M="$work/chip_adapter" modules >"$work/chip_adapter.log" 2>&1 ||
        { cat "$work/chip_adapter.log"; exit 1; }
}

build_programs() {
    if [ -n "${REALKERNEL_BUILD_DIR:-}" ]; then
        build_in_given_tree
        return
    fi
    local launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    cmake -S "$root" -B "$work/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" \
        -DQUORVAN_BUILD_TESTS=ON -DQUORVAN_BUILD_REALKERNEL_TESTS=ON \
        -DQUORVAN_BUILD_EXAMPLES=OFF -DQUORVAN_INSTALL_NATIVE=OFF >"$work/configure.log"
    cmake --build "$work/build" -j"$jobs" --target quorvan_realkernel_tests >"$work/build.log" ||
        { cat "$work/build.log"; exit 1; }
    program=$work/build/tests/realkernel/quorvan_realkernel_tests
}

# A tree the caller built already: only the test program's own sources are
# compiled there if they changed, the library is not built once more. A tree
# without the program is a mistake of the caller, not a reason to skip.
build_in_given_tree() {
    local tree=$REALKERNEL_BUILD_DIR
    grep -qx 'QUORVAN_BUILD_REALKERNEL_TESTS:BOOL=ON' "$tree/CMakeCache.txt" 2>/dev/null || {
        echo "REALKERNEL_BUILD_DIR=$tree is no build tree configured with" \
            "-DQUORVAN_BUILD_REALKERNEL_TESTS=ON"
        exit 1
    }
    cmake --build "$tree" -j"$jobs" --target quorvan_realkernel_tests >"$work/build.log" ||
        { cat "$work/build.log"; exit 1; }
    program=$tree/tests/realkernel/quorvan_realkernel_tests
    # The initramfs has no C library; a sanitizer tree's program needs one.
    file -L "$program" | grep -q 'statically linked' || {
        echo "REALKERNEL_BUILD_DIR=$tree holds a test program that is not statically linked"
        exit 1
    }
}

build_initramfs() {
    local tree=$work/initramfs module loaded=" "
    rm -rf "$tree" && mkdir -p "$tree"/{bin,sbin,dev,proc,sys,tmp,run,lib/modules,tests}
    cp /bin/busybox "$tree/bin/busybox"
    for applet in sh mount umount mkdir cat echo insmod rmmod ls sleep poweroff grep \
        timeout printf dmesg; do
        ln -s busybox "$tree/bin/$applet"
    done
    : >"$tree/lib/modules/load-order"
    for top in i2c-dev i2c-stub vivid; do
        for module in $(modules_for "$top"); do
            case "$loaded" in *" $module "*) continue ;; esac
            loaded+="$module "
            cp "$module_dir/$module" "$tree/lib/modules/"
            basename "$module" >>"$tree/lib/modules/load-order"
        done
    done
    cp "$chip_module" "$tree/lib/modules/"
    echo quorvan_chip_adapter.ko >>"$tree/lib/modules/load-order"
    cp "$program" "$tree/tests/quorvan_realkernel_tests"
    cp "$root/tests/realkernel/guest_init.sh" "$tree/init"
    chmod +x "$tree/init"
    (cd "$tree" && find . | cpio -o -H newc --quiet) | gzip -1 >"$work/initramfs.gz"
}

milliseconds() { echo $(($(date +%s%N) / 1000000)); }

# Runs a stage and prints the time it took, so a slow run shows where.
timed() {
    local name=$1 started
    shift
    started=$(milliseconds)
    "$@"
    stage_ms=$(($(milliseconds) - started))
    printf 'stage %-12s %4d.%01d s\n' "$name" $((stage_ms / 1000)) $((stage_ms % 1000 / 100))
}

boot_vm() {
    set +e
    timeout --kill-after=5 "$boot_timeout" qemu-system-x86_64 -accel tcg -smp 2 -m 1024 \
        -nographic -no-reboot -kernel "$kernel_image" -initrd "$work/initramfs.gz" \
        -append "console=ttyS0 panic=-1 loglevel=4" </dev/null >"$log" 2>&1
    status=$?
    set -e
}

log=$work/console.log
timed tools install_tools
timed "kernel fetch" fetch_kernel
timed "chip adapter" build_chip_adapter
timed build build_programs
timed initramfs build_initramfs
timed VM boot_vm
elapsed=$((stage_ms / 1000))
tr -d '\r' <"$log" | grep -E '^(FAIL|NOTE|SKIP|===) ' || true
tally=$(tr -d '\r' <"$log" | grep -E '^TALLY [0-9]+ [0-9]+ [0-9]+$' | tail -1 || true)
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "the VM did not power off within ${boot_timeout}s; console: $log"
fi
if [ -z "$tally" ]; then
    tail -n 30 "$log"
    echo "VM ran ${elapsed}s without reporting a result"
    echo "0 passed, 1 failed"
    exit 1
fi
read -r _ passed failed planned <<<"$tally"
echo "VM ran ${elapsed}s (qemu exit $status); $((passed + failed)) of $planned planned checks ran"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
