#!/usr/bin/env bash
# The Debian 13 root leaves nothing mounted on the host: not while a command runs in it,
# not after the command fails, not after the namespace's first process is killed outright
# (as a crash or an interrupted test run does), and it leaves no process behind either.
set -u
clone="$(cd "$(dirname "$0")/../.." && pwd)"
root_tool="$clone/scripts/lib/debian-root"
root="$("$root_tool" trixie path)"
failures=0

check() {
    if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; failures=$((failures + 1)); fi
}

host_mounts() {
    findmnt -rn -o TARGET | grep -c -F "$root"
}

"$root_tool" trixie run -- sh -c 'test -c /dev/null && test -r /proc/self/stat && exit 7'
check "a failing command's status comes back (7, with /dev and /proc inside)" '[ $? -eq 7 ]'
check "nothing is mounted on the host after it" '[ "$(host_mounts)" -eq 0 ]'

"$root_tool" trixie run -- sleep 60 &
namespace=$!
# The sleep, once it runs inside the namespace with its mounts made.
inside=""
for _ in $(seq 100); do
    inside="$(pgrep -P "$namespace" -x sleep)" && break
    sleep 0.1
done
check "a command runs in the root" '[ -n "$inside" ]'
# Inside, where the root is /: proc, /dev and the clone.
check "its mounts are seen inside" \
    '[ "$(findmnt -N "${inside:-$$}" -rn -o TARGET | grep -c -x -E "/proc|/dev|$clone")" -eq 3 ]'
check "and not on the host" '[ "$(host_mounts)" -eq 0 ]'

{ kill -KILL "$namespace" && wait "$namespace"; } 2>/dev/null
gone=no
for _ in $(seq 50); do
    [ -n "$inside" ] && kill -0 "$inside" 2>/dev/null || { gone=yes; break; }
    sleep 0.1
done
check "killing the namespace's first process ends the command in it" '[ $gone = yes ]'
check "nothing is mounted on the host after that" '[ "$(host_mounts)" -eq 0 ]'

echo "$failures failed"
[ "$failures" -eq 0 ]
