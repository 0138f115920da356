#!/usr/bin/env bash
# redis-local.sh - a small local Redis deployment for trying the store on
# Redis: a primary, one replica and one Sentinel on free loopback ports, or
# (--cluster) a Redis Cluster of three primaries, each with one replica.
# Every server keeps an append-only file in its own folder below DIR
# (DIR/primary, DIR/replica; DIR/node1 ... DIR/node6 for a cluster), synced
# to disk before each write is answered (appendfsync always; no RDB
# snapshots): a server killed and started again at once comes back with
# every write it acknowledged, and its replica resyncs to that, not to an
# empty data set.
#
#   bash scripts/redis-local.sh start DIR            # starts them, writes DIR/store.conf
#   bash scripts/redis-local.sh start DIR --cluster  # a cluster instead, DIR/store.conf says backend redis-cluster
#   bash scripts/redis-local.sh stop DIR             # ends them, single or cluster (the data stays in DIR)
#   bash scripts/redis-local.sh restart-primary DIR  # kill -9 of the primary, started again at once (not for a cluster)
set -euo pipefail

usage() { echo "usage: $0 start DIR [--cluster] | stop DIR | restart-primary DIR (primary and replica only)" >&2; exit 2; }
[ $# -eq 2 ] || { [ $# -eq 3 ] && [ "$1" = start ] && [ "$3" = --cluster ]; } || usage
cmd="$1"
dir="$2"
cluster="${3:-}"

# A loopback port nobody listens on (one attempt each, bounded), in $found;
# $taken keeps the ports already handed out, so two calls never give the
# same one. With `bus`, the port 10000 above it (a cluster node's bus port)
# is free and not handed out as well. Ports come from below the kernel's
# range for outgoing connections when there is room: a port that a
# connection used a moment ago can refuse a listener for a while (TIME_WAIT),
# which a busy machine hits.
read -r ephemeral _ < /proc/sys/net/ipv4/ip_local_port_range 2>/dev/null || ephemeral=0
free_port() {
    local p bus=
    for _ in $(seq 1 200); do
        if [ "${1:-}" = bus ]; then
            if [ "$ephemeral" -gt 25000 ]; then p=$(( 10000 + RANDOM % (ephemeral - 20000) ))
            else p=$(( 20000 + RANDOM % 35000 )); fi
            bus=$(( p + 10000 ))
        elif [ "$ephemeral" -gt 15000 ]; then
            p=$(( 10000 + RANDOM % (ephemeral - 10000) ))
        else
            p=$(( 20000 + RANDOM % 40000 ))
        fi
        case " ${taken:-} " in *" $p "*) continue ;; esac
        [ -n "$bus" ] && case " ${taken:-} " in *" $bus "*) continue ;; esac
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null \
            && { [ -z "$bus" ] || ! (exec 3<>"/dev/tcp/127.0.0.1/$bus") 2>/dev/null; }; then
            taken="${taken:-} $p $bus"
            found=$p
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

