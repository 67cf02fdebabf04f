#!/usr/bin/env bash
# Bytes pass through the relay unchanged: a large download and large uploads
# (with a length and chunked), several downloads at once, and many short
# connections from concurrent clients.
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root (the relay's owner lookup sees every process)"

size=$((128 * 1024 * 1024))
start_emulator gw
setup_relay relay 127.0.0.1 "$EMU_PORT"
proxy="http://127.0.0.1:$RELAY_PORT"

direct=$(curl -sS --max-time 120 "http://127.0.0.1:$EMU_HTTP_PORT/bytes/$size" | sha256sum)
relayed=$(curl -sS --max-time 120 -x "$proxy" "http://gw.test/bytes/$size" | sha256sum)
check_eq "128 MiB download is byte-exact" "$direct" "$relayed"

head -c "$size" /dev/urandom >"$VC_WORK/upload.bin"
want=$(sha256sum <"$VC_WORK/upload.bin" | cut -d' ' -f1)
got=$(curl -sS --max-time 120 -x "$proxy" --data-binary @"$VC_WORK/upload.bin" \
    -H 'Content-Type: application/octet-stream' http://gw.test/sink)
check_eq "128 MiB upload is byte-exact" "$want" "$got"
got=$(curl -sS --max-time 120 -x "$proxy" --data-binary @"$VC_WORK/upload.bin" \
    -H 'Transfer-Encoding: chunked' -H 'Content-Type: application/octet-stream' http://gw.test/sink)
check_eq "chunked 128 MiB upload is byte-exact" "$want" "$got"
rm -f "$VC_WORK/upload.bin"

# Four downloads at once: the pairs' buffers must not mix.
small=$((32 * 1024 * 1024 + 12345))
direct=$(curl -sS --max-time 60 "http://127.0.0.1:$EMU_HTTP_PORT/bytes/$small" | sha256sum)
pids=()
for i in 1 2 3 4; do
    curl -sS --max-time 120 -x "$proxy" "http://gw.test/bytes/$small" -o "$VC_WORK/par$i" &
    pids+=($!)
done
for i in 1 2 3 4; do
    wait "${pids[$((i - 1))]}" || fail "parallel download $i failed"
    check_eq "parallel download $i" "$direct" "$(sha256sum <"$VC_WORK/par$i")"
done

if [[ -n "${LOADGEN_BIN:-}" && -x "$LOADGEN_BIN" ]]; then
    if out=$("$LOADGEN_BIN" --port "$RELAY_PORT" --clients 50 --connections 300 \
        --duration-ms 120000 --timeout-ms 60000); then
        ok "300 short connections from 50 clients: $(grep '^rate' <<<"$out")"
    else
        fail "short connections: $out"
    fi
fi

stop_relay
finish
