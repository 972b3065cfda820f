# Sourced by the scripts that run BackupService: their messages, and
# starting the service on a free loopback port and stopping it again.

say() { printf '==> %s\n' "$*"; }
fail() {
    printf 'FAILED: %s\n' "$*" >&2
    exit 1
}

service_pid=

# start_backup_service SERVICE LOG_DIR ARGUMENT...: starts SERVICE with
# --listen 127.0.0.1:0 and the arguments, its output in LOG_DIR/service.log
# and service.err, and waits up to 30 s for its "listening on" line. Sets
# service_pid and port.
start_backup_service() {
    local service=$1 log_dir=$2
    shift 2
    : >"$log_dir/service.log"
    "$service" --listen 127.0.0.1:0 "$@" >"$log_dir/service.log" 2>"$log_dir/service.err" &
    service_pid=$!
    local line=
    for _ in $(seq 300); do
        line=$(head -n 1 "$log_dir/service.log" 2>/dev/null || true)
        [[ $line == "listening on "* ]] && break
        kill -0 "$service_pid" 2>/dev/null || fail "BackupService stopped: $(cat "$log_dir/service.err")"
        sleep 0.1
    done
    [[ $line == "listening on 127.0.0.1:"* ]] || fail "BackupService did not start (log: $log_dir/service.log)"
    port=${line##*:}
}

stop_backup_service() {
    if [ -n "$service_pid" ]; then
        kill "$service_pid" 2>/dev/null || true
        wait "$service_pid" 2>/dev/null || true
        service_pid=
    fi
}
