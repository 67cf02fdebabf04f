#!/usr/bin/env bash
# A real browser through the whole chain. Chromium, run by an ordinary user,
# uses the relay as its HTTP proxy; the relay's gateway is the emulator in
# forward mode; the gateway's CONNECT to 127.0.0.1:8080 reaches squid, its
# filtering proxy, which fetches from nginx serving a test site over HTTP and
# HTTPS. A page with 100 subresources must load completely both ways, squid
# must have seen every request and the gateway the user on every tunnel.
# Then chromium shows the relay's own error pages (500, 502, 504), which are
# checked in the DOM and saved as screenshots in the logs folder.
#
# Needs root and the packages chromium, squid, nginx and openssl. Runs in a
# network namespace of its own when it can, so port 8080 is surely free.
if [[ -z "${VC_CHAIN_NETNS:-}" && $(id -u) == 0 ]] && command -v ip >/dev/null &&
    unshare --net true 2>/dev/null; then
    VC_CHAIN_NETNS=1 exec unshare --net bash "$0" "$@"
fi
source "$(dirname "$0")/lib.sh"
[[ $(id -u) == 0 ]] || skip "needs root to create a user and to let the relay read its sockets"
for tool in chromium squid nginx openssl useradd runuser timeout; do
    command -v "$tool" >/dev/null || skip "needs $tool"
done
: "${FAULT_SHIM:?FAULT_SHIM must name the socket fault library}"
if [[ "${VC_CHAIN_NETNS:-}" == 1 ]]; then
    ip link set lo up
elif port_in_use 8080; then
    fail "port 8080 is taken, and no network namespace of our own is possible"
    finish
fi

repo=$(cd "$(dirname "$0")/../.." && pwd)
logs=${VC_LOGS_DIR:-$repo/build-logs}
tree=$(basename "$(dirname "$VC_BIN")")  # keeps the screenshots of each build tree apart
shots="$logs/screenshots"
mkdir -p "$shots"
rm -f "$shots/$tree-error-"*.png  # none may survive from an earlier run
site_name=site.test
org="Example Org"
subresources=100  # 60 images, 39 scripts and one XHR

user="vcchain$$"
useradd -M -U -s /bin/sh "$user"
VC_USERS+=("$user")
VC_GROUPS+=("$user")
uid=$(id -u "$user")
browser_home="$VC_WORK/home"
install -d -o "$user" -g "$user" -m 700 "$browser_home"

