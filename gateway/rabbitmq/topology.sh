#!/usr/bin/env bash
# Prints the gateway's broker topology as definitions for `rabbitmqctl import_definitions`:
#   tavkin.packets     consistent-hash exchange; senders publish a device's packets with the routing
#                      key tavkin.packets.<device id> (a batch: its edge's name)
#   amq.topic          where MQTT publishes land (topic tavkin/packets/<device id> arrives with the
#                      routing key tavkin.packets.<device id>); bound to tavkin.packets with
#                      tavkin.packets.*, so a device lands in one partition over either transport
#   tavkin.packets.K   K = 0..N-1, the partitions: quorum queues, one active consumer each,
#                      bound with weight 1; a packet delivered too often is dead-lettered
#   tavkin.facts       fanout exchange of decoded facts, with the quorum queue tavkin.facts
#   tavkin.dead        fanout exchange of packets that could not be decoded, with its queue
# N is TAVKIN_PARTITIONS (default 6).
set -euo pipefail
N=${TAVKIN_PARTITIONS:-6}
quorum='"x-queue-type": "quorum"'
queues=() bindings=()
for ((k = 0; k < N; k++)); do
  queues+=("{\"name\": \"tavkin.packets.$k\", \"vhost\": \"/\", \"durable\": true, \"auto_delete\": false,
    \"arguments\": {$quorum, \"x-single-active-consumer\": true, \"x-delivery-limit\": 20,
                   \"x-dead-letter-exchange\": \"tavkin.dead\"}}")
  bindings+=("{\"source\": \"tavkin.packets\", \"vhost\": \"/\", \"destination\": \"tavkin.packets.$k\",
    \"destination_type\": \"queue\", \"routing_key\": \"1\", \"arguments\": {}}")
done
bindings+=("{\"source\": \"amq.topic\", \"vhost\": \"/\", \"destination\": \"tavkin.packets\",
  \"destination_type\": \"exchange\", \"routing_key\": \"tavkin.packets.*\", \"arguments\": {}}")
for name in facts dead; do
  queues+=("{\"name\": \"tavkin.$name\", \"vhost\": \"/\", \"durable\": true, \"auto_delete\": false, \"arguments\": {$quorum}}")
  bindings+=("{\"source\": \"tavkin.$name\", \"vhost\": \"/\", \"destination\": \"tavkin.$name\",
    \"destination_type\": \"queue\", \"routing_key\": \"\", \"arguments\": {}}")
done
exchange() {
  echo "{\"name\": \"$1\", \"vhost\": \"/\", \"type\": \"$2\", \"durable\": true, \"auto_delete\": false, \"internal\": false, \"arguments\": {}}"
}
join() { local IFS=,; echo "$*"; }
cat <<JSON
{
  "exchanges": [$(exchange tavkin.packets x-consistent-hash), $(exchange tavkin.facts fanout), $(exchange tavkin.dead fanout)],
  "queues": [$(join "${queues[@]}")],
  "bindings": [$(join "${bindings[@]}")]
}
JSON
