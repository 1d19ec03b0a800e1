#!/usr/bin/env bash
# A 3-node broker cluster on loopback ports under one directory, for the gateway, its demo,
# its fault test and its benchmark. Nothing system-wide is used: the nodes, their epmd and
# their cookie live under $TAVKIN_CLUSTER_DIR, and every process is stopped by its own pid.
#
#   cluster.sh start            start the nodes (those not running), join them, declare the topology
#   cluster.sh stop             stop every node and the epmd, by their pids
#   cluster.sh stop-node I      stop node I (1-3) only
#   cluster.sh start-node I     start node I again and wait until it is back in the cluster
#   cluster.sh status           which nodes run, and their AMQP and MQTT addresses
#   cluster.sh brokers          the AMQP addresses, comma separated (for --brokers)
#   cluster.sh mqtt-brokers     the MQTT addresses, comma separated (for publish --mqtt --brokers)
#
# Settings (environment): TAVKIN_CLUSTER_DIR (default /tmp/tavkin-cluster-$UID),
# TAVKIN_CLUSTER_PORT (first of the ports, default 47100), TAVKIN_PARTITIONS (default 6).
# Ports: AMQP PORT+I, distribution PORT+10+I, epmd PORT+20, tools PORT+30..PORT+39,
# MQTT PORT+40+I.
set -euo pipefail

DIR=${TAVKIN_CLUSTER_DIR:-/tmp/tavkin-cluster-$(id -u)}
PORT=${TAVKIN_CLUSTER_PORT:-47100}
PARTITIONS=${TAVKIN_PARTITIONS:-6}
NODES=(1 2 3)
RMQ_BIN=${RABBITMQ_BIN:-/usr/lib/rabbitmq/bin}
HERE=$(cd "$(dirname "$0")" && pwd)

for tool in rabbitmq-server rabbitmqctl; do
  [ -x "$RMQ_BIN/$tool" ] || { echo "cluster.sh: $RMQ_BIN/$tool is missing; run tools/install-deps.sh" >&2; exit 1; }
done

node_name() { echo "tavkin$1@localhost"; }
node_dir() { echo "$DIR/node$1"; }
amqp_port() { echo $((PORT + $1)); }
mqtt_port() { echo $((PORT + 40 + $1)); }

# The environment every node and every CLI call shares: the cluster's own home (so its
# own cookie), its own epmd port, loopback only.
common_env() {
  export HOME="$DIR" ERL_EPMD_PORT=$((PORT + 20)) ERL_EPMD_ADDRESS=127.0.0.1
  export RABBITMQ_CTL_DIST_PORT_MIN=$((PORT + 30)) RABBITMQ_CTL_DIST_PORT_MAX=$((PORT + 39))
  export RABBITMQ_ENABLED_PLUGINS_FILE="$DIR/enabled_plugins" RABBITMQ_USE_LONGNAME=false
}

ctl() {  # ctl NODE ARGS...: rabbitmqctl against one node
  local i=$1; shift
  (common_env; "$RMQ_BIN/rabbitmqctl" -q -n "$(node_name "$i")" "$@")
}

alive() {  # alive PIDFILE: the pid in the file names a running process
  [ -s "$1" ] && kill -0 "$(cat "$1")" 2>/dev/null
}

prepare_dir() {
  mkdir -p "$DIR"
  if [ ! -s "$DIR/.erlang.cookie" ]; then
    head -c 24 /dev/urandom | od -An -tx1 | tr -d ' \n' > "$DIR/.erlang.cookie"
    chmod 400 "$DIR/.erlang.cookie"
  fi
  # The MQTT plugin lets devices publish to the partitions without AMQP (topology.sh).
  echo '[rabbitmq_consistent_hash_exchange,rabbitmq_mqtt].' > "$DIR/enabled_plugins"
}

start_epmd() {
  alive "$DIR/epmd.pid" && return 0
  (common_env; exec epmd -address 127.0.0.1 -port "$ERL_EPMD_PORT") >"$DIR/epmd.log" 2>&1 &
  echo $! > "$DIR/epmd.pid"
}

start_node() {  # start_node I: starts node I in the background (no wait)
  local i=$1 nd; nd=$(node_dir "$i")
  alive "$nd/wrapper.pid" && return 0
  mkdir -p "$nd/log" "$nd/mnesia"
  cat > "$nd/rabbitmq.conf" <<CONF
listeners.tcp.1 = 127.0.0.1:$(amqp_port "$i")
mqtt.listeners.tcp.1 = 127.0.0.1:$(mqtt_port "$i")
mqtt.allow_anonymous = true
loopback_users = none
log.file.level = warning
log.console = false
vm_memory_high_watermark.relative = 0.2
disk_free_limit.absolute = 50MB
cluster_partition_handling = pause_minority
CONF
  (
    common_env
    export RABBITMQ_NODENAME=$(node_name "$i") RABBITMQ_NODE_IP_ADDRESS=127.0.0.1
    export RABBITMQ_NODE_PORT=$(amqp_port "$i") RABBITMQ_DIST_PORT=$((PORT + 10 + i))
    export RABBITMQ_CONFIG_FILE="$nd/rabbitmq.conf" RABBITMQ_MNESIA_BASE="$nd/mnesia"
    export RABBITMQ_LOG_BASE="$nd/log" RABBITMQ_PID_FILE="$nd/beam.pid"
    export RABBITMQ_PLUGINS_EXPAND_DIR="$nd/plugins-expand" RABBITMQ_ADVANCED_CONFIG_FILE="$nd/advanced.config"
    export RABBITMQ_SERVER_ADDITIONAL_ERL_ARGS="-kernel inet_dist_use_interface {127,0,0,1} +S 1:1 +A 4"
    exec setsid "$RMQ_BIN/rabbitmq-server" </dev/null
  ) >"$nd/console.log" 2>&1 &
  echo $! > "$nd/wrapper.pid"
}