# Chromium leaves child processes behind when it is cut short; they belong
# to the throwaway user alone, and must go before the user does.
chain_cleanup() {
    local pid
    for pid in $(ps -o pid= -u "$uid" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
    vc_cleanup
}
trap chain_cleanup EXIT

# The site: one page that counts what loaded and writes the count into the DOM.
make_site() {
    local root="$VC_WORK/site" i
    mkdir -p "$root/img" "$root/js"
    printf 'GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff!\xf9\x04\x01\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02D\x01\x00;' \
        >"$root/img/pixel.gif"
    for ((i = 1; i <= 60; i++)); do cp "$root/img/pixel.gif" "$root/img/$i.gif"; done
    for ((i = 1; i <= 39; i++)); do echo "loadedOne('js/$i.js');" >"$root/js/$i.js"; done
    echo '{"status": "ok"}' >"$root/data.json"
    {
        cat <<'EOF'
<!DOCTYPE html>
<html><head><title>chain</title>
<script>
var expected = 100, loaded = 0, failed = [];
function show() {
  var out = document.getElementById("result");
  if (out) out.textContent = "loaded " + loaded + " of " + expected + ", failed: " + failed.join(" ");
}
function loadedOne() { loaded++; show(); }
function failedOne(what) { failed.push(what); show(); }
</script>
EOF
        for ((i = 1; i <= 39; i++)); do echo "<script src=\"js/$i.js\" onerror=\"failedOne('js/$i.js')\"></script>"; done
        echo '</head><body><p id="result">nothing loaded</p>'
        for ((i = 1; i <= 60; i++)); do
            echo "<img src=\"img/$i.gif\" onload=\"loadedOne()\" onerror=\"failedOne('img/$i.gif')\">"
        done
        cat <<'EOF'
<script>
var xhr = new XMLHttpRequest();
xhr.open("GET", "data.json");
xhr.onload = function () {
  if (xhr.status == 200 && xhr.responseText.indexOf('"ok"') >= 0) loadedOne(); else failedOne("xhr");
};
xhr.onerror = function () { failedOne("xhr"); };
xhr.send();
</script>
</body></html>
EOF
    } >"$root/index.html"
    chmod -R a+rX "$root"
}

# nginx on two free ports, HTTP and HTTPS, with a certificate made here.
start_nginx() {
    local dir="$VC_WORK/nginx"
    mkdir -p "$dir"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
        -subj "/CN=$site_name" -addext "subjectAltName=DNS:$site_name" \
        -keyout "$dir/site.key" -out "$dir/site.crt" >"$dir/openssl.log" 2>&1
    HTTP_PORT=$(free_port)
    HTTPS_PORT=$(free_port)
    [[ "$HTTPS_PORT" != "$HTTP_PORT" ]] || HTTPS_PORT=$((HTTP_PORT + 1))
    cat >"$dir/nginx.conf" <<EOF
daemon off;
worker_processes 1;
user nobody nogroup;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 256; }
http {
    types { text/html html; image/gif gif; application/javascript js; application/json json; }
    log_format chain '\$server_port \$request_method \$request_uri \$status';
    access_log $dir/access.log chain;
    client_body_temp_path $dir/body;
    proxy_temp_path $dir/proxy;
    fastcgi_temp_path $dir/fastcgi;
    uwsgi_temp_path $dir/uwsgi;
    scgi_temp_path $dir/scgi;
    server {
        listen 127.0.0.1:$HTTP_PORT;
        listen 127.0.0.1:$HTTPS_PORT ssl;
        server_name $site_name;
        ssl_certificate $dir/site.crt;
        ssl_certificate_key $dir/site.key;
        root $VC_WORK/site;
    }
}
EOF
    nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" >"$dir/out.log" 2>&1 &
    VC_PIDS+=($!)
    NGINX_LOG="$dir/access.log"
    if ! wait_until 20 port_listening "$HTTPS_PORT"; then
        cat "$dir/out.log" "$dir/error.log" >&2 2>/dev/null
        fail "nginx did not start"
        finish
    fi
}

# squid on 127.0.0.1:8080, the port that the relay's CONNECT names; it
# knows the site's name from a hosts file, refuses every other site at once
# (the network is closed) and keeps no cache.
start_squid() {
    local dir="$VC_WORK/squid"
    mkdir -p "$dir"
    echo "127.0.0.1 $site_name" >"$dir/hosts"
    cat >"$dir/squid.conf" <<EOF
http_port 127.0.0.1:8080
acl site dstdomain $site_name
http_access allow site
http_access deny all
pid_filename $dir/squid.pid
cache_log $dir/cache.log
access_log stdio:$dir/access.log squid
cache_store_log none
logfile_rotate 0
buffered_logs off
coredump_dir $dir
cache deny all
cache_mem 8 MB
hosts_file $dir/hosts
dns_nameservers 127.0.0.1
pinger_enable off
icp_port 0
htcp_port 0
netdb_filename none
shutdown_lifetime 0 seconds
EOF
    chown -R proxy:proxy "$dir" 2>/dev/null || chmod 777 "$dir"
    squid -N -f "$dir/squid.conf" >"$dir/out.log" 2>&1 &
    VC_PIDS+=($!)
    SQUID_LOG="$dir/access.log"
    if ! wait_until 30 port_listening 8080; then
        cat "$dir/out.log" "$dir/cache.log" >&2 2>/dev/null
        fail "squid did not start"
        finish
    fi
}

