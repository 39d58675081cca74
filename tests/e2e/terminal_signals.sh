#!/usr/bin/env bash
# jorvane-sim with its keyboard on a pseudo-terminal, as a person runs it:
# Ctrl-C typed at a question must leave the terminal's settings as they were;
# with the output piped (through tee, say) a question still takes a single
# key without Enter or echo; inside the drive's flash the first Ctrl-C is
# held and the run ends with the flash's own result, a second one stops it
# with a line saying how to recover, and a terminal that closes does not cut
# the flash short. The flashes run on the real clock (JORVANE_SIM_CLOCK) so
# that a key can be typed while they last.
#
# JV_BUILD: the build folder (holds jorvane-sim and tools/).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build
command -v python3 >/dev/null || { echo "FAIL: python3 is not installed (scripts/deps.sh installs it)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# The terminal side: starts the program as the leader of a new session whose
# controlling terminal is a fresh pseudo-terminal on its standard input (and
# standard output, or a pipe), then plays the steps:
#   wait:TEXT     until the program's output holds TEXT
#   waiterr:TEXT  until its standard error holds TEXT
#   waitfile:PATH until the file PATH exists
#   keys:TEXT     type TEXT (\x03 is Ctrl-C, as the terminal turns it into SIGINT)
#   noecho        until echo and line editing are off (a key read is waiting)
#   hangup        close the terminal (the program gets SIGHUP)
# and reports "status N" (N as a shell shows it; "timeout" when the program
# had to be killed), "stuck STEP" (a wait that never came true),
# "settings-kept yes|no" (stty -g before and after) and "noecho yes|no".
# The program's output goes to OUT, its standard error to ERR. Nothing waits
# longer than a minute.
cat >pty_run.py <<'EOF'
import fcntl, os, select, signal, subprocess, sys, termios, time

out_mode, out_path, err_path = sys.argv[1:4]
split = sys.argv.index("--")
steps, command = sys.argv[4:split], sys.argv[split + 1:]
deadline = time.monotonic() + 60

master, slave = os.openpty()
def stty():
    return subprocess.run(["stty", "-g"], stdin=slave, capture_output=True, text=True).stdout.strip()
before = stty()

def controlling_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)

err = open(err_path, "wb")
child = subprocess.Popen(command, stdin=slave, stdout=slave if out_mode == "pty" else subprocess.PIPE,
                         stderr=err, start_new_session=True, preexec_fn=controlling_terminal)
piped = child.stdout.fileno() if child.stdout else None
received = {master: b"", piped: b""}
open_fds = [fd for fd in (master, piped) if fd is not None]

def pump(seconds):
    for fd in select.select(open_fds, [], [], seconds)[0]:
        try:
            data = os.read(fd, 65536)
        except OSError:
            data = b""
        received[fd] += data
        if not data and fd == piped:
            open_fds.remove(fd)

def output():
    return received[piped] if piped is not None else received[master]

def until(found):
    while not found():
        if time.monotonic() > deadline:
            return False
        if child.poll() is not None:
            pump(0.1)
            return found()
        pump(0.05)
    return True

def echo_off():
    return not termios.tcgetattr(slave)[3] & (termios.ECHO | termios.ICANON)

noecho, stuck = "no", ""
for step in steps:
    kind, _, text = step.partition(":")
    data = text.encode().decode("unicode_escape").encode("latin-1")
    if kind == "wait" and not until(lambda: data in output()):
        stuck = step
    elif kind == "waiterr" and not until(lambda: data in open(err_path, "rb").read()):
        stuck = step
    elif kind == "waitfile" and not until(lambda: os.path.exists(text)):
        stuck = step
    elif kind == "noecho":
        noecho = "yes" if until(echo_off) else "no"
    elif kind == "keys":
        os.write(master, data)
    elif kind == "hangup":
        open_fds.remove(master)
        os.close(master)
        master = None
    if stuck:
        break
until(lambda: child.poll() is not None)
if child.poll() is None:
    os.killpg(child.pid, signal.SIGKILL)
    child.wait()
    status = "timeout"
else:
    status = str(128 - child.returncode if child.returncode < 0 else child.returncode)
with open(out_path, "wb") as f:
    f.write(output())
print("status", status)
print("stuck", stuck)
print("settings-kept", "yes" if master is None or stty() == before else "no")
print("noecho", noecho)
EOF