# Ends the servers whose pid files are given (TERM, then KILL after 5 s)
# and removes the files; a name that is not a file is skipped.
end_servers() {  # pid files
    local f pid alive pids=()
    for f in "$@"; do [ -f "$f" ] && pids+=("$(cat "$f")"); done
    [ ${#pids[@]} -gt 0 ] || return 0
    kill "${pids[@]}" 2>/dev/null || true
    for _ in $(seq 1 50); do
        alive=
        for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
        [ -n "$alive" ] || break
        sleep 0.1
    done
    kill -9 "${pids[@]}" 2>/dev/null || true
    rm -f "$@"
}

# --cluster: six cluster-enabled servers, DIR/node1 ... DIR/node6, made
# into three primaries with one replica each by redis-cli; DIR/store.conf
# names every node (the primaries first) as a seed. A DIR whose cluster was
# stopped gets the same nodes again, on their ports, with their data.
start_cluster() {
    local n port ports=() primaries=() replicas=() role info sync
    if [ -f "$dir/node1/nodes.conf" ]; then
        # A cluster stopped before: the same nodes again, on their ports, with their data.
        for n in 1 2 3 4 5 6; do
            ports+=("$(sed -n 2p "$dir/node$n.args")")
            start_server "node$n"
        done
        for port in "${ports[@]}"; do wait_ping "$port"; done
    else
        for n in 1 2 3 4 5 6; do
            free_port bus; ports+=("$found")
            mkdir -p "$dir/node$n"
            printf '%s\n' --port "$found" --bind 127.0.0.1 --dir "$dir/node$n" \
                $persistence --save "" \
                --cluster-enabled yes --cluster-config-file nodes.conf --cluster-node-timeout 5000 \
                --daemonize yes --pidfile "$dir/node$n.pid" --logfile "$dir/node$n.log" --repl-diskless-sync-delay 0 \
                > "$dir/node$n.args"
            start_server "node$n"
        done
        for port in "${ports[@]}"; do wait_ping "$port"; done
        if ! redis-cli --cluster create $(printf '127.0.0.1:%s ' "${ports[@]}") --cluster-replicas 1 --cluster-yes \
            > "$dir/create.log" 2>&1; then
            echo "redis-local: redis-cli --cluster create failed (see $dir/create.log)" >&2
            exit 1
        fi
    fi
    # Every node sees all six and the slots covered; then the roles are
    # settled (redis-cli chose them), and each replica has its copy.
    for port in "${ports[@]}"; do
        for _ in $(seq 1 300); do
            info=$(redis-cli -h 127.0.0.1 -p "$port" cluster info 2>/dev/null || true)
            case "$info" in *cluster_state:ok*cluster_known_nodes:6*) break ;; esac
            sleep 0.1
        done
        case "$info" in *cluster_state:ok*cluster_known_nodes:6*) ;;
            *) echo "redis-local: node 127.0.0.1:$port does not report cluster_state:ok (see the logs in $dir)" >&2; exit 1 ;;
        esac
    done
    for port in "${ports[@]}"; do
        role=$(redis-cli -h 127.0.0.1 -p "$port" info replication | tr -d '\r' | sed -n 's/^role://p')
        if [ "$role" = master ]; then primaries+=("$port"); else replicas+=("$port"); fi
    done
    if [ ${#primaries[@]} -ne 3 ] || [ ${#replicas[@]} -ne 3 ]; then
        echo "redis-local: expected three primaries and three replicas, found primaries ${primaries[*]}, replicas ${replicas[*]}" >&2
        exit 1
    fi
    for port in "${replicas[@]}"; do
        wait_replica "$(redis-cli -h 127.0.0.1 -p "$port" info replication | tr -d '\r' | sed -n 's/^master_port://p')" "$port"
    done
    {
        echo "# Written by scripts/redis-local.sh: a local Redis Cluster, three primaries and their replicas."
        echo "backend redis-cluster"
        for port in "${primaries[@]}" "${replicas[@]}"; do echo "node 127.0.0.1 $port"; done
    } > "$dir/store.conf"
    sync="no append-only file"
    grep -qx -- --appendfsync "$dir/node1.args" && sync="each node appends every write to its append-only file \
($dir/node1 ... $dir/node6), appendfsync $(grep -A1 -x -- --appendfsync "$dir/node1.args" | tail -1)"
    root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
    cat <<EOF
Redis Cluster: primaries 127.0.0.1:${primaries[0]}, :${primaries[1]}, :${primaries[2]}; replicas :${replicas[0]}, :${replicas[1]}, :${replicas[2]}.
Persistence: $sync
Configuration: $dir/store.conf
  $root/tools/run-demo --config $dir/store.conf
  $root/tools/tessera-admin --config $dir/store.conf daemons
  redis-cli -c -h 127.0.0.1 -p ${primaries[0]} cluster nodes
Stop them: bash $0 stop $dir
EOF
}

case "$cmd" in
start)
    for b in redis-server redis-sentinel redis-cli; do
        command -v "$b" >/dev/null || { echo "redis-local: $b not found (bash scripts/setup.sh installs it)" >&2; exit 1; }
    done
    mkdir -p "$dir"
    dir="$(cd "$dir" && pwd)"
    if compgen -G "$dir/*.pid" >/dev/null; then
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
    if [ -n "$cluster" ]; then
        start_cluster
        exit 0
    fi
    free_port; primary=$found; free_port; replica=$found; free_port; sentinel=$found
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
    [ -f "$dir/node1.pid" ] && { echo "redis-local: restart-primary is for a primary and replica, $dir holds a cluster" >&2; exit 2; }
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
    # The Sentinel first, then the replica, then the primary; a cluster's
    # nodes all at once (each takes a moment to end).
    end_servers "$dir/sentinel.pid"
    end_servers "$dir/replica.pid"
    end_servers "$dir/primary.pid"
    end_servers "$dir"/node[1-6].pid
    echo "redis-local: stopped the servers of $dir"
    ;;
*) usage ;;
esac
