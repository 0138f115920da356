#!/usr/bin/env bash
# redis-local.sh - a small local Redis deployment for trying the store on
# Redis: a primary, one replica and one Sentinel on free loopback ports, no
# persistence.
#
#   bash scripts/redis-local.sh start DIR   # starts them, writes DIR/store.conf
#   bash scripts/redis-local.sh stop DIR    # ends them
set -euo pipefail

usage() { echo "usage: $0 start|stop DIR" >&2; exit 2; }
[ $# -eq 2 ] || usage
cmd="$1"
dir="$2"

# A loopback port nobody listens on (one attempt each, bounded).
free_port() {
    local p
    for _ in $(seq 1 200); do
        p=$(( 20000 + RANDOM % 40000 ))
        case " ${taken:-} " in *" $p "*) continue ;; esac
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            taken="${taken:-} $p"
            echo "$p"
            return 0
        fi
    done
    echo "redis-local: no free port found" >&2
    exit 1
}

wait_ping() {  # port
    for _ in $(seq 1 100); do
        [ "$(redis-cli -h 127.0.0.1 -p "$1" ping 2>/dev/null)" = "PONG" ] && return 0
        sleep 0.1
    done
    echo "redis-local: nothing answers on port $1 (see the logs in $dir)" >&2
    exit 1
}

case "$cmd" in
start)
    for b in redis-server redis-sentinel redis-cli; do
        command -v "$b" >/dev/null || { echo "redis-local: $b not found (bash scripts/setup.sh installs it)" >&2; exit 1; }
    done
    mkdir -p "$dir"
    dir="$(cd "$dir" && pwd)"
    if [ -f "$dir/primary.pid" ]; then
        echo "redis-local: $dir already has servers; stop them first" >&2
        exit 1
    fi
    primary=$(free_port); replica=$(free_port); sentinel=$(free_port)
    common=(--bind 127.0.0.1 --save "" --appendonly no --dir "$dir" --daemonize yes --repl-diskless-sync-delay 0)
    redis-server --port "$primary" "${common[@]}" --pidfile "$dir/primary.pid" --logfile "$dir/primary.log"
    wait_ping "$primary"
    redis-server --port "$replica" "${common[@]}" --pidfile "$dir/replica.pid" --logfile "$dir/replica.log" \
        --replicaof 127.0.0.1 "$primary"
    wait_ping "$replica"
    for _ in $(seq 1 100); do  # the replica has its first copy
        redis-cli -h 127.0.0.1 -p "$primary" info replication 2>/dev/null | grep -q "state=online" && break
        sleep 0.1
    done
    cat > "$dir/sentinel.conf" <<EOF
port $sentinel
bind 127.0.0.1
daemonize yes
pidfile $dir/sentinel.pid
logfile $dir/sentinel.log
dir $dir
sentinel monitor mirrorbank 127.0.0.1 $primary 1
sentinel down-after-milliseconds mirrorbank 1000
sentinel failover-timeout mirrorbank 5000
EOF
    redis-sentinel "$dir/sentinel.conf"
    wait_ping "$sentinel"
    cat > "$dir/store.conf" <<EOF
# Written by scripts/redis-local.sh: a local primary, replica and Sentinel.
backend redis
primary 127.0.0.1 $primary
replica 127.0.0.1 $replica
sentinel 127.0.0.1 $sentinel
master-name mirrorbank
EOF
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    cat <<EOF
Redis primary 127.0.0.1:$primary, replica 127.0.0.1:$replica, Sentinel 127.0.0.1:$sentinel (no persistence).
Configuration: $dir/store.conf
  $root/tools/run-demo --config $dir/store.conf
  $root/tools/tessera-admin --config $dir/store.conf regions
Stop them: bash $0 stop $dir
EOF
    ;;
stop)
    for name in sentinel replica primary; do
        f="$dir/$name.pid"
        [ -f "$f" ] || continue
        pid=$(cat "$f")
        kill "$pid" 2>/dev/null || true
        for _ in $(seq 1 50); do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -9 "$pid" 2>/dev/null || true
        rm -f "$f"
    done
    echo "redis-local: stopped the servers of $dir"
    ;;
*) usage ;;
esac
