# FTP server for the upload suite: pure-ftpd on a free loopback port with two
# virtual users (kept in the service's own password database), the second with
# a name and password beyond ASCII (pure-ftpd takes their UTF-8 bytes as they
# come, no charset option needed), whose sessions run as "nobody" in a folder
# of their own. The listening process needs root to switch each session to the
# virtual user; nothing system-wide is changed.

qv_ftp_start() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "ftp service: needs root to run sessions as nobody; the FTP suite will fail" >&2
    return 0
  fi
  local dir="$QV_SERVICE_DIR" root uid gid port try
  mkdir -p "$dir"
  # The sessions run as nobody, who must reach the folder: keep it under /tmp.
  root="$(mktemp -d /tmp/qv-ftp-root.XXXXXX)"
  QV_SERVICE_TEMP+=("$root")
  uid="$(id -u nobody)"
  gid="$(id -g nobody)"
  chown "$uid:$gid" "$root"
  rm -f "$dir/passwd" "$dir/passwd.pdb"
  # A SHA-512 crypt hash rather than pure-pw's default argon2 with its high cost:
  # a login then takes milliseconds, not seconds, and a wrong password is refused
  # well within the client's login deadline.
  local user pass
  for user in qvftp:qvftp-secret 'qvftp-ü:Pä5-wörd'; do
    pass="${user#*:}" user="${user%%:*}"
    printf '%s:%s:%s:%s::%s/./::::::::::::\n' "$user" \
      "$(perl -e 'print crypt($ARGV[0], q($6$qvftptest$))' "$pass")" "$uid" "$gid" "$root"
  done >"$dir/passwd"
  pure-pw mkdb "$dir/passwd.pdb" -f "$dir/passwd" >/dev/null
  for try in 1 2 3 4 5; do
    port=$((20000 + RANDOM % 12000))  # below the ports of outgoing connections
    /usr/sbin/pure-ftpd -S "127.0.0.1,$port" -l "puredb:$dir/passwd.pdb" -E -A -H \
      -p "$((port + 1)):$((port + 40))" -c 20 -C 20 >"$dir/log" 2>&1 &
    local pid=$!
    sleep 0.5
    if kill -0 "$pid" 2>/dev/null; then
      QV_SERVICE_PIDS+=("$pid")
      export QV_FTP_HOST=127.0.0.1 QV_FTP_PORT="$port" QV_FTP_USER=qvftp \
        QV_FTP_PASS=qvftp-secret QV_FTP_ROOT="$root" QV_FTP_UTF8_USER='qvftp-ü' \
        QV_FTP_UTF8_PASS='Pä5-wörd'
      echo "ftp service: pure-ftpd on 127.0.0.1:$port, folder $root"
      return 0
    fi
  done
  echo "ftp service: pure-ftpd did not start: $(tail -1 "$dir/log")" >&2
}

qv_ftp_start
