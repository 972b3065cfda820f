#!/usr/bin/env bash
# Dorvane against the real web servers an administrator puts in front of a
# backup service: Debian's lighttpd, Apache httpd and nginx, each with its
# packaged configuration, of which only the listening port (on 127.0.0.1),
# the document root and the run-time files (pid, logs, in a private
# directory) are changed; nginx also gets a name-based virtual host for
# "localhost" beside its default server, which answers a web page. The
# document roots serve /as/wapi/retrieve_db as a static file: a database,
# the service's tagged failure reply, or a web page. nginx also serves the
# backup over TLS (a private CA's certificate for localhost), and Debian's
# tinyproxy, as packaged but for its port and run-time files, is the
# forward proxy in front of it: https: through CONNECT, http: through the
# proxy, no_proxy, and a proxy that is down.
#
# Each server is run in the foreground from a private directory and
# stopped on exit; nothing under /etc is changed.
#
# Usage: scripts/test-interop.sh        (builds Dorvane in ./build when needed)
#
# To add a server: a start_NAME function that calls start_daemon, then
# the cases (expect_backup, expect_failure_reply, expect_web_page) against
# its port.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
# shellcheck source=scripts/lib.sh
. "$root/scripts/lib.sh"

scripts/install-deps.sh lighttpd apache2 nginx curl tinyproxy openssl
cmake --preset linux >/dev/null
cmake --build build -j "$build_jobs" --target Dorvane >/dev/null
dorvane="$root/build/Dorvane"
dorvane_timeout=60

