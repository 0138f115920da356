#!/usr/bin/env bash
# redis-local.sh - a small local Redis deployment for trying the store on
# Redis: a primary, one replica and one Sentinel on free loopback ports.
# Every server keeps an append-only file in its own folder below DIR
# (DIR/primary, DIR/replica), synced to disk before each write is answered
# (appendfsync always; no RDB snapshots): a server killed and started again
# at once comes back with every write it acknowledged, and its replica
# resyncs to that, not to an empty data set.
#
#   bash scripts/redis-local.sh start DIR            # starts them, writes DIR/store.conf
#   bash scripts/redis-local.sh stop DIR             # ends them (the data stays in DIR)
#   bash scripts/redis-local.sh restart-primary DIR  # kill -9 of the primary, started again at once
set -euo pipefail

usage() { echo "usage: $0 start|stop|restart-primary DIR" >&2; exit 2; }
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

wait_ping() {  # port (a server still loading its append-only file answers LOADING)
    for _ in $(seq 1 300); do
        [ "$(redis-cli -h 127.0.0.1 -p "$1" ping 2>/dev/null)" = "PONG" ] && return 0
        sleep 0.1
    done
    echo "redis-local: nothing answers on port $1 (see the logs in $dir)" >&2
    exit 1
}

wait_replica() {  # primary port, replica port: the replica has its copy
    for _ in $(seq 1 300); do
        redis-cli -h 127.0.0.1 -p "$1" info replication 2>/dev/null | grep -q "port=$2,state=online" && return 0
        sleep 0.1
    done
    echo "redis-local: the replica on port $2 is not online (see the logs in $dir)" >&2
    exit 1
}

# Starts server NAME (primary or replica) with the arguments kept in
# DIR/NAME.args, one a line, so that a restart runs it exactly as before.
start_server() {  # name
    local args
    mapfile -t args < "$dir/$1.args"
    redis-server "${args[@]}"
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
    # REDIS_LOCAL_FSYNC=everysec|no (or off: no append-only file) trades the
    # promise above for speed; bench/run.sh --persistence uses it to measure.
    case "${REDIS_LOCAL_FSYNC:-always}" in
        always|everysec|no) persistence="--appendonly yes --appendfsync ${REDIS_LOCAL_FSYNC:-always}" ;;
        off) persistence="--appendonly no" ;;
        *) echo "redis-local: REDIS_LOCAL_FSYNC is always, everysec, no or off" >&2; exit 2 ;;
    esac
    primary=$(free_port); replica=$(free_port); sentinel=$(free_port)
    mkdir -p "$dir/primary" "$dir/replica"
    for name in primary replica; do
        port=$primary; [ "$name" = replica ] && port=$replica
        printf '%s\n' --port "$port" --bind 127.0.0.1 --dir "$dir/$name" \
            $persistence --save "" \
            --daemonize yes --pidfile "$dir/$name.pid" --logfile "$dir/$name.log" --repl-diskless-sync-delay 0 \
            > "$dir/$name.args"
    done
    printf '%s\n' --replicaof 127.0.0.1 "$primary" >> "$dir/replica.args"
    start_server primary
    wait_ping "$primary"
    start_server replica
    wait_ping "$replica"
    wait_replica "$primary" "$replica"
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
Redis primary 127.0.0.1:$primary, replica 127.0.0.1:$replica, Sentinel 127.0.0.1:$sentinel.
Persistence: each server appends every write to its append-only file ($dir/primary, $dir/replica)
and syncs it to disk before answering (appendfsync always), so a server killed and started again
keeps every write it acknowledged.
Configuration: $dir/store.conf
  $root/tools/run-demo --config $dir/store.conf
  $root/tools/tessera-admin --config $dir/store.conf regions
Kill -9 the primary and start it again at once: bash $0 restart-primary $dir
Stop them: bash $0 stop $dir
EOF
    ;;
restart-primary)
    [ -f "$dir/primary.pid" ] && [ -f "$dir/primary.args" ] || { echo "redis-local: no servers in $dir" >&2; exit 1; }
    primary=$(sed -n 2p "$dir/primary.args")
    replica=$(sed -n 2p "$dir/replica.args")
    kill -9 "$(cat "$dir/primary.pid")" 2>/dev/null || true
    for _ in $(seq 1 50); do  # the port is free once the process is gone
        (exec 3<>"/dev/tcp/127.0.0.1/$primary") 2>/dev/null || break
        sleep 0.1
    done
    start_server primary
    wait_ping "$primary"
    wait_replica "$primary" "$replica"
    echo "redis-local: primary 127.0.0.1:$primary killed and started again from $dir/primary; replica 127.0.0.1:$replica online"
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
