#!/usr/bin/env bash
# jorvane-sim with its keyboard on a pseudo-terminal, as a person runs it:
# Ctrl-C, Ctrl-\ or Ctrl-Z typed at a question must leave the terminal's
# settings as they were (for Ctrl-Z while the program is stopped; after fg a
# question takes single keys again); with the output piped (through tee,
# say) a question still takes a single key without Enter or echo; inside the
# drive's flash the first Ctrl-C (or Ctrl-\, or any Ctrl-Z) is held and the
# run ends with the flash's own result, a second one stops it with a line
# saying how to recover, and a terminal that closes does not cut the flash
# short. A stop request between a write and its rename leaves no temporary
# file. A run that ends at the question (Ctrl-C, Enter, n, also from a
# script) ends its line; a terminal without a type (TERM=dumb or empty) gets
# plain lines, no screen control; scripted answers with the output in a pipe
# show the progress while the flash goes on. The flashes run on the real
# clock (JORVANE_SIM_CLOCK) so that a key can be typed while they last.
#
# JV_BUILD: the build folder (holds jorvane-sim, jorvane-backup-sim and tools/).
set -u
. "$(dirname -- "${BASH_SOURCE[0]}")/lib/checks.sh"

native_build
require_built "$build/jorvane-backup-sim"
command -v python3 >/dev/null || { echo "FAIL: python3 is not installed (scripts/deps.sh installs it)"; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1

# The terminal side: starts the program as the leader of a new session whose
# controlling terminal is a fresh pseudo-terminal on its standard input (and
# standard output, or a pipe; "job": the terminal for both, and the program
# runs as a job of a small shell that leads the session, so that Ctrl-Z
# stops it; the shell creates the file "stopped" when it does, and takes
# the terminal as a shell does, leaving its settings alone), then plays the
# steps:
#   wait:TEXT     until the program's output holds TEXT
#   waiterr:TEXT  until its standard error holds TEXT
#   waitfile:PATH until the file PATH exists
#   keys:TEXT     type TEXT (\x03 is Ctrl-C, as the terminal turns it into SIGINT)
#   noecho        until echo and line editing are off (a key read is waiting)
#   echo          until they are on again
#   fg            the shell continues the job in the foreground (job only)
#   hangup        close the terminal (the program gets SIGHUP)
# and reports "status N" (N as a shell shows it; "timeout" when the program
# had to be killed), "stuck STEP" (a wait that never came true),
# "settings-kept yes|no" (stty -g before and after) and "noecho yes|no".
# The program's output goes to OUT, its standard error to ERR. Nothing waits
# longer than a minute.
cat >pty_run.py <<'EOF'
import fcntl, os, select, signal, subprocess, sys, termios, time

if sys.argv[1] == "--shell":
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    job = os.fork()
    if job == 0:
        os.setpgid(0, 0)
        os.tcsetpgrp(0, os.getpgrp())
        signal.signal(signal.SIGTTOU, signal.SIG_DFL)
        os.execvp(sys.argv[2], sys.argv[2:])
    try:
        os.setpgid(job, job)
        os.tcsetpgrp(0, job)
    except OSError:
        pass
    def foreground(*_):
        os.tcsetpgrp(0, job)
        os.kill(-job, signal.SIGCONT)
    signal.signal(signal.SIGUSR1, foreground)
    while True:
        _, wait_status = os.waitpid(job, os.WUNTRACED)
        if os.WIFSTOPPED(wait_status):
            os.tcsetpgrp(0, os.getpgrp())
            open("stopped", "w").close()
            continue
        code = os.waitstatus_to_exitcode(wait_status)
        sys.exit(128 - code if code < 0 else code)

out_mode, out_path, err_path = sys.argv[1:4]
split = sys.argv.index("--")
steps, command = sys.argv[4:split], sys.argv[split + 1:]
if out_mode == "job":
    command = [sys.executable, os.path.abspath(__file__), "--shell"] + command
deadline = time.monotonic() + 60

master, slave = os.openpty()
def stty():
    return subprocess.run(["stty", "-g"], stdin=slave, capture_output=True, text=True).stdout.strip()
before = stty()

def controlling_terminal():
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)