# play <name> <out mode: pty|pipe> <steps...> -- <program and arguments...>:
# $out, $err, $status, $kept and $noecho for the checks.
play() {
    local name=$1 mode=$2 report stuck
    shift 2
    report=$(python3 pty_run.py "$mode" "$name.out" "$name.err" "$@")
    status=$(sed -n 's/^status //p' <<<"$report")
    stuck=$(sed -n 's/^stuck //p' <<<"$report")
    kept=$(sed -n 's/^settings-kept //p' <<<"$report")
    noecho=$(sed -n 's/^noecho //p' <<<"$report")
    out=$(cat "$name.out")
    err=$(cat "$name.err")
    [ "$status" != timeout ] || status=999
    [ -z "$stuck" ] || fail "$name: '$stuck' never came; output:
$out
$err"
}

drive_version() {  # rig
    JORVANE_RIG=$1 "$sim" /c /n0 </dev/null | sed -n 's/^Drive Version : //p'
}

"$make_sample" "$work" >/dev/null
rig=$work/sample-rig.ini
# On the real clock: two 64 KB blocks of 2 s each, a quick reboot.
{ cat "$rig"; echo "block_program_ms = 2000"; echo "reboot_ms = 300"; } >"$work/slow-rig.ini"
export JORVANE_RIG=$rig

# --- Ctrl-C at the question: the program ends by SIGINT, terminal as before ---
play question pty wait:"(Y/N)" noecho keys:'\x03' -- "$sim" sample.ytr
expect_status 130 "Ctrl-C at the question"
[ "$noecho" = yes ] || fail "the question did not switch echo and line editing off"
[ "$kept" = yes ] || fail "Ctrl-C at the question left the terminal's settings changed"
[ ! -e sample-rig-flash.bin ] || fail "Ctrl-C at the question: the drive's flash was written"

# --- output piped (as through tee): one key, no Enter, no echo, no cursor moves ---
play piped pipe wait:"(Y/N)" noecho keys:y -- "$sim" sample.ytr
expect_status 194 "piped output"
[ "$noecho" = yes ] || fail "piped output: the question did not read a single key"
expect_text "========== Flash Completed Successfully==========" "piped output"
grep -q $'\x1b' <<<"$out" && fail "piped output: cursor sequences in the output"
[ "$kept" = yes ] || fail "piped output: the terminal's settings changed"

# --- one Ctrl-C inside the flash is held; the run reports the flash's result ---
export JORVANE_RIG=$work/slow-rig.ini JORVANE_SIM_CLOCK=real
rm -f sample-rig-flash.bin
play held pty wait:"(Y/N)" noecho keys:y wait:"Flash Progress" keys:'\x03' -- "$sim" sample.ytr
expect_status 194 "one Ctrl-C in the flash"
expect_text "========== Flash Completed Successfully==========" "one Ctrl-C in the flash"
grep -qF "stopping now may leave the drive unusable" <<<"$err" ||
    fail "one Ctrl-C in the flash: no warning on standard error: $err"
grep -qF "half-written" <<<"$err" && fail "one Ctrl-C in the flash: it says the run stopped: $err"

# --- a second Ctrl-C stops the run and says how to recover ---
rm -f sample-rig-flash.bin
play stopped pty wait:"(Y/N)" noecho keys:y wait:"Flash Progress" keys:'\x03' waiterr:"Ctrl-C again" keys:'\x03' \
    -- "$sim" sample.ytr
expect_status 130 "two Ctrl-C in the flash"
expect_no_text "Flash Completed" "two Ctrl-C in the flash"
grep -qF "the drive may be half-written" <<<"$err" && grep -qF "Run the same update again" <<<"$err" ||
    fail "two Ctrl-C in the flash: no recovery line on standard error: $err"
[ "$kept" = yes ] || fail "two Ctrl-C in the flash: the terminal's settings changed"

# --- the terminal closes during the flash: the run goes on to its result and
# then ends by SIGHUP. The output goes through a pipe, which outlives the
# terminal; the drive's flash file appears when the drive starts programming.
rm -f sample-rig-flash.bin
play hangup pipe wait:"(Y/N)" noecho keys:y waitfile:sample-rig-flash.bin hangup -- "$sim" sample.ytr
expect_status 129 "terminal closed in the flash"
expect_text "========== Flash Completed Successfully==========" "terminal closed in the flash"

if [ "$failures" -gt 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "terminal and signals: all passed"
