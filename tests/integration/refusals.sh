#!/usr/bin/env bash
# When the gateway refuses the identity or breaks the protocol, the browser's
# connection is closed without a page and the reason is in the event log.
# Gateway diagnostics on success are logged too, and replies that arrive one
# byte at a time still open the tunnel.
source "$(dirname "$0")/lib.sh"

method='SocksProxyServer::handleSocksMethodSelectionMsg()'
auth='SocksProxyServer::handleSubnegotiationReplyMsg()'
diag='SocksProxyServer::readSocksDiagnosticMsg()'
reply='SocksProxyServer::handleSocksConnectRequestReply()'

# refusal NAME "EMULATOR OPTIONS" EXPECTED_EVENT [SECOND_EVENT]
refusal() {
    local name=$1 options=$2
    # shellcheck disable=SC2086 # options are words
    start_emulator "$name" $options
    setup_relay "$name" 127.0.0.1 "$EMU_PORT"
    local rc
    rc=$(raw_exchange "$RELAY_PORT" "" "$VC_WORK/$name.out")
    check_eq "$name: connection closed by the relay" 0 "$rc"
    check_eq "$name: no page, no bytes" 0 "$(wc -c <"$VC_WORK/$name.out")"
    local event
    for event in "${@:3}"; do wait_event "$RELAY_EVENTS" 1 "$event"; done
    stop_relay
}

refusal rejected "--auth-status 1 --diag policy:blocked" \
    "$auth, socks authentication failed" \
    "$diag, socks authentication failure, diagnostic error message = policy:blocked"
refusal no-method "--method 0xFF" "$method, no acceptable socks method"
refusal method-version "--method-version 4" \
    "$method, socks version error, tarnwicket returned version 4"
refusal auth-version "--auth-version 2" \
    "$auth, auth method version error, tarnwicket returned version 2"
refusal auth-status "--auth-status 9" "$auth, auth method unknown status received, value = 9"
refusal rep "--rep 5" "$reply, socks connection request failed, REP = 5"
refusal atyp "--atyp 4" "$reply, socks error, ATYP = 4, expected 0x01 (ipv4)"
refusal reply-version "--reply-version 4" "$reply, socks version error, tarnwicket returned version 4"
refusal gateway-hangs-up "--close-after auth"

# Accepted with a diagnostic text, every reply byte in its own segment.
start_emulator chatty --auth-status 2 --diag "welcome, Example" --split-replies
setup_relay chatty 127.0.0.1 "$EMU_PORT"
page=$(curl -sS --max-time 30 -x "http://127.0.0.1:$RELAY_PORT" http://gw.test/hello || true)
check_eq "split replies and a success text still open the tunnel" hello "$page"
wait_event "$RELAY_EVENTS" 1 "$diag, socks authentication success, diagnostic message = welcome, Example"
stop_relay
finish