# A node opens its AMQP and MQTT ports when it has booted; polling the ports spares a CLI
# call (a whole Erlang VM) per try.
port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

wait_node() {  # wait_node I: until the node has booted and takes AMQP and MQTT connections
  local i=$1
  for _ in $(seq 1 1200); do
    port_open "$(amqp_port "$i")" && port_open "$(mqtt_port "$i")" && return 0
    alive "$(node_dir "$i")/wrapper.pid" || { echo "cluster.sh: node $i exited; see $(node_dir "$i")/console.log" >&2; return 1; }
    sleep 0.5
  done
  echo "cluster.sh: node $i did not start" >&2
  return 1
}

stop_pid_file() {  # stop_pid_file FILE SECONDS: TERM, wait, then KILL
  local file=$1 seconds=$2 pid
  alive "$file" || { rm -f "$file"; return 0; }
  pid=$(cat "$file")
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 1 $((seconds * 5))); do kill -0 "$pid" 2>/dev/null || break; sleep 0.2; done
  kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null || true
  rm -f "$file"
}

stop_node() {
  local nd; nd=$(node_dir "$1")
  # The wrapper asks the VM to stop and waits for it; the VM's own pid is the fallback.
  local beam=""; [ -s "$nd/beam.pid" ] && beam=$(cat "$nd/beam.pid")
  stop_pid_file "$nd/wrapper.pid" 60
  if [ -n "$beam" ] && kill -0 "$beam" 2>/dev/null; then echo "$beam" > "$nd/beam.pid"; stop_pid_file "$nd/beam.pid" 10; fi
  rm -f "$nd/beam.pid"
}

# A node that joined keeps its membership in its own data directory; the marker beside it
# spares the CLI calls when the cluster is started again. Nodes join one at a time: two
# joining the same node at once can fail to start their database, so a failed join is
# also retried from a reset node.
join_node() {  # the CLI reports passing errors while a node joins; they go to join.log
  local i=$1 nd try; nd=$(node_dir "$i")
  [ -e "$nd/joined" ] && return 0
  for try in 1 2 3; do
    if { ctl "$i" stop_app && ctl "$i" join_cluster "$(node_name 1)" && ctl "$i" start_app; } >>"$DIR/join.log" 2>&1; then
      touch "$nd/joined"
      return 0
    fi
    echo "cluster.sh: node $i failed to join (try $try); resetting it" >>"$DIR/join.log"
    { ctl "$i" stop_app; ctl "$i" reset; } >>"$DIR/join.log" 2>&1 || true
    sleep 1
  done
  tail -n 20 "$DIR/join.log" >&2
  return 1
}

declare_topology() {  # definitions are imported once per cluster directory
  local defs="$DIR/definitions.json"
  TAVKIN_PARTITIONS=$PARTITIONS "$HERE/topology.sh" > "$defs.new"
  if [ -e "$DIR/declared" ] && cmp -s "$defs.new" "$defs"; then rm -f "$defs.new"; return 0; fi
  mv "$defs.new" "$defs"
  ctl 1 import_definitions "$defs" >/dev/null
  touch "$DIR/declared"
}

brokers() {  # brokers PORT_FUNCTION: the addresses of every node
  local out=() i
  for i in "${NODES[@]}"; do out+=("127.0.0.1:$("$1" "$i")"); done
  (IFS=,; echo "${out[*]}")
}

case "${1:-}" in
  start)
    prepare_dir
    start_epmd
    for i in "${NODES[@]}"; do start_node "$i"; done
    for i in "${NODES[@]}"; do wait_node "$i"; done
    join_node 2
    join_node 3
    for i in "${NODES[@]}"; do wait_node "$i"; done
    declare_topology
    echo "cluster up: $(brokers amqp_port), MQTT $(brokers mqtt_port) ($PARTITIONS partitions; dir $DIR)"
    ;;
  stop)
    for i in "${NODES[@]}"; do stop_node "$i" & done
    wait
    stop_pid_file "$DIR/epmd.pid" 10
    echo "cluster stopped"
    ;;
  stop-node)
    stop_node "${2:?node number}"
    ;;
  start-node)
    prepare_dir
    start_epmd
    start_node "${2:?node number}"
    wait_node "$2"
    ;;
  status)
    for i in "${NODES[@]}"; do
      if alive "$(node_dir "$i")/wrapper.pid"; then echo "node $i: running on 127.0.0.1:$(amqp_port "$i"), MQTT 127.0.0.1:$(mqtt_port "$i")"
      else echo "node $i: stopped"; fi
    done
    ;;
  brokers) brokers amqp_port ;;
  mqtt-brokers) brokers mqtt_port ;;
  *) sed -n '2,17p' "$0" >&2; exit 2 ;;
esac
