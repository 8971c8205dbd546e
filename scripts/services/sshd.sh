# OpenSSH test server on a high loopback port with its own host key and config,
# and a local test account with a password for the tunnel. Exports QV_SSH_HOST,
# QV_SSH_PORT, QV_SSH_USER, QV_SSH_PASSWORD and QV_SSH_KNOWN_HOSTS (a known_hosts
# file that holds this server's key).

qv_sshd_start() {
  local dir="$QV_SERVICE_DIR" port pid user=qvtunnel pass=qv-tunnel-pass sshd
  sshd="$(command -v sshd || echo /usr/sbin/sshd)"
  if [ ! -x "$sshd" ]; then
    echo "sshd service: sshd not installed (scripts/setup-deps installs openssh-server)"
    return 0
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "sshd service: needs root to check passwords of a local test account"
    return 0
  fi
  rm -rf "$dir" && mkdir -p "$dir"
  if ! id "$user" >/dev/null 2>&1; then
    useradd --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" || return 0
  fi
  echo "$user:$pass" | chpasswd
  # sshd's privilege separation needs this folder; the system's own sshd
  # creates it too, so nothing else changes.
  mkdir -p /run/sshd
  ssh-keygen -q -t ed25519 -N '' -f "$dir/host_key" >/dev/null
  # Outside the kernel's range of ports for outgoing connections (32768 to
  # 60999 by default), where a port that nothing listens on may still be taken.
  local try
  for try in 1 2 3 4 5; do
    port=$((61000 + ($$ + try * 811) % 4000))
    while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
    cat >"$dir/sshd_config" <<CONF
Port $port
ListenAddress 127.0.0.1
HostKey $dir/host_key
PidFile $dir/sshd.pid
AllowUsers $user
PasswordAuthentication yes
KbdInteractiveAuthentication no
PubkeyAuthentication no
UsePAM no
PermitRootLogin no
AllowTcpForwarding yes
StrictModes no
MaxStartups 50
LogLevel ERROR
CONF
    "$sshd" -D -e -f "$dir/sshd_config" >"$dir/sshd.log" 2>&1 &
    pid=$!
    for _ in $(seq 100); do
      (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && break
    pid=""
  done
  if [ -z "$pid" ]; then
    echo "sshd service: sshd failed, see $dir/sshd.log"
    return 0
  fi
  QV_SERVICE_PIDS+=("$pid")
  echo "[127.0.0.1]:$port $(cut -d' ' -f1,2 "$dir/host_key.pub")" >"$dir/known_hosts"
  export QV_SSH_HOST=127.0.0.1 QV_SSH_PORT="$port" QV_SSH_USER="$user" \
    QV_SSH_PASSWORD="$pass" QV_SSH_KNOWN_HOSTS="$dir/known_hosts"
  echo "sshd service: listening on 127.0.0.1:$port"
}

qv_sshd_start
