#!/usr/bin/env bash
# The service under Wine's service manager, from installation to removal:
# install (with restart actions and the event source), parameters, start,
# two pages fetched through the relay by the Windows test client from the
# native gateway emulator, the identity the gateway received checked
# against the client's own token, the group mappings file, then remove.
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/wine/lib.sh
source "$here/lib.sh"

ORG="Wine Check Org"

# Only the groups whose SID begins with S-1-5-21- are kept per user; a
# cached answer lists just those.
domain_groups() { grep -E '^group: S-1-5-21-' || true; }

# The mappings file as it must be: one "domain,name,sid" line per group that
# has both a domain and a name, in ascending SID order, CR LF line ends.
expected_mappings() {
    sed -n 's/^group: \(S-[0-9-]*\) \([^\\]\{1,\}\)\\\(.\{1,\}\)$/\2,\3,\1/p' |
        LC_ALL=C sort -t, -k3,3 -u | sed 's/$/\r/'
}

check_page() {  # name expected-identity-lines
    local name=$1 expected=$2
    check_eq "$name: status line" "status: HTTP/1.1 200 OK" \
        "$(grep '^status: ' "$VC_WORK/$name.report")"
    check_eq "$name: organisation sent to the gateway" "org: $ORG" \
        "$(response_body "$VC_WORK/$name.response" | strip_cr | grep '^org: ')"
    local got
    got=$(page_identity "$VC_WORK/$name.response")
    if [[ "$got" == "$expected" ]]; then
        ok "$name: the gateway received the expected user and groups"
    else
        fail "$name: identity differs from the client's token"
        diff <(echo "$expected") <(echo "$got") | sed 's/^/    /'
    fi
}

install_files || fail "cannot copy vornclient.exe into the prefix"
# A first start: no group mappings from an earlier run in this prefix.
rm -rf "$DATA_DIR"
log_start=0
[[ -n "$WINE_SYSTEM_LOG" ]] && log_start=$(wc -l <"$WINE_SYSTEM_LOG")
start_emulator lifecycle || finish
LISTEN_PORT=$(free_port) || finish

# 1. Install: the service, its restart actions and the event source.
out=$("$WINE" "$INSTALLED_EXE" -install | strip_cr)
check_eq "-install prints the installed line" "$DISPLAY_NAME installed." "$out"
check_eq "-install registers the event source with the program as its message file" \
    "$(expected_source "$INSTALLED_EXE")" "$(reg_values "$SOURCE_KEY")"
if [[ -n "$WINE_SYSTEM_LOG" ]]; then
    if wait_until 10 restart_actions_traced_after "$log_start"; then
        ok "-install hands the service manager the restart actions (reset after a day)"
    else
        fail "no restart actions traced by the service manager in $WINE_SYSTEM_LOG"
    fi
else
    skip_check "restart actions" "WINE_SYSTEM_LOG not set"
fi

# 2. Parameters: the example file imports, then our ports go on top.
example="$VC_WORK/vornclient.reg"
cp "$here/../../etc/vornclient.reg.example" "$example"
if (cd "$VC_WORK" && "$WINE" regedit /S vornclient.reg) &&
    "$WINE" reg query "$PARAMS_KEY" /v ListenPort | strip_cr | grep -q 'REG_DWORD *0x1f90'; then
    ok "the example .reg file imports with regedit"
else
    fail "the example .reg file did not import"
fi
if set_parameters "$EMU_PORT" "$LISTEN_PORT" "$ORG" >"$VC_WORK/reg.out" 2>&1; then
    ok "parameters set with reg add (gateway $EMU_PORT, relay $LISTEN_PORT)"
else
    fail "reg add failed: $(cat "$VC_WORK/reg.out")"
fi

# 3. Start.
if "$WINE" sc start VornClient >"$VC_WORK/sc-start.out" 2>&1; then
    ok "sc start VornClient"
else
    fail "sc start VornClient failed: $(strip_cr <"$VC_WORK/sc-start.out")"
fi
if wait_until 60 port_listening "$LISTEN_PORT"; then
    ok "the relay listens on 127.0.0.1:$LISTEN_PORT"
else
    fail "the relay does not listen on $LISTEN_PORT"
fi
if "$WINE" sc query VornClient | strip_cr | grep -q 'STATE.*RUNNING'; then
    ok "sc query shows the service running"
else
    fail "sc query does not show the service running"
fi