# browse NAME PROXY_PORT URL [chromium flags...]: one bounded chromium run as
# the test user, with a fresh profile. The DOM goes to $VC_WORK/NAME.dom.
browse() {
    local name=$1 proxy_port=$2 url=$3
    shift 3
    local profile="$browser_home/$name"
    runuser -u "$user" -- mkdir -p "$profile"
    local rc=0
    timeout -k 5 90 runuser -u "$user" -- env HOME="$browser_home" chromium --headless \
        --no-sandbox --disable-gpu --disable-quic --no-first-run --disable-background-networking \
        --disable-component-update --disable-sync --disable-dev-shm-usage \
        --disable-features=NetworkTimeServiceQuerying \
        --user-data-dir="$profile" --proxy-server="http://127.0.0.1:$proxy_port" "$@" \
        --dump-dom "$url" >"$VC_WORK/$name.dom" 2>"$VC_WORK/$name.chromium.log" || rc=$?
    if ((rc != 0)); then
        echo "FAIL: $name: chromium ended with status $rc; its log ends:" >&2
        grep -v -F dbus "$VC_WORK/$name.chromium.log" | tail -n 20 >&2
        return 1
    fi
}

result_line() { grep -o -E '<p id="result">[^<]*</p>' "$VC_WORK/$1.dom" | sed -E 's/<[^>]*>//g' || true; }

# Every path of the page, the page itself included.
site_paths() {
    local i
    echo /
    for ((i = 1; i <= 39; i++)); do echo "/js/$i.js"; done
    for ((i = 1; i <= 60; i++)); do echo "/img/$i.gif"; done
    echo /data.json
}

# missing_paths PREFIX FILE: how many of the site's paths FILE never shows
# after PREFIX (each followed by a space).
missing_paths() {
    local patterns="$VC_WORK/paths.$BASHPID" found
    site_paths | sed -e "s|^|$1|" -e 's|$| |' >"$patterns"
    found=$(grep -o -F -f "$patterns" "$2" | sort -u | wc -l || true)
    echo $(($(wc -l <"$patterns") - found))
}

# check_logged DESCRIPTION PREFIX FILE: every path shows up (bounded wait,
# the servers write their logs as they go).
check_logged() {
    all_logged() { [[ $(missing_paths "$1" "$2") == 0 ]]; }
    if wait_until 10 all_logged "$2" "$3"; then
        ok "$1"
    else
        fail "$1: $(missing_paths "$2" "$3") path(s) missing from $(basename "$(dirname "$3")")'s log"
    fi
}

make_site
start_nginx
start_squid
start_emulator gw --forward
gateway_port=$EMU_PORT
setup_relay relay 127.0.0.1 "$gateway_port" "$org"
host=$(machine_domain)

# The page over HTTP: squid sees every request, as absolute URLs.
started=$(now_ms)
browse http "$RELAY_PORT" "http://$site_name:$HTTP_PORT/" --virtual-time-budget=20000 ||
    fail "HTTP: chromium run"
check_eq "HTTP: every subresource loaded" "loaded $subresources of $subresources, failed: " \
    "$(result_line http)"
echo "HTTP page: $(($(now_ms) - started)) ms in chromium"
check_logged "HTTP: squid logged every request of the page" "http://$site_name:$HTTP_PORT" \
    "$SQUID_LOG"

# The page over HTTPS: squid sees the CONNECTs, nginx every request inside.
started=$(now_ms)
browse https "$RELAY_PORT" "https://$site_name:$HTTPS_PORT/" --virtual-time-budget=20000 \
    --ignore-certificate-errors || fail "HTTPS: chromium run"
check_eq "HTTPS: every subresource loaded" "loaded $subresources of $subresources, failed: " \
    "$(result_line https)"
echo "HTTPS page: $(($(now_ms) - started)) ms in chromium"
connects=$(grep -c -E " CONNECT $site_name:$HTTPS_PORT " "$SQUID_LOG" || true)
if ((connects > 0)); then
    ok "HTTPS: squid logged $connects CONNECT(s) to the site"
else
    fail "HTTPS: squid logged no CONNECT to $site_name:$HTTPS_PORT"
