#!/usr/bin/env bash
# README's "Trying it by hand" typed one line a second into an interactive
# shell on a pseudo-terminal (job control on) in the board sandbox; checks
# what it prints, the logs, and that nothing of it is left.   (GW_BIN_DIR)
set -euo pipefail
readme=$1
[ "${GW_SANDBOX:-}" = 1 ] || { echo "readme_session: only inside the board sandbox" >&2; exit 2; }
bin=$(readlink -f "${GW_BIN_DIR:?}") work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

awk '/^    # now inside the sandbox/ {on = 1; next}
     on && /^    / {print substr($0, 5); next}
     on {exit}' "$readme" >"$work/session"
[ -s "$work/session" ] || { echo "no hand session in $readme" >&2; exit 1; }

status=0
while IFS= read -r line; do printf '%s\n' "$line"; sleep 1; done <"$work/session" |
    B=$bin TMPDIR=$work PS1='$ ' timeout 60 script -qfec 'bash --norc --noprofile -i' /dev/null |
    sed 's/\x1b\[[0-9;?]*[a-zA-Z]//g; s/\r//g' >"$work/transcript" || status=$?

fail() { echo "readme_session: $*" >&2; sed 's/^/  | /' "$work/transcript" >&2; exit 1; }
[ "$status" = 0 ] || fail "the session ended with status $status"
! grep -q 'Stopped' "$work/transcript" || fail "a background job was stopped"
for want in '^192\.0\.2\.10$' '^URL[[:space:]]*http://127\.0\.0\.1:8080/ws/AccessGate$' \
    '^GrantAccess successful$' '^OpenRelay: true$'; do
    grep -q "$want" "$work/transcript" || fail "no line $want"
done
for l in service reader gatewarden; do compgen -G "$work/tmp.*/$l.log" >/dev/null || fail "no $l.log"; done

# Whatever the session started must have ended with it (the sandbox's /proc
# shows only its own processes, and ends those left when this script ends).
sleep 1
for p in /proc/[0-9]*; do
    case $(readlink "$p/exe" 2>/dev/null) in "$bin"/*) fail "still running: ${p#/proc/}" ;; esac
done
