#!/usr/bin/env bash
# A simulated box in this terminal: broker (if mosquitto is installed) with a
# subscriber on the bike topics, devsim playing the box's peers, telagent-host
# running the built agent, and the operator's console on a loopback page.
# Shows the agent's console and the system actions it asks for as they happen,
# and sends the box a few commands once it is online.  Builds nothing.
#
#   tools/demo.sh <build dir>        Ctrl-C stops everything
#   DEMO_SECONDS=N                   stop by itself after N seconds
#   KEEP_ROOT=1                      keep the device root afterwards
set -uo pipefail

build=${1:?usage: tools/demo.sh <build dir>}
host="$build/bin/telagent-host"
devsim="$build/bin/telagent-devsim"
lib="$build/lib/libTelAgent.so"
for f in "$host" "$devsim"; do
  [ -x "$f" ] || { echo "demo: $f is missing (make build)" >&2; exit 1; }
done
[ -f "$lib" ] || { echo "demo: $lib is missing (make build)" >&2; exit 1; }
lib=$(realpath "$lib")
case "${DEMO_SECONDS:-}" in
  ''|*[!0-9]*) [ -z "${DEMO_SECONDS:-}" ] || { echo "demo: DEMO_SECONDS must be a number" >&2; exit 2; } ;;
esac

root=$(mktemp -d "${TMPDIR:-/tmp}/telagent-demo-XXXXXX") || exit 1
mkdir -p "$root/var"

# Every background job gets a process group of its own, so a stop takes each
# job with everything it started, and Ctrl-C reaches only this script.
set -m
groups=()

