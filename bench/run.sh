#!/usr/bin/env bash
# Data-path benchmark of the replicated file device (not a test).
#
#   bash bench/run.sh [--build-dir DIR] [--no-build] [benchmark options]
#
# Builds the project in Release into build-bench/ (or DIR) when needed,
# compiles the benchmark against the jar and runs it. Benchmark options
# (--quick, --runs N, --run-ms MS, --block-size B, --sizes LIST,
# --regions big,hot, --no-two-copies) are passed on; see bench/README.md.
# --backend redis runs the Redis drivers on local servers started for the run:
# the backend beside raw hiredis, 1, 4 and 8 threads beside redis-benchmark's
# pipelined ceiling, and ReplicatedFileChannel appends and overwrites.
# --backend redis-cluster starts a primary with its replica and, beside them,
# a Redis Cluster of three primaries with a replica each, and runs the same
# backend rows and 1 and 8 threads on the cluster beside one primary, in
# turns, printing cluster / one primary.
# --soak [CYCLES] runs the open/close soak instead (SoakBench, default
# 1000000 cycles): resident memory every CYCLES/20 cycles and the growth per cycle.
# --soak [CYCLES] --backend redis (or redis-cluster) runs it on local Redis
# servers started for the run (default 100000 cycles). --persistence always|everysec|no|off sets the
# append-only file of those servers (default always; see scripts/redis-local.sh).
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$ROOT/build-bench"
DO_BUILD=1
SOAK=
SOAK_CYCLES=
ARGS=()
BACKEND=""
while [ $# -gt 0 ]; do
    case "$1" in
        --backend) BACKEND="$2"; shift 2 ;;
        --build-dir) BUILD="$(mkdir -p "$2" && cd "$2" && pwd)"; shift 2 ;;
        --no-build) DO_BUILD=0; shift ;;
        --persistence) export REDIS_LOCAL_FSYNC="$2"; shift 2 ;;  # always (default), everysec, no, off
        --soak) SOAK=1; shift
            if [[ "${1:-}" =~ ^[0-9]+$ ]]; then SOAK_CYCLES="$1"; shift; fi ;;
        *) ARGS+=("$1"); shift ;;
    esac
done

case "${BACKEND:-embedded}" in
    embedded|redis|redis-cluster) ;;
    *) echo "unknown backend $BACKEND (embedded, redis or redis-cluster)" >&2; exit 2 ;;
esac

# Compiles bench/java/.../NAME.java against $JAR into $CLASSES when it changed.
compile_bench() {
    local src="$ROOT/bench/java/tessera/store/bench/$1.java" out="$CLASSES/tessera/store/bench/$1.class"
    if [ ! -f "$out" ] || [ "$src" -nt "$out" ] || [ "$JAR" -nt "$out" ]; then
        mkdir -p "$CLASSES"
        javac -Xlint:all -encoding UTF-8 -cp "$JAR" -d "$CLASSES" "$src"
    fi
}

# Local Redis servers for this run in a temporary directory, stopped at exit
# (with --cluster a Redis Cluster); their configuration file is
# $SERVERS/store.conf.
SERVER_DIRS=()
stop_redis() {
    for d in ${SERVER_DIRS[@]+"${SERVER_DIRS[@]}"}; do
        bash "$ROOT/scripts/redis-local.sh" stop "$d" >/dev/null
        rm -rf "$d"
    done
}
start_redis() {  # [--cluster]
    SERVERS="$(mktemp -d /tmp/tessera-bench-redis-XXXXXX)"
    SERVER_DIRS+=("$SERVERS")
    trap stop_redis EXIT
    bash "$ROOT/scripts/redis-local.sh" start "$SERVERS" "$@" >/dev/null
}

# --backend redis: the stand-in's Redis backend beside raw hiredis, then the
# same under 1, 4 and 8 threads beside redis-benchmark's pipelined ceiling,
# then ReplicatedFileChannel appends and overwrites from 1 and 8 threads, on
# local servers started for the run (see bench/README.md). --quick is passed
# to all three; the other options to the first.
if [ "$BACKEND" = redis ] && [ -z "$SOAK" ]; then
    if [ "$DO_BUILD" = 1 ]; then
        [ -f "$BUILD/CMakeCache.txt" ] || \
            cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTESSERA_BUILD_TESTS=OFF >/dev/null
        cmake "$BUILD" >/dev/null   # picks up drivers added since the directory was configured
        cmake --build "$BUILD" -j2 --target standin_redis_bench standin_redis_threads tessera-store >/dev/null
    fi
    command -v redis-benchmark >/dev/null || { echo "redis-benchmark not found (it comes with redis-tools)" >&2; exit 1; }
    JAR="$BUILD/jar/tessera-store.jar"
    CLASSES="$BUILD/bench-classes"
    compile_bench ChannelThreadsBench
    QUICK=()
    for a in ${ARGS[@]+"${ARGS[@]}"}; do [ "$a" = --quick ] && QUICK=(--quick); done
    start_redis
    PORT="$(awk '$1 == "primary" { print $3 }' "$SERVERS/store.conf")"
    echo "Redis servers: persistence ${REDIS_LOCAL_FSYNC:-always}"
    "$BUILD/bin/standin_redis_bench" --config "$SERVERS/store.conf" --port "$PORT" ${ARGS[@]+"${ARGS[@]}"}
    "$BUILD/bin/standin_redis_threads" --config "$SERVERS/store.conf" --port "$PORT" ${QUICK[@]+"${QUICK[@]}"}
    java -Xms256m -Xmx256m -Dtessera.store.native.dir="$BUILD/lib" -cp "$JAR:$CLASSES" \
        tessera.store.bench.ChannelThreadsBench --config "$SERVERS/store.conf" ${QUICK[@]+"${QUICK[@]}"}
    exit 0