# 4, 5. A fresh read of the session's token lists every group of the token,
# in token order, with the names the account lookup gives.
whoami=$(client_whoami)
echo "$whoami" | sed 's/^/    token of the client: /'
expected=$(echo "$whoami" | grep -E '^(user|groups|group): ')
if fetch first "$LISTEN_PORT"; then
    ok "first page fetched through the relay after $FETCH_TRIES tr$( ((FETCH_TRIES == 1)) && echo y || echo ies)"
    check_page first "$expected"
else
    fail "first fetch: $(cat "$VC_WORK/first.report")"
fi
check_eq "the gateway logged one identity" 1 "$(wc -l <"$EMU_IDLOG")"
if grep -q "\"org\": \"$ORG\"" "$EMU_IDLOG"; then
    ok "identity log carries the organisation"
else
    fail "identity log: $(cat "$EMU_IDLOG")"
fi
if echo "$whoami" | grep -q '^user-sid: S-1-5-21-'; then
    ok "the user's SID is a machine account SID: $(echo "$whoami" | sed -n 's/^user-sid: //p')"
else
    fail "unexpected user SID: $(echo "$whoami" | grep '^user-sid')"
fi

# The session is cached now: a second connection gets only the user's
# S-1-5-21- groups, named from the group mappings.
cached_groups=$(echo "$whoami" | domain_groups)
expected_cached=$(echo "$whoami" | grep '^user: '
    echo "groups: $(echo -n "$cached_groups" | grep -c '^group: ')"
    [[ -n "$cached_groups" ]] && echo "$cached_groups")
if fetch second "$LISTEN_PORT"; then
    ok "second page fetched after $FETCH_TRIES tr$( ((FETCH_TRIES == 1)) && echo y || echo ies)"
    check_page second "$expected_cached"
else
    fail "second fetch: $(cat "$VC_WORK/second.report")"
fi

# 7. The group mappings file, in Wine's C:\ProgramData.
mappings="$DATA_DIR/group_mappings.txt"
if [[ -f "$mappings" ]]; then
    ok "group mappings file exists: C:\\ProgramData\\Tarnwicket\\VornClient\\group_mappings.txt"
    if cmp -s <(echo "$whoami" | expected_mappings) "$mappings"; then
        ok "group mappings file holds every named group of the token, sorted by SID"
    else
        fail "group mappings file differs from the token's named groups"
        diff <(echo "$whoami" | expected_mappings) "$mappings" | cat -A | sed 's/^/    /'
    fi
else
    fail "no group mappings file in $DATA_DIR"
fi

# 6. Remove: stops the running service first.
out=$("$WINE" "$INSTALLED_EXE" -remove | strip_cr)
if [[ "$out" =~ ^"Stopping $DISPLAY_NAME."\.*$'\n'"$DISPLAY_NAME stopped."$'\n'"$DISPLAY_NAME removed."$ ]]; then
    ok "-remove prints the stopping, stopped and removed lines"
else
    fail "-remove printed: [$out]"
fi
if wait_until 30 not_listening "$LISTEN_PORT"; then
    ok "the relay's port is closed after removal"
else
    fail "the relay still listens on $LISTEN_PORT after removal"
fi
if "$WINE" sc query VornClient >/dev/null 2>&1; then
    fail "the service still exists after -remove"
else
    ok "the service is gone"
fi
check_eq "-remove deletes the event source" "" "$(reg_values "$SOURCE_KEY")"

# The service's diagnostic messages. In a fresh prefix there is no mappings
# file to read, and no backup or current file to move aside at the first
# rewrite: none of that is an error.
if [[ -n "$WINE_SYSTEM_LOG" ]]; then
    events=$(event_log_after "$log_start")
    echo "$events" | sed 's/^/    event: /'
    check_eq "event log: the relay logged its start, then its stop" \
        "trace service starting"$'\n'"trace service stopping" \
        "$(echo "$events" | grep -E '^trace service (starting|stopping)$')"
    # Wine enumerates no sessions at start-up and runs everything in
    # session 1, so the first connection adds that session to the cache.
    check_eq "event log: the first connection added session 1" \
        "trace UserInformation::updateCache()session id 1 not found in m_sessIdToUser, adding it now" \
        "$(echo "$events" | grep -E '^trace UserInformation::updateCache\(\)')"
    check_eq "event log: a first start logs no error" \
        "" "$(echo "$events" | grep -E '^(err|warn) ')"
else
    skip_check "event log checks" "WINE_SYSTEM_LOG not set"
fi

finish