fi
check_logged "HTTPS: nginx served every request of the page" "$HTTPS_PORT GET " "$NGINX_LOG"
squid_requests=$(grep -c -F "$site_name:" "$SQUID_LOG" || true)
echo "squid logged $squid_requests request(s) to the site"

# Every tunnel carried the test user's identity.
tunnels=$(wc -l <"$EMU_IDLOG")
user_json="\"org\": \"$org\", \"user\": \"$host\\\\$user\""
as_user=$(grep -c -F -- "$user_json" "$EMU_IDLOG" || true)
if ((tunnels > 0)) && [[ "$as_user" == "$tunnels" ]]; then
    ok "the gateway heard $user on all $tunnels tunnels"
else
    fail "the gateway heard $user on $as_user of $tunnels tunnels:"
    head -n 3 "$EMU_IDLOG" >&2
fi
stop_relay

# The relay's own error pages as chromium shows them. Each relay fails in its
# own way; the three browsers run at once, since one waits out the real
# ten-second negotiation limit.
declare -A ports events relays
setup_relay refused 127.0.0.1 "$(free_port)"  # nothing listens there
ports[502]=$RELAY_PORT
events[502]=$RELAY_EVENTS
relays[502]=$RELAY_PID
start_emulator silent --silent-after greeting
setup_relay silent 127.0.0.1 "$EMU_PORT"
ports[504]=$RELAY_PORT
events[504]=$RELAY_EVENTS
relays[504]=$RELAY_PID
# Its gateway sockets fail as if descriptors had run out; the first browser
# connection is accepted before that starts.
ports[500]=$(free_port)
write_registry "$VC_WORK/nosocket.reg" "$org" 127.0.0.1 "$gateway_port" "${ports[500]}" 600
start_relay nosocket service "${ports[500]}" LD_PRELOAD="$FAULT_SHIM" \
    VC_FAIL_SOCKETS_AFTER_ACCEPT_ON="${ports[500]}" \
    ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
events[500]=$RELAY_EVENTS
relays[500]=$RELAY_PID

# The reason line of each page; the system's text for error 10024 may vary.
declare -A reasons=(
    [500]="Could not connect to Tarnwicket (error code 10024 - *)"
    [502]="Could not connect to Tarnwicket (connection refused)"
    [504]="Proxy negotiation timed out"
)
browsers=()
for status in 500 502 504; do
    browse "error-$status" "${ports[$status]}" "http://$site_name:$HTTP_PORT/" \
        --window-size=1024,768 --screenshot="$browser_home/error-$status.png" &
    browsers+=($!)
done
for pid in "${browsers[@]}"; do wait "$pid" || fail "error pages: chromium run"; done
for status in 500 502 504; do
    dom="$VC_WORK/error-$status.dom"
    reason=$(grep -o -E '<h2>[^<]*</h2>' "$dom" | sed -E 's/<[^>]*>//g' || true)
    # shellcheck disable=SC2053  # the expected reason is a pattern
    if grep -q -F '<h1>Error</h1>' "$dom" && [[ "$reason" == ${reasons[$status]} ]] &&
        grep -q -F '<h3>Contact your system administrator to resolve the issue</h3>' "$dom"; then
        ok "$status: chromium shows the error page: $reason"
    else
        fail "$status: chromium shows something else:"
        head -c 600 "$dom" >&2
        echo >&2
    fi
    if [[ -s "$browser_home/error-$status.png" ]]; then
        cp "$browser_home/error-$status.png" "$shots/$tree-error-$status.png"
        ok "$status: screenshot saved as $shots/$tree-error-$status.png"
    else
        fail "$status: no screenshot"
    fi
done
wait_event "${events[502]}" 1 "Could not connect to Tarnwicket (connection refused)"
wait_event "${events[504]}" 1 "SOCKS negotation with Tarnwicket timed out"
wait_event "${events[500]}" 1 "SocksProxyServer::connectToTarnwicket(), failed to create socket \
for connecting to tarnwicket, WSAGetLastError() = 10024"
for status in 500 502 504; do
    stop_relay "${relays[$status]}"
done
finish