err = open(err_path, "wb")
child = subprocess.Popen(command, stdin=slave, stdout=subprocess.PIPE if out_mode == "pipe" else slave,
                         stderr=err, start_new_session=True, preexec_fn=controlling_terminal)
piped = child.stdout.fileno() if child.stdout else None
received = {master: b"", piped: b""}
open_fds = [fd for fd in (master, piped) if fd is not None]

def pump(seconds):
    got = False
    for fd in select.select(open_fds, [], [], seconds)[0]:
        try:
            data = os.read(fd, 65536)
        except OSError:
            data = b""
        received[fd] += data
        got = got or bool(data)
        if not data and fd == piped:
            open_fds.remove(fd)
    return got

def output():
    return received[piped] if piped is not None else received[master]

def until(found):
    while not found():
        if time.monotonic() > deadline:
            return False
        if child.poll() is not None:
            while pump(0.1):  # all that the program wrote before it ended
                pass
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
    elif kind == "echo" and not until(lambda: not echo_off()):
        stuck = step
    elif kind == "fg":
        os.kill(child.pid, signal.SIGUSR1)
    elif kind == "keys":
        os.write(master, data)
    elif kind == "hangup":
        open_fds.remove(master)
        os.close(master)
        master = None
    if stuck:
        break
until(lambda: child.poll() is not None)
while child.poll() is not None and pump(0.1):  # what the program wrote as it ended
    pass
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

# line_ended NAME: the program's output ends with a line end, so a shell's
# prompt after it starts on a line of its own.
line_ended() {
    [ -s "$1.out" ] && [ -z "$(tail -c 1 "$1.out")" ] ||
        fail "$1: the output does not end its last line: ...$(tail -c 40 "$1.out" | od -An -c)"
}

# --- Ctrl-C at the question: the program ends by SIGINT, terminal as before,
# the question's line ended; on a terminal with a type, the screen is drawn ---
TERM=xterm play question pty wait:"(Y/N)" noecho keys:'\x03' -- "$sim" sample.ytr
expect_status 130 "Ctrl-C at the question"
[ "$noecho" = yes ] || fail "the question did not switch echo and line editing off"
[ "$kept" = yes ] || fail "Ctrl-C at the question left the terminal's settings changed"
[ ! -e sample-rig-flash.bin ] || fail "Ctrl-C at the question: the drive's flash was written"
line_ended question
grep -q $'\x1b\\[' <<<"$out" || fail "TERM=xterm: no screen control on the terminal"

# --- Enter at the question is no; TERM=dumb (or no TERM) gets plain lines ---
for term in dumb ""; do
    TERM=$term play "enter$term" pty wait:"(Y/N)" noecho keys:'\r' -- "$sim" sample.ytr
    expect_status 3 "Enter at the question, TERM='$term'"
    line_ended "enter$term"
    grep -q $'\x1b' <<<"$out" && fail "TERM='$term': screen control sequences on the terminal"
done

# --- "n" from a script: the line is ended too ---
printf n | "$sim" sample.ytr >scripted.out 2>&1
status=$? out=$(cat scripted.out)
expect_status 3 "n from a script"
line_ended scripted

# --- Ctrl-\ at the question: the same, ending by SIGQUIT ---
play quit pty wait:"(Y/N)" noecho keys:'\x1c' -- "$sim" sample.ytr
expect_status 131 "Ctrl-\\ at the question"
[ "$kept" = yes ] || fail "Ctrl-\\ at the question left the terminal's settings changed"

# --- Ctrl-Z at the question: the shell gets the terminal as it was, and after
# fg the question takes single keys again ---
rm -f stopped
play suspend job wait:"(Y/N)" noecho keys:'\x1a' waitfile:stopped echo fg noecho keys:n -- "$sim" sample.ytr
expect_status 3 "Ctrl-Z at the question"
[ "$noecho" = yes ] || fail "Ctrl-Z at the question: after fg the question does not read single keys"
[ "$kept" = yes ] || fail "Ctrl-Z at the question left the terminal's settings changed"
line_ended suspend

