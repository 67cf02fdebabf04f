#!/usr/bin/env bash
# When the gateway cannot be resolved, reached or negotiated with, the
# browser gets the relay's own HTML page, byte for byte, and then the end of
# the stream. One case waits out the real ten-second negotiation limit.
source "$(dirname "$0")/lib.sh"

request=$'GET http://gw.test/identity HTTP/1.1\r\nHost: gw.test\r\n\r\n'

# check_page DESCRIPTION STATUS MESSAGE FILE READER_RC
check_page() {
    expected_error_page "$2" "$3" >"$4.expected"
    check_eq "$1: stream ended by the relay" 0 "$5"
    if cmp -s "$4.expected" "$4"; then
        ok "$1: page is byte-exact"
    else
        fail "$1: page differs; got:"
        head -c 400 "$4" >&2
        echo >&2
    fi
}

# Empty gateway address: resolution fails before any connect.
setup_relay empty "" 1080
rc=$(raw_exchange "$RELAY_PORT" "$request" "$VC_WORK/empty.page")
check_page "empty gateway address" "502 Bad Gateway" "Could not resolve Tarnwicket IP address" \
    "$VC_WORK/empty.page" "$rc"
wait_event "$RELAY_EVENTS" 1 "TarnwicketIPAddress (registry setting) is empty"
stop_relay

# Nothing listens on the gateway port.
setup_relay refused 127.0.0.1 "$(free_port)"
rc=$(raw_exchange "$RELAY_PORT" "$request" "$VC_WORK/refused.page")
check_page "connection refused" "502 Bad Gateway" \
    "Could not connect to Tarnwicket (connection refused)" "$VC_WORK/refused.page" "$rc"
wait_event "$RELAY_EVENTS" 1 "Could not connect to Tarnwicket (connection refused)"
# The relay keeps serving: a second browser gets the same page.
rc=$(raw_exchange "$RELAY_PORT" "" "$VC_WORK/refused2.page")
check_page "connection refused, again" "502 Bad Gateway" \
    "Could not connect to Tarnwicket (connection refused)" "$VC_WORK/refused2.page" "$rc"
stop_relay

# A name with only IPv6 addresses, where the machine has one.
for name in ip6-localhost ip6-loopback localhost6; do
    if getent ahosts "$name" >/dev/null 2>&1 && ! getent ahostsv4 "$name" >/dev/null 2>&1; then
        setup_relay ipv6only "$name" 1080
        rc=$(raw_exchange "$RELAY_PORT" "$request" "$VC_WORK/ipv6.page")
        check_page "IPv6-only gateway name" "502 Bad Gateway" \
            "Could not resolve Tarnwicket IP address" "$VC_WORK/ipv6.page" "$rc"
        wait_event "$RELAY_EVENTS" 1 "No (IPv4) Tarnwicket address found"
        stop_relay
        break
    fi
done

# A gateway that goes silent, after each of the three messages, all at once:
# the negotiation limit of ten seconds ends each with page 504.
stages=(greeting auth connect)
for stage in "${stages[@]}"; do
    start_emulator "silent-$stage" --silent-after "$stage"
    setup_relay "silent-$stage" 127.0.0.1 "$EMU_PORT"
    (
        start=$(now_ms)
        rc=$(raw_exchange "$RELAY_PORT" "$request" "$VC_WORK/silent-$stage.page")
        echo "$rc $(($(now_ms) - start))" >"$VC_WORK/silent-$stage.result"
    ) &
    eval "reader_$stage=\$!"
    eval "relay_$stage=\$RELAY_PID"
    eval "events_$stage=\$RELAY_EVENTS"
done
for stage in "${stages[@]}"; do
    reader="reader_$stage"
    wait "${!reader}" || true
    read -r rc elapsed <"$VC_WORK/silent-$stage.result"
    check_page "silent after $stage" "504 Gateway Timeout" "Proxy negotiation timed out" \
        "$VC_WORK/silent-$stage.page" "$rc"
    if ((elapsed >= 10000 && elapsed < 25000)); then
        ok "silent after $stage: page after $elapsed ms"
    else
        fail "silent after $stage: page after $elapsed ms, expected 10 to 25 s"
    fi
    events="events_$stage"
    wait_event "${!events}" 1 "SOCKS negotation with Tarnwicket timed out"
    relay="relay_$stage"
    stop_relay "${!relay}"
done
finish