fi

# --backend redis-cluster: the backend rows of standin_redis_bench and the
# threads of standin_redis_threads (1 and 8, each thread's region on a
# primary of its own as far as there are primaries) on a cluster beside one
# primary, the two in turns (see bench/README.md, "Redis Cluster"). --quick
# is passed to both; the other options to the first.
if [ "$BACKEND" = redis-cluster ] && [ -z "$SOAK" ]; then
    if [ "$DO_BUILD" = 1 ]; then
        [ -f "$BUILD/CMakeCache.txt" ] || \
            cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTESSERA_BUILD_TESTS=OFF >/dev/null
        cmake "$BUILD" >/dev/null
        cmake --build "$BUILD" -j2 --target standin_redis_bench standin_redis_threads >/dev/null
    fi
    QUICK=()
    for a in ${ARGS[@]+"${ARGS[@]}"}; do [ "$a" = --quick ] && QUICK=(--quick); done
    start_redis
    ONE="$SERVERS/store.conf"
    start_redis --cluster
    CLUSTER="$SERVERS/store.conf"
    echo "Redis servers: persistence ${REDIS_LOCAL_FSYNC:-always}; a cluster of three primaries with a replica each" \
        "beside one primary with a replica (and its Sentinel)"
    "$BUILD/bin/standin_redis_bench" --config "$CLUSTER" --baseline "$ONE" ${ARGS[@]+"${ARGS[@]}"}
    "$BUILD/bin/standin_redis_threads" --config "$CLUSTER" --baseline "$ONE" --threads 1,8 ${QUICK[@]+"${QUICK[@]}"}
    exit 0
fi

if [ "$DO_BUILD" = 1 ]; then
    if [ ! -f "$BUILD/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTESSERA_BUILD_TESTS=OFF >/dev/null
    fi
    cmake --build "$BUILD" -j2 --target tessera-store >/dev/null
fi

JAR="$BUILD/jar/tessera-store.jar"
LIB="$BUILD/lib"
for f in "$JAR" "$LIB/libtessera_replicatedio.so" "$LIB/libmirrorbank1.so"; do
    [ -f "$f" ] || { echo "missing $f (build first, or drop --no-build)" >&2; exit 1; }
done

if [ -n "$SOAK" ]; then
    CLASSES="$BUILD/bench-classes"
    compile_bench SoakBench
    # A small fixed Java heap, so that its pages are all touched during the warm-up.
    SOAK_JAVA=(java -Xms64m -Xmx64m -Dtessera.store.native.dir="$LIB" -cp "$JAR:$CLASSES"
        tessera.store.bench.SoakBench)
    if [ "$BACKEND" = redis ] || [ "$BACKEND" = redis-cluster ]; then
        if [ "$BACKEND" = redis ]; then start_redis; else start_redis --cluster; fi
        "${SOAK_JAVA[@]}" "${SOAK_CYCLES:-100000}" --config "$SERVERS/store.conf"
        exit $?
    fi
    exec "${SOAK_JAVA[@]}" "${SOAK_CYCLES:-1000000}"
fi

# The benchmark reads the address of direct buffers (to print where they sit
# in their page), hence java.nio is opened to it.
OPENS=(--add-opens java.base/java.nio=ALL-UNNAMED)
CLASSES="$BUILD/bench-classes"
SRC="$ROOT/bench/java/tessera/store/bench/ReplicatedIOBench.java"
if [ ! -f "$CLASSES/tessera/store/bench/ReplicatedIOBench.class" ] \
    || [ "$SRC" -nt "$CLASSES/tessera/store/bench/ReplicatedIOBench.class" ] \
    || [ "$JAR" -nt "$CLASSES/tessera/store/bench/ReplicatedIOBench.class" ]; then
    mkdir -p "$CLASSES"
    javac -Xlint:all -encoding UTF-8 -cp "$JAR" -d "$CLASSES" "$SRC"
fi

# Logging and instrumentation properties of the bridge are deliberately not
# set: the benchmark measures the path with logging off. One 1 GiB direct
# buffer per run serves as the copy floor, hence the direct-memory limit.
exec java -Xms512m -Xmx512m -XX:MaxDirectMemorySize=3g "${OPENS[@]}" \
    -Dtessera.store.native.dir="$LIB" \
    -cp "$JAR:$CLASSES" tessera.store.bench.ReplicatedIOBench ${ARGS[@]+"${ARGS[@]}"}
