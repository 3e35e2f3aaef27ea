#!/usr/bin/env bash
# scripts/with-keyring: a private bus and home, the command's own status, nothing left behind,
# and nothing of one run seen by the next.
set -uo pipefail
wrapper="$1"
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

inside=$("$wrapper" bash -c 'printf %s "secret" |
        secret-tool store --label=t service ai.orvane.wrapper account a &&
    echo "$HOME|${DBUS_SESSION_BUS_ADDRESS:-}|$(secret-tool lookup service ai.orvane.wrapper account a)"')
IFS='|' read -r home bus secret <<<"$inside"

[ "$secret" = "secret" ] || fail "the private keyring did not keep an item: '$secret'"
[ -n "$home" ] && [ "$home" != "${HOME:-}" ] || fail "HOME was not replaced: '$home'"
[ -n "$bus" ] && [ "$bus" != "${DBUS_SESSION_BUS_ADDRESS:-}" ] || fail "no private bus: '$bus'"
[ ! -e "$home" ] || fail "the temporary home was left behind: $home"
for environ in /proc/[0-9]*/environ; do
    if tr '\0' '\n' 2>/dev/null <"$environ" | grep -qxF "HOME=$home"; then
        fail "a process of the run is still alive: ${environ%/environ}"
    fi
done

"$wrapper" sh -c 'exit 7'
[ $? -eq 7 ] || fail "the command's status was not passed on"

"$wrapper" sh -c '! secret-tool lookup service ai.orvane.wrapper account a' ||
    fail "a second run saw the first run's item"

[ "$failures" -eq 0 ] && echo "with-keyring: all checks passed"
exit "$failures"