work=$(mktemp -d "${TMPDIR:-/tmp}/dorvane-interop.XXXXXX")
daemon_pids=()
# shellcheck disable=SC2317 # called through the trap
cleanup() {
    local code=$? pid
    for pid in "${daemon_pids[@]}"; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    for pid in "${daemon_pids[@]}"; do
        wait "$pid" 2>/dev/null || true
    done
    [ "$code" -eq 0 ] || tail -n 20 "$work"/*/logs/* 2>/dev/null >&2 || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM
# The servers' workers run as www-data: they must read the document roots.
chmod 755 "$work"

# --- What the servers serve

database="$work/source.db"
"$root/scripts/make-example-db.sh" "$database" 2000 >/dev/null
make_tls_certificates "$work"
failure_text='<__Status__>FAILED</__Status__><__Reason__>Invalid e-mail address or password</__Reason__>'
web_page='<!DOCTYPE html>
<html><head><title>Welcome!</title></head><body><h1>It works!</h1></body></html>'

# serve DIR WHAT: DIR/as/wapi/retrieve_db becomes the database, the failure
# reply or the web page (WHAT: database, failure, page). A new file each
# time, and a pause past the servers' one-second caches of file facts.
serve() {
    local file="$1/as/wapi/retrieve_db"
    mkdir -p "$(dirname "$file")"
    case $2 in
        database) cp "$database" "$file.new" ;;
        failure) printf '%s' "$failure_text" >"$file.new" ;;
        page) printf '%s\n' "$web_page" >"$file.new" ;;
    esac
    chmod -R a+rX "$1"
    mv -f "$file.new" "$file"
    sleep 1.1
}

# --- Starting the servers

# free_loopback_port: a port of 127.0.0.1 that nothing listens on now.
free_loopback_port() {
    python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1]); s.close()'
}

# start_daemon NAME PORT COMMAND...: runs the server in the foreground in
# the background, its output in $work/NAME/logs/console.log, and waits up
# to 15 s until its port answers HTTP.
start_daemon() {
    local name="$1" port="$2"
    shift 2
    "$@" >"$work/$name/logs/console.log" 2>&1 &
    daemon_pids+=($!)
    for _ in $(seq 150); do
        curl -s -o /dev/null "http://127.0.0.1:$port/" && return 0
        kill -0 "${daemon_pids[-1]}" 2>/dev/null || break
        sleep 0.1
    done
    fail "$name did not start: $(cat "$work/$name"/logs/* 2>/dev/null)"
}

# new_server NAME: sets dir ($work/NAME, with logs/ and www/) and port.
new_server() {
    dir="$work/$1"
    mkdir -p "$dir/logs" "$dir/www" "$dir/run"
    chmod -R a+rX "$dir"
    chmod 777 "$dir/logs"
    port=$(free_loopback_port)
}

start_lighttpd() {
    new_server lighttpd
    # The packaged file, but for the port, the root, the run-time files and
    # the IPv6 listener on every address that it adds.
    sed -e "s|^server.port .*|server.port = $port\nserver.bind = \"127.0.0.1\"|" \
        -e "s|\"/var/www/html\"|\"$dir/www\"|" \
        -e "s|\"/var/log/lighttpd/error.log\"|\"$dir/logs/error.log\"|" \
        -e "s|\"/run/lighttpd.pid\"|\"$dir/run/lighttpd.pid\"|" \
        -e '/use-ipv6.pl/d' /etc/lighttpd/lighttpd.conf >"$dir/lighttpd.conf"
    /usr/sbin/lighttpd -tt -f "$dir/lighttpd.conf" >/dev/null
    start_daemon lighttpd "$port" /usr/sbin/lighttpd -D -f "$dir/lighttpd.conf"
}

start_apache() {
    new_server apache
    # The packaged apache2.conf from /etc/apache2 (its modules and
    # settings), listening on one port with one site: the packaged default
    # site with the private document root.
    sed -e "s|^Include ports.conf|Listen 127.0.0.1:$port|" \
        -e "s|^IncludeOptional sites-enabled/\*.conf|Include $dir/site.conf|" \
        /etc/apache2/apache2.conf >"$dir/apache2.conf"
    sed -e "s|\*:80|*:$port|" -e "s|/var/www/html|$dir/www|" /etc/apache2/sites-available/000-default.conf \
        >"$dir/site.conf"
    printf '<Directory %s/www/>\n\tRequire all granted\n</Directory>\n' "$dir" >>"$dir/site.conf"
    local env=(env APACHE_RUN_USER=www-data APACHE_RUN_GROUP=www-data APACHE_RUN_DIR="$dir/run"
        APACHE_PID_FILE="$dir/run/apache2.pid" APACHE_LOCK_DIR="$dir/run" APACHE_LOG_DIR="$dir/logs" LANG=C)
    "${env[@]}" /usr/sbin/apache2 -d /etc/apache2 -f "$dir/apache2.conf" -t 2>/dev/null ||
        fail "apache2 refused its configuration: $("${env[@]}" /usr/sbin/apache2 -d /etc/apache2 -f "$dir/apache2.conf" -t 2>&1)"
    start_daemon apache "$port" "${env[@]}" /usr/sbin/apache2 -d /etc/apache2 -f "$dir/apache2.conf" -DFOREGROUND
}

start_nginx() {
    new_server nginx
    mkdir -p "$dir/default" "$dir/sites"
    # The packaged nginx.conf with its run-time files here and these sites:
    # the packaged default server, answering its welcome page for every
    # path, and a name-based virtual host for localhost with the backup.
    sed -e "s|^pid .*|pid $dir/run/nginx.pid;|" \
        -e "s|/var/log/nginx/|$dir/logs/|" \
        -e "s|include /etc/nginx/sites-enabled/\*;|include $dir/sites/*;|" /etc/nginx/nginx.conf >"$dir/nginx.conf"
    # shellcheck disable=SC2016 # nginx's variables, not the shell's
    sed -e "s|listen 80 default_server;|listen 127.0.0.1:$port default_server;|" -e '/listen \[::\]:80/d' \
        -e "s|root /var/www/html;|root $dir/default;|" -e 's|try_files $uri $uri/ =404;|try_files $uri /index.html;|' \
        /etc/nginx/sites-available/default >"$dir/sites/default"
    printf 'server {\n\tlisten 127.0.0.1:%s;\n\tserver_name localhost;\n\troot %s/www;\n}\n' "$port" "$dir" \
        >"$dir/sites/backup"
    tls_port=$(free_loopback_port)
    printf 'server {\n\tlisten 127.0.0.1:%s ssl;\n\tserver_name localhost;\n\troot %s/www;\n' "$tls_port" "$dir" \
        >"$dir/sites/backup-tls"
    printf '\tssl_certificate %s/localhost.pem;\n\tssl_certificate_key %s/localhost.key;\n}\n' "$work" "$work" \
        >>"$dir/sites/backup-tls"
    printf '%s\n' "$web_page" >"$dir/default/index.html"
    chmod -R a+rX "$dir/default"
    local nginx=(/usr/sbin/nginx -e "$dir/logs/error.log" -p "$dir" -c "$dir/nginx.conf")
    "${nginx[@]}" -t -q
    start_daemon nginx "$port" "${nginx[@]}" -g 'daemon off;'
}

start_tinyproxy() {
    new_server tinyproxy
    chmod 777 "$dir/run"
    # The packaged file but for the port, the address and the run-time files.
    sed -e "s|^Port .*|Port $port\nListen 127.0.0.1|" -e "s|^PidFile .*|PidFile \"$dir/run/tinyproxy.pid\"|" \
        -e "s|^LogFile .*|LogFile \"$dir/logs/tinyproxy.log\"|" /etc/tinyproxy/tinyproxy.conf >"$dir/tinyproxy.conf"
    start_daemon tinyproxy "$port" /usr/bin/tinyproxy -d -c "$dir/tinyproxy.conf"
}

# --- The cases

# run_against NAME URL: configures a fresh client directory ($client) for
# URL and runs the download; sets code to its exit status.
run_against() {
    client="$work/$1/client-$((++runs))"
    mkdir "$client"
    dorvane_configure "$client" "$2" user@example.com secret
    code=0
    dorvane_in "$client" || code=$?
}
runs=0

# no_time_out: the run was not ended by the 7 s time-out (record 195).
no_time_out() {
    ! grep -q "^Message: Timeout now" "$client/Dorvane.txt" || fail "$1: the run waited for the time-out"
}

# expect_backup NAME URL: the backup is saved, byte for byte.
expect_backup() {
    run_against "$1" "$2"
    [ "$code" -eq 0 ] || fail "$1 $2: exit $code: $(cat "$client/Dorvane.txt")"
    saved_backup "$client"
    cmp -s "$database" "$backup" || fail "$1 $2: the backup differs from the database"
    grep -q "^Line: 184$" "$client/Dorvane.txt" || fail "$1 $2: no completion record 184"
    no_time_out "$1 $2"
    say "$1: $2 saves the database byte for byte"
}

# expect_failure_reply NAME URL: the reason is printed, nothing is saved.
expect_failure_reply() {
    run_against "$1" "$2"
    [ "$code" -eq 8 ] || fail "$1 $2: exit $code for a failure reply: $(cat "$client/Dorvane.txt")"
    [ "$(cat "$client/out.txt")" = "Invalid e-mail address or password" ] || fail "$1 $2: printed $(cat "$client/out.txt")"
    ! ls "$client"/Database.* >/dev/null 2>&1 || fail "$1 $2: a failure reply left a file"
    no_time_out "$1 $2"
    say "$1: $2 shows the failure reply"
}

# expect_web_page NAME URL TYPE: refused as a web page (exit 7), twice,
# nothing saved; TYPE is what the record names in its parenthesis.
expect_web_page() {
    run_against "$1" "$2"
    [ "$code" -eq 7 ] || fail "$1 $2: exit $code for a web page: $(cat "$client/Dorvane.txt")"
    [ "$(grep -c "^Message: Refused reply: a web page ($3), not a database$" "$client/Dorvane.txt")" -eq 2 ] ||
        fail "$1 $2: no web-page refusals: $(cat "$client/Dorvane.txt")"
    ! ls "$client"/Database.* >/dev/null 2>&1 || fail "$1 $2: a web page left a file"
    say "$1: $2 refuses the web page"
}

# A static server's cases, one document root, by name and by address.
static_server_cases() {
    local name="$1" www="$work/$1/www" p="$2"
    serve "$www" database
    expect_backup "$name" "http://localhost:$p"
    expect_backup "$name" "http://127.0.0.1:$p/any/path"
    serve "$www" failure
    expect_failure_reply "$name" "http://localhost:$p"
    serve "$www" page
    expect_web_page "$name" "http://127.0.0.1:$p" "the body begins as HTML"
}

start_lighttpd
say "lighttpd $(/usr/sbin/lighttpd -v | sed -n 's|^lighttpd/\([^ ]*\).*|\1|p') on 127.0.0.1:$port"
static_server_cases lighttpd "$port"

start_apache
say "$(/usr/sbin/apache2 -v | sed -n 's|^Server version: ||p') on 127.0.0.1:$port"
static_server_cases apache "$port"

start_nginx
say "$(/usr/sbin/nginx -v 2>&1 | sed 's|.*: ||') on 127.0.0.1:$port"
serve "$work/nginx/www" database
expect_backup nginx "http://localhost:$port"
# By address the request names no virtual host: the default server answers.
expect_web_page nginx "http://127.0.0.1:$port" "text/html"
serve "$work/nginx/www" failure
expect_failure_reply nginx "http://localhost:$port"

nginx_port=$port

# --- Through tinyproxy, to nginx. The variables reach Dorvane through the launcher.
start_tinyproxy
proxy_port=$port
down_port=$(free_loopback_port)
say "$(/usr/bin/tinyproxy -v 2>&1) on 127.0.0.1:$proxy_port"
proxy_log="$work/tinyproxy/logs/tinyproxy.log"
serve "$work/nginx/www" database
# through_proxy WHAT: the last run went through the proxy (record 112) and the proxy's log shows WHAT.
through_proxy() {
    grep -q "^Message: Through the proxy 127.0.0.1:$proxy_port " "$client/Dorvane.txt" ||
        fail "tinyproxy: no record of the proxy: $(cat "$client/Dorvane.txt")"
    grep -qF "$1" "$proxy_log" || fail "tinyproxy: its log does not show $1: $(tail -n 5 "$proxy_log")"
}
dorvane_launcher="env https_proxy=http://127.0.0.1:$proxy_port SSL_CERT_FILE=$work/ca.pem"
expect_backup tinyproxy "https://localhost:$tls_port"
through_proxy "CONNECT localhost:$tls_port"
dorvane_launcher="env http_proxy=http://127.0.0.1:$proxy_port"
expect_backup tinyproxy "http://localhost:$nginx_port"
through_proxy "GET http://localhost:$nginx_port/as/wapi/retrieve_db"
# no_proxy sends the host direct, past a proxy that is down.
dorvane_launcher="env http_proxy=http://127.0.0.1:$down_port no_proxy=.localhost"
expect_backup tinyproxy "http://localhost:$nginx_port"
grep -q "^Message: Direct to localhost: no_proxy names it" "$client/Dorvane.txt" || fail "tinyproxy: no no_proxy record"
dorvane_launcher="env https_proxy=http://127.0.0.1:$down_port SSL_CERT_FILE=$work/ca.pem"
run_against tinyproxy "https://localhost:$tls_port"
[ "$code" -eq 4 ] || fail "a proxy that is down: exit $code: $(cat "$client/Dorvane.txt")"
[ "$(grep -c "^Message: The proxy 127.0.0.1:$down_port cannot be reached$" "$client/Dorvane.txt")" -eq 2 ] ||
    fail "a proxy that is down: no records naming it: $(cat "$client/Dorvane.txt")"
say "tinyproxy: a proxy that is down fails each attempt naming it (exit 4)"
dorvane_launcher=""

say "interop: Dorvane against lighttpd, Apache and nginx, and through tinyproxy, passed"
