#!/bin/sh
# PID 1 of the test VM: loads the drivers, runs every test program, prints
# the summed tally for run.sh and powers off. Each program prints
# "PLAN <checks>" first and "TALLY <passed> <failed>" as its last line; one
# that hangs, crashes or runs another number of checks than it plans counts
# as a failed check.
export PATH=/bin:/sbin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
echo 4 >/proc/sys/kernel/printk

# Instance 0 single-planar, instance 1 multi-planar; capture nodes only. All
# four inputs are non-webcam kinds (0 and 3 HDMI, 1 TV, 2 S-Video), which
# take any frame size instead of snapping to the webcam's list.
VIVID_PARAMETERS="n_devs=2 multiplanar=1,2 node_types=0x1,0x1 input_types=0xe7,0xe7"
# The reconnect checks unload and load vivid themselves, as this script does.
export VIVID_PARAMETERS VIVID_MODULE=/lib/modules/vivid.ko

load_modules() {
    for module in $(cat /lib/modules/load-order); do
        case $module in
        vivid.ko) insmod /lib/modules/$module $VIVID_PARAMETERS ;;
        i2c-stub.ko) insmod /lib/modules/$module chip_addr=0x0c ;;
        *) insmod /lib/modules/$module ;;
        esac || echo "NOTE insmod $module failed"
    done
}

# Unplugged vivid instances are gone for good; a new module load brings both
# back as new devices.
reload_vivid() {
    rmmod vivid || echo "NOTE rmmod vivid failed"
    insmod /lib/modules/vivid.ko $VIVID_PARAMETERS || echo "NOTE insmod vivid failed"
}

passed=0
failed=0
planned=0
# A program prints "PLAN <n>" first: the checks it runs when it runs them
# all. One that counted fewer lost some (an early return, a crash, a hang)
# and one that counted more has an outdated plan; either fails the run,
# even if every check that did run passed.
run() {
    name="$*"
    echo "=== $name"
    timeout 90 /tests/quorvan_realkernel_tests "$@" >/tmp/out 2>&1
    status=$?
    grep -v -e '^TALLY ' -e '^PLAN ' /tmp/out
    plan=$(grep '^PLAN ' /tmp/out | tail -n 1)
    tally=$(grep '^TALLY ' /tmp/out | tail -n 1)
    if [ -z "$plan" ]; then
        echo "FAIL $name printed no plan (exit $status)"
        failed=$((failed + 1))
        return
    fi
    set -- $plan
    planned=$((planned + $2))
    program_plan=$2
    if [ -z "$tally" ]; then
        echo "FAIL $name ended without a tally (exit $status), $program_plan checks planned"
        failed=$((failed + 1))
        return
    fi
    set -- $tally
    passed=$((passed + $2))
    failed=$((failed + $3))
    ran=$(($2 + $3))
    echo "=== $name: $2 passed, $3 failed, $ran of $program_plan planned checks ran"
    if [ "$ran" -lt "$program_plan" ]; then
        echo "FAIL $name ran $ran of its $program_plan planned checks"
        failed=$((failed + 1))
    elif [ "$ran" -gt "$program_plan" ]; then
        echo "FAIL $name ran $ran checks, more than the $program_plan it plans"
        failed=$((failed + 1))
    fi
    [ "$status" -eq 0 ] || [ "$3" -ne 0 ] || {
        echo "FAIL $name exit status $status"
        failed=$((failed + 1))
    }
}

load_modules
run i2c
# The sensor streams multi-planar on media-graph hosts only, so the
# multi-planar instance is streamed by the capture node checks below.
run stream /dev/video0
run faults /dev/video0
run unplug /dev/video0
# The capture node class streams the multi-planar instance directly, and is
# unplugged there.
run capture-node /dev/video1

reload_vivid
run fresh /dev/video0

run camera /dev/video0

# The camera checks unplugged instance 0; a fresh load for the reconnect.
reload_vivid
run reconnect /dev/video0

echo "TALLY $passed $failed $planned"
poweroff -f
