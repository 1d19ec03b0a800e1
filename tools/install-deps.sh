#!/usr/bin/env bash
# Installs the Debian packages of the named groups, only those that are missing. As root it
# runs apt-get; otherwise it names the missing packages and stops. Each Makefile target asks
# for the groups it needs (see the README); with no group named, every group.
#
#   build      compiler, CMake and what the library and the tavkin tool link
#   test       GoogleTest and RapidCheck, for the test suites
#   gateway    the clients the gateway links (AMQP, MQTT, the metrics endpoint)
#   broker     a broker, an MQTT client and promtool, to run the gateway's tests and demo
#   dissector  tshark, for the dissector's test
#   bench      Google Benchmark and zstd (the peer the benchmarks compare with)
#   fuzz       clang and its libFuzzer runtime
set -euo pipefail

declare -A group=(
  [build]="cmake ninja-build g++ make binutils pkg-config libsimdjson-dev libfmt-dev libcli11-dev libsodium-dev"
  [test]="libgtest-dev libgmock-dev librapidcheck-dev"
  [gateway]="librabbitmq-dev libmosquitto-dev libmicrohttpd-dev"
  [broker]="rabbitmq-server curl prometheus"
  [dissector]="tshark"
  [bench]="libbenchmark-dev libzstd-dev"
  [fuzz]="clang libclang-rt-14-dev"
)
names=("$@")
[ ${#names[@]} -eq 0 ] && names=(build test gateway broker dissector bench fuzz)

packages=()
for name in "${names[@]}"; do
  [ -n "${group[$name]+set}" ] || { echo "error: no dependency group '$name' (groups: ${!group[*]})" >&2; exit 2; }
  read -ra members <<<"${group[$name]}"
  packages+=("${members[@]}")
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
if [ "$(id -u)" -ne 0 ]; then
  echo "error: missing Debian packages: ${missing[*]}" >&2
  echo "       run: sudo apt-get install ${missing[*]}" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# tshark asks whether non-root users may capture; the dissector test only reads files.
echo "wireshark-common wireshark-common/install-setuid boolean false" | debconf-set-selections
apt-get update -qq

# The broker's package would start a system-wide service; the project runs its own nodes
# (gateway/rabbitmq/cluster.sh). Services are kept from starting while installing, and one
# that started anyway is stopped and disabled.
policy=/usr/sbin/policy-rc.d
own_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy" && chmod 755 "$policy" && own_policy=1
fi
trap '[ "$own_policy" -eq 1 ] && rm -f "$policy"' EXIT
apt-get install -y -qq --no-install-recommends "${missing[@]}"
# prometheus is here for promtool only (the fault test checks a scrape with it); its server
# is kept from starting like the broker's.
if [[ " ${missing[*]} " == *" prometheus "* ]] && [ -d /run/systemd/system ]; then
  systemctl disable --now prometheus.service >/dev/null 2>&1 || true
fi
if [[ " ${missing[*]} " == *" rabbitmq-server "* ]]; then
  if [ -d /run/systemd/system ]; then
    systemctl disable --now rabbitmq-server.service epmd.socket epmd.service >/dev/null 2>&1 || true
  elif command -v service >/dev/null && service rabbitmq-server status >/dev/null 2>&1; then
    service rabbitmq-server stop >/dev/null 2>&1 || true
  fi
  # Installing also leaves an Erlang port mapper on the default port. It is stopped only
  # when no node is registered with it (epmd refuses otherwise), so nobody else's is touched.
  if command -v epmd >/dev/null && epmd -names 2>/dev/null | grep -q '^epmd: up' &&
     ! epmd -names 2>/dev/null | grep -q '^name '; then
    epmd -kill >/dev/null 2>&1 || true
  fi
fi
