# The recorded drives of tests/traces, shared by record.sh (which records
# them from the virtual drive) and tests/e2e/traces.sh (which replays each
# with today's program). Sourced, not run.
#
# Each case NAME has NAME.jsonl.gz (the trace), NAME.out (what the program
# printed, standard output and error) and NAME.status (its exit status).
# A case is made in an empty folder by `prepare NAME` (the package and the
# rig of the virtual drive, rig.ini) and run there by `play NAME RIG`, which
# leaves the output in $out and the status in $status. The packages come
# from jorvane-make-sample with fixed settings, so they are the same bytes
# at every run and the replay can compare what is sent.
#
# Needs $build (the build folder, absolute).

trace_cases=(atapi1 atapi2 atapi3 atapi4 atapi5 atapi6 atapi7 atapi8 philips ide-parallel ide-serial backup)

# package NAME TYPE [RIG [BANKS]]: a sample package for ATAPI type TYPE, of
# one bank unless told.
trace_package() {
    "$build/tools/jorvane-make-sample" --package "$1.ytr" --rig "${3:--}" --banks "${4:-1}" --atapi-type "$2" . \
        >/dev/null
}

# ide_package NAME IDE-TYPE: a four-bank package for the IDE route only.
ide_package() {
    trace_package "$1" 1 rig.ini 4
    printf "\\x$(printf %02x "$2")\\x00" | dd of="$1.ytr" bs=1 seek=26 conv=notrunc status=none
}

prepare() {  # name
    case $1 in
        atapi[1-8]) trace_package package "${1#atapi}" rig.ini ;;
        philips)
            # An updater carrying a Philips-format image in its CVT buffer.
            {
                printf 'Philips DVD firmware'
                head -c 16 /dev/zero
                head -c $((2 * 16384 - 40)) /dev/zero | tr '\0' 'Z'
                printf '\x12\x34\xab\xcd'
            } >raw.bin
            printf '[Main]\r\nUpdater=1\r\n' >settings.ini
            "$build/tools/jorvane-merge" "$build/jorvane-sim" updater --cvt raw.bin --settings settings.ini \
                >/dev/null 2>&1
            printf '[drive]\nvendor = ZERV\nproduct = "VIRTUAL DVD-RW"\ncontroller = philips\n' >rig.ini
            ;;
        # An image twice the chip: the IDE route identifies the drive and
        # the chip, then refuses before it erases anything. (A whole chip
        # flash is some ten million register accesses, tens of megabytes
        # even compressed: too large to keep here.)
        ide-parallel)
            ide_package package 1
            printf 'ide_controller = mtk\nflash_chip = 0\n' >>rig.ini
            ;;
        ide-serial)
            ide_package package 4
            printf 'ide_controller = mtk2\nflash_chip = 17\n' >>rig.ini
            ;;
        backup) trace_package package 1 rig.ini ;;
    esac
}

play() {  # name, rig
    local name=$1
    case $name in
        philips) out=$(printf y | JORVANE_RIG=$2 timeout 120 ./updater 2>&1) ;;
        ide-*) out=$(printf y | JORVANE_RIG=$2 timeout 120 "$build/jorvane-sim" /i package.ytr 2>&1) ;;
        backup) out=$(JORVANE_RIG=$2 timeout 120 "$build/jorvane-backup-sim" package.ytr backup.ytr 2>&1 </dev/null) ;;
        *) out=$(printf y | JORVANE_RIG=$2 timeout 120 "$build/jorvane-sim" package.ytr 2>&1) ;;
    esac
    status=$?
}