cleanup() {
  trap - EXIT INT TERM
  set +m  # no job-status chatter while the jobs go down
  local i pg alive
  # Newest first: the host (and with it the agent) before devsim and the broker.
  for ((i = ${#groups[@]} - 1; i >= 0; i--)); do kill -INT -- "-${groups[i]}" 2>/dev/null; done
  for _ in $(seq 1 30); do
    alive=0
    for pg in "${groups[@]}"; do kill -0 -- "-$pg" 2>/dev/null && alive=1; done
    [ "$alive" = 0 ] && break
    sleep 0.1
  done
  for pg in "${groups[@]}"; do kill -KILL -- "-$pg" 2>/dev/null; done
  wait 2>/dev/null
  if [ "${KEEP_ROOT:-0}" = 1 ]; then
    echo "demo: root kept at $root"
  else
    rm -rf "$root" "$root.scenario"
    echo "demo: stopped, root removed"
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

port_open() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# A loopback port nobody listens on.
free_port() {
  local p
  for _ in $(seq 1 50); do
    p=$((20000 + RANDOM % 40000))
    port_open "$p" || { echo "$p"; return 0; }
  done
  return 1
}

wait_for() {  # wait_for <tenths of a second> <command...>
  local n=$1
  shift
  for _ in $(seq 1 "$n"); do "$@" && return 0; sleep 0.1; done
  return 1
}

mqtt_args=()
broker_note="mosquitto not installed: the agent finds no broker (make deps installs it)"
mosq=$(command -v mosquitto || { [ -x /usr/sbin/mosquitto ] && echo /usr/sbin/mosquitto; } || true)
mosq_passwd=$(command -v mosquitto_passwd || true)
# The broker account devsim provisions in iot.ini (MqttUserName / MqttUserPass).
mqtt_user=ebikeiot
mqtt_pass=hQ4rusLent
imei=864000000000017  # the IMEI devsim's modem gives
# TLS to the broker with keys made here, for this run only: a CA, the broker's
# certificate for 127.0.0.1/localhost; the box gets the CA (mqtt_ca.pem) and
# MqttTls=1.  Without openssl the demo runs in plain TCP and says so.
tls_listener=""
tls_note="plain TCP (openssl not installed)"
cloud_tls=()
sub_tls=()
pki="$root/var/pki"
if command -v openssl >/dev/null; then
  mkdir -p "$pki"
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$pki/san.ext"
  if openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$pki/ca.key" -out "$pki/ca.pem" \
       -days 1 -subj '/CN=telagent demo CA' >/dev/null 2>&1 &&
     openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$pki/broker.key" -out "$pki/broker.csr" \
       -subj '/CN=localhost' >/dev/null 2>&1 &&
     openssl x509 -req -in "$pki/broker.csr" -CA "$pki/ca.pem" -CAkey "$pki/ca.key" -CAcreateserial \
       -out "$pki/broker.pem" -days 1 -extfile "$pki/san.ext" >/dev/null 2>&1; then
    # The broker may drop root for its own user, which must read its key.
    chmod 644 "$pki/broker.key"
    tls_listener=$(printf 'certfile %s\nkeyfile %s\ntls_version tlsv1.2\n' "$pki/broker.pem" "$pki/broker.key")
    tls_note="TLS, broker certificate checked against $pki/ca.pem (the box's /iot/conf/mqtt_ca.pem)"
    cloud_tls=(--cafile "$pki/ca.pem")
    sub_tls=(--cafile "$pki/ca.pem")
  else
    tls_note="plain TCP (openssl could not make the demo's keys)"
  fi
fi

if [ -n "$mosq" ] && [ -n "$mosq_passwd" ]; then
  broker_dir="$root/var/broker"
  mkdir -p "$broker_dir"
  "$mosq_passwd" -b -c "$broker_dir/passwd" "$mqtt_user" "$mqtt_pass" >/dev/null 2>&1
  # Started as root the broker changes to its own user, which must still read
  # the password file and write its log inside the root.
  chmod 644 "$broker_dir/passwd"
  run_as=""
  [ "$(id -u)" -eq 0 ] && run_as="user root"
  for _ in 1 2 3; do
    port=$(free_port) || break
    # The log goes to a file (written line by line) so the box's connection
    # and subscriptions show as they happen.
    printf '%s\nlistener %s 127.0.0.1\n%s\nallow_anonymous false\npassword_file %s\npersistence false\nset_tcp_nodelay true\nlog_dest file %s\nlog_type all\n' \
      "$run_as" "$port" "$tls_listener" "$broker_dir/passwd" "$broker_dir/mosquitto.log" >"$broker_dir/mosquitto.conf"
    "$mosq" -c "$broker_dir/mosquitto.conf" >"$broker_dir/mosquitto.out" 2>&1 &
    bpid=$!
    # A TLS listener accepts TCP as soon as it is up, like a plain one.
    if wait_for 50 port_open "$port"; then
      groups+=("$bpid")
      mqtt_args=(--mqtt-port "$port")
      broker_note="mosquitto on 127.0.0.1:$port, user $mqtt_user (log $broker_dir/mosquitto.log)"
      # The box's sessions and subscriptions as the broker logs them.
      tail -n +1 -F "$broker_dir/mosquitto.log" 2>/dev/null |
        sed -un -e '/New client connected .* as [0-9]\{15\} (/s/^[0-9]*: /[broker] /p' \
          -e '/^[0-9]*: \tzt\/ebike\/devices\/.*\/request\/+ (/s/^[0-9]*: \t/[broker]   subscribed /p' &
      groups+=("$!")
      # The operator's view: telemetry decoded by the cloud tool.
      cloud="$build/bin/telagent-cloud"
      if [ -x "$cloud" ]; then
        "$cloud" --port "$port" --user "$mqtt_user" --pass "$mqtt_pass" "${cloud_tls[@]}" watch --all 2>&1 |
          sed -u 's/^/[cloud] /' &
        groups+=("$!")
        broker_note+=", telagent-cloud watching zt/ebike/devices/+"
      elif command -v mosquitto_sub >/dev/null; then
        mosquitto_sub -h 127.0.0.1 -p "$port" -u "$mqtt_user" -P "$mqtt_pass" "${sub_tls[@]}" -v -t 'zt/ebike/devices/#' 2>&1 |
          sed -u 's/^/[cloud] /' &
        groups+=("$!")
        broker_note+=", subscribed to zt/ebike/devices/#"
      fi
      break
    fi
    kill -KILL -- "-$bpid" 2>/dev/null
    wait "$bpid" 2>/dev/null
  done
  [ -n "${mqtt_args[*]:-}" ] ||
    broker_note="mosquitto did not start: $(tail -n 3 "$broker_dir/mosquitto.out" "$broker_dir/mosquitto.log" 2>/dev/null)"
fi

# A bike on the bus behind the lock board, so the polling cycle gets answers.
printf '[bike]\nattached = 1\n[sntp]\nservers = good\n' > "$root.scenario"
"$devsim" --root "$root" --create --lib "$lib" --scenario "$root.scenario" "${mqtt_args[@]}" 2>&1 | sed -u 's/^/[devsim] /' &
groups+=("$!")
if ! wait_for 100 test -s "$root/var/devsim/ready"; then
  echo "demo: devsim did not come up" >&2
  exit 1
fi

# The box provisioned for TLS: the CA and MqttTls=1 in [IotCfg].
if [ -n "$tls_listener" ]; then
  cp "$pki/ca.pem" "$root/iot/conf/mqtt_ca.pem"
  sed -i 's/^\[IotCfg\]$/[IotCfg]\nMqttTls=1/' "$root/iot/conf/iot.ini"
fi

# Firmware for OTA requests: $root/var/ota is served over HTTP on loopback by
# the cloud tool (python3's server when the tool is missing); the URL is in
# $root/var/ota.url.  It starts with the built library (for a self-update)
# and whatever firmware files the simulator keeps in var/devsim/firmware.
mkdir -p "$root/var/ota"
cp "$lib" "$root/var/ota/libTelAgent.so"
[ -d "$root/var/devsim/firmware" ] && cp "$root/var/devsim/firmware/"* "$root/var/ota/" 2>/dev/null
cloud="$build/bin/telagent-cloud"
ota_note="no firmware server (neither telagent-cloud nor python3)"
for _ in 1 2 3; do
  ota_port=$(free_port) || break
  if [ -x "$cloud" ]; then
    "$cloud" serve "$root/var/ota" --port "$ota_port" >"$root/var/ota.log" 2>&1 &
  elif command -v python3 >/dev/null; then
    python3 -m http.server --bind 127.0.0.1 --directory "$root/var/ota" "$ota_port" >"$root/var/ota.log" 2>&1 &
  else
    break
  fi
  opid=$!
  if wait_for 50 port_open "$ota_port"; then
    groups+=("$opid")
    echo "http://127.0.0.1:$ota_port/" >"$root/var/ota.url"
    ota_note="http://127.0.0.1:$ota_port/ serves $root/var/ota ($(ls "$root/var/ota" | tr '\n' ' '))"
    break
  fi
  kill -KILL -- "-$opid" 2>/dev/null
  wait "$opid" 2>/dev/null
  ota_note="firmware server did not start"
done

# The operator's console in a browser: every box on the broker, live, with a
# button per command.
console_note="no console (needs the broker and telagent-cloud)"
if [ -n "${mqtt_args[*]:-}" ] && [ -x "$cloud" ]; then
  for _ in 1 2 3; do
    web_port=$(free_port) || break
    "$cloud" --port "$port" --user "$mqtt_user" --pass "$mqtt_pass" "${cloud_tls[@]}" console --http-port "$web_port" \
      >"$root/var/console-web.log" 2>&1 &
    wpid=$!
    if wait_for 100 port_open "$web_port"; then
      groups+=("$wpid")
      console_note="http://127.0.0.1:$web_port/   (open it in a browser on this machine)"
      break
    fi
    kill -KILL -- "-$wpid" 2>/dev/null
    wait "$wpid" 2>/dev/null
    console_note="the console did not start: $(tail -n 2 "$root/var/console-web.log" 2>/dev/null)"
  done
fi

TELAGENT_ROOT="$root" "$host" --init-lpm >"$root/var/console.log" 2>&1 &
hpid=$!
groups+=("$hpid")

cat <<EOF
telagent demo
  root    $root ($([ "${KEEP_ROOT:-0}" = 1 ] && echo "kept" || echo "removed") at the end)
  broker  $broker_note
  mqtt    $tls_note
  devsim  pid $(cat "$root/var/devsim/ready"), ports in $root/dev, wire logs in $root/var/devsim
  host    pid $hpid, TELAGENT_ROOT=$root, library $lib
  ota     $ota_note
  console $console_note
  control echo gd32_update > $root/var/host/control   (after placing $root/iot/conf/GD32.hex;
          also display_update, motor_update <id>, upgrade, bakbat: see docs/architecture.md)
  power   echo "power battery backup" > $root/var/devsim/control   (then "power wake 6", "power battery main";
          the agent's writes to the power nodes are in $root/var/devsim/power.log)
  shown   [agent] console ($root/var/console.log), [action] system actions ($root/var/actions.log),
          [broker] the box's MQTT sessions and subscriptions, [cloud] its telemetry decoded (telagent-cloud)
  stop    Ctrl-C$([ -n "${DEMO_SECONDS:-}" ] && echo ", or by itself after $DEMO_SECONDS s")
EOF
if [ -n "${mqtt_args[*]:-}" ] && [ -x "$cloud" ]; then
  req="$cloud --port $port --user $mqtt_user --pass $mqtt_pass ${cloud_tls[*]} request $imei"
  cat <<EOF
  try     $req lock
          $req interval 60
          $req extra --json
          $req ota lib $(cat "$root/var/ota.url" 2>/dev/null)libTelAgent.so
EOF
fi

# The box obeying the cloud: about 30 s after its MQTT session is up, a motor
# lock, an unlock and an interval change through the cloud tool, each decoded
# response shown here; then the box is the user's.
if [ -n "${mqtt_args[*]:-}" ] && [ -x "$cloud" ]; then
  (
    until grep -q " as $imei (" "$broker_dir/mosquitto.log" 2>/dev/null; do sleep 0.5; done
    echo "[demo] the box is online; in 30 s: lock, unlock, interval 20 through telagent-cloud request"
    sleep 30
    for r in lock unlock "interval 20"; do
      echo "[demo] telagent-cloud request $imei $r"
      # shellcheck disable=SC2086  # the request's words are separate arguments
      "$cloud" --port "$port" --user "$mqtt_user" --pass "$mqtt_pass" "${cloud_tls[@]}" request "$imei" $r 2>&1 | sed -u 's/^/[demo]   -> /'
      sleep 1
    done
    echo "[demo] done: the box is yours now (console: ${console_note%% *}, or the requests under \"try\")"
  ) &
  groups+=("$!")
fi

# The console has lone CRs inside lines; show each piece as a line of its own.
tail -n +1 -F "$root/var/console.log" 2>/dev/null |
  sed -u -e 's/\r$//' -e 's/\r/\n[agent] /g' -e 's/^/[agent] /' &
groups+=("$!")
tail -n +1 -F "$root/var/actions.log" 2>/dev/null | sed -u 's/^/[action] /' &
groups+=("$!")

if [ -n "${DEMO_SECONDS:-}" ]; then
  sleep "$DEMO_SECONDS" &
  groups+=("$!")
  wait "$!"
else
  wait
fi
