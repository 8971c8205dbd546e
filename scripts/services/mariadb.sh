# MariaDB test server: its own data folder, a test schema and user, TCP on
# loopback only. Exports QV_MYSQL_HOST, QV_MYSQL_PORT, QV_MYSQL_USER,
# QV_MYSQL_PASSWORD and QV_MYSQL_SCHEMA for the export suite.

qv_mariadb_start() {
  local dir="$QV_SERVICE_DIR" port run_as=() pid
  if ! command -v mariadbd >/dev/null || ! command -v mariadb-install-db >/dev/null; then
    echo "mariadb service: mariadbd not installed (scripts/setup-deps installs mariadb-server)"
    return 0
  fi
  # The server runs as mysql, who must reach its folder: the build tree may sit
  # under a home folder closed to others, so the data live under /tmp.
  rm -rf "$dir" && mkdir -p "$(dirname "$dir")"
  ln -s "$(mktemp -d /tmp/qv-mariadb.XXXXXX)" "$dir"
  dir="$(readlink -f "$dir")"
  QV_SERVICE_TEMP+=("$dir")
  chmod 755 "$dir"
  mkdir -p "$dir/data"
  # mariadbd refuses to run as root unless told which account to use.
  if [ "$(id -u)" -eq 0 ]; then
    chown -R mysql: "$dir"
    run_as=(--user=mysql)
    # Where the mysql account cannot reach its folder (a root folder closed to
    # others, as in some chroots), the server runs as root instead.
    if ! runuser -u mysql -- test -w "$dir/data" 2>/dev/null; then
      echo "mariadb service: the mysql account cannot reach $dir; running the server as root"
      run_as=(--user=root)
    fi
  fi
  if ! mariadb-install-db --no-defaults "${run_as[@]}" --datadir="$dir/data" \
      --auth-root-authentication-method=normal --skip-test-db >"$dir/install.log" 2>&1; then
    echo "mariadb service: mariadb-install-db failed, see $dir/install.log"
    return 0
  fi
  # A free port, starting from one that differs between concurrent test runs,
  # below the kernel's range of ports for outgoing connections.
  port=$((20000 + $$ % 12000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  mariadbd --no-defaults "${run_as[@]}" --datadir="$dir/data" --socket="$dir/mysqld.sock" \
    --pid-file="$dir/mysqld.pid" --log-error="$dir/error.log" \
    --bind-address=127.0.0.1 --port="$port" --skip-name-resolve --skip-log-bin \
    --innodb-buffer-pool-size=64M --innodb-flush-log-at-trx-commit=2 --local-infile=1 \
    >/dev/null 2>&1 &
  pid=$!
  QV_SERVICE_PIDS+=("$pid")
  for _ in $(seq 300); do
    mariadb-admin --no-defaults --socket="$dir/mysqld.sock" -uroot ping >/dev/null 2>&1 && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  if ! mariadb --no-defaults --socket="$dir/mysqld.sock" -uroot >"$dir/setup.log" 2>&1 <<'SQL'
CREATE DATABASE qv_test;
CREATE USER 'qvtest'@'127.0.0.1' IDENTIFIED BY 'qv-test-pass';
CREATE USER 'qvtest'@'localhost' IDENTIFIED BY 'qv-test-pass';
GRANT ALL PRIVILEGES ON *.* TO 'qvtest'@'127.0.0.1';
GRANT ALL PRIVILEGES ON *.* TO 'qvtest'@'localhost';
SQL
  then
    echo "mariadb service: server did not come up, see $dir/error.log"
    return 0
  fi
  export QV_MYSQL_HOST=127.0.0.1 QV_MYSQL_PORT="$port" QV_MYSQL_USER=qvtest \
    QV_MYSQL_PASSWORD=qv-test-pass QV_MYSQL_SCHEMA=qv_test
  echo "mariadb service: listening on 127.0.0.1:$port"
}

qv_mariadb_start
