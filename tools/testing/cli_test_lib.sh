# Helpers of the command-line tests, sourced by each: every call of the
# qk0340 command is a process of its own; failures are counted, not fatal.
# The test sets QK to the command; $WORK is a fresh folder, $R a root in it.
WORK="$(mktemp -d)"
trap 'rm -rf "$WORK"' EXIT
R="$WORK/root"
failures=0

fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# ok NAME ARGS...: the command succeeds; its output is in $WORK/out.
ok() {
  local name="$1"; shift
  "$QK" "$@" >"$WORK/out" 2>"$WORK/err" || { fail "$name: exit $? ($(cat "$WORK/err"))"; return 1; }
}

# contains NAME TEXT: the last output holds TEXT.
contains() { grep -qF -- "$2" "$WORK/out" || fail "$1: output lacks '$2':"$'\n'"$(cat "$WORK/out")"; }

# refused_saying NAME TEXT ARGS...: a clean failure (a non-zero exit that is
# not a signal) with a message on standard error that holds TEXT (any
# message when TEXT is empty).
refused_saying() {
  local name="$1" text="$2"; shift 2
  "$QK" "$@" >"$WORK/out" 2>"$WORK/err"
  local rc=$?
  if [ $rc -eq 0 ]; then fail "$name: succeeded"; return; fi
  if [ $rc -ge 128 ]; then fail "$name: crashed (exit $rc): $(cat "$WORK/err")"; return; fi
  [ -s "$WORK/err" ] || fail "$name: no message"
  grep -qF -- "$text" "$WORK/err" || fail "$name: the message lacks '$text': $(cat "$WORK/err")"
}

# Photographs shipped by a Debian package that scripts/deps.sh installs;
# need_photos NAME...: the test cannot run without them.
PHOTOS=/usr/lib/python3/dist-packages/skimage/data
need_photos() {
  local f
  for f in "$@"; do
    [ -f "$PHOTOS/$f" ] || { echo "FAIL: $PHOTOS/$f is missing: run scripts/deps.sh"; exit 1; }
  done
}

size_of() { stat -c %s "$1"; }

# finish: the exit status of the test.
finish() {
  if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
  fi
  echo "all passed"
}