# --- a stop request between the write of a file and its rename: the
# temporary goes too (strace fails the rename and sends SIGTERM with it) ---
if command -v strace >/dev/null; then
    # (In a subshell of its own, which keeps the shell's "Terminated" line.)
    (JORVANE_RIG=$rig strace -f -o /dev/null -e trace=rename,renameat2 \
        -e inject=rename,renameat2:error=EINTR:signal=SIGTERM "$build/jorvane-backup-sim" sample.ytr signalled.ytr \
        </dev/null >signalled.out 2>&1
     exit $?) 2>/dev/null
    status=$? out=$(cat signalled.out) err=
    expect_status 143 "SIGTERM before the rename of a backup"
    ls ./*.tmp >/dev/null 2>&1 && fail "SIGTERM before the rename of a backup: left $(ls ./*.tmp)"
    [ ! -e signalled.ytr ] || fail "SIGTERM before the rename of a backup: the backup was written"
else
    fail "strace is not installed (scripts/deps.sh installs it)"
fi

# --- output piped (as through tee): one key, no Enter, no echo, no cursor moves ---
play piped pipe wait:"(Y/N)" noecho keys:y -- "$sim" sample.ytr
expect_status 194 "piped output"
[ "$noecho" = yes ] || fail "piped output: the question did not read a single key"
expect_text "========== Flash Completed Successfully==========" "piped output"
grep -q $'\x1b' <<<"$out" && fail "piped output: cursor sequences in the output"
[ "$kept" = yes ] || fail "piped output: the terminal's settings changed"

export JORVANE_RIG=$work/slow-rig.ini JORVANE_SIM_CLOCK=real

# --- answers from a script, output into a pipe (printf y | jorvane | tee log):
# the progress comes through the pipe while the drive is still being flashed ---
rm -f sample-rig-flash.bin
progress=$(python3 - "$sim" <<'EOF'
import os, subprocess, sys, time
child = subprocess.Popen([sys.argv[1], "sample.ytr"], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                         stderr=subprocess.DEVNULL)
child.stdin.write(b"y")
child.stdin.close()
seen, deadline = b"", time.monotonic() + 60
while b"Flash Progress" not in seen and time.monotonic() < deadline:
    chunk = os.read(child.stdout.fileno(), 65536)
    if not chunk:
        break
    seen += chunk
early = b"Flash Progress" in seen and b"Flash Completed" not in seen and child.poll() is None
child.stdout.read()
child.wait(timeout=60)
print("during the flash" if early else "only at the end")
EOF
)
[ "$progress" = "during the flash" ] || fail "piped output: the progress came $progress"

# --- one Ctrl-C inside the flash is held; the run reports the flash's result ---
rm -f sample-rig-flash.bin
play held pty wait:"(Y/N)" noecho keys:y wait:"Flash Progress" keys:'\x03' -- "$sim" sample.ytr
expect_status 194 "one Ctrl-C in the flash"
expect_text "========== Flash Completed Successfully==========" "one Ctrl-C in the flash"
grep -qF "stopping now may leave the drive unusable" <<<"$err" ||
    fail "one Ctrl-C in the flash: no warning on standard error: $err"
grep -qF "half-written" <<<"$err" && fail "one Ctrl-C in the flash: it says the run stopped: $err"

# --- Ctrl-\ inside the flash is held as a Ctrl-C is ---
rm -f sample-rig-flash.bin
play quitheld pty wait:"(Y/N)" noecho keys:y wait:"Flash Progress" keys:'\x1c' -- "$sim" sample.ytr
expect_status 194 "one Ctrl-\\ in the flash"
expect_text "========== Flash Completed Successfully==========" "one Ctrl-\\ in the flash"
grep -qF "stopping now may leave the drive unusable" <<<"$err" ||
    fail "one Ctrl-\\ in the flash: no warning on standard error: $err"

# --- Ctrl-Z inside the flash is held: the program is not stopped ---
rm -f sample-rig-flash.bin stopped
play suspendheld job wait:"(Y/N)" noecho keys:y wait:"Flash Progress" keys:'\x1a' waiterr:"cannot be suspended" \
    -- "$sim" sample.ytr
expect_status 194 "Ctrl-Z in the flash"
expect_text "========== Flash Completed Successfully==========" "Ctrl-Z in the flash"
[ ! -e stopped ] || fail "Ctrl-Z in the flash stopped the program"

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
