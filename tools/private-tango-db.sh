#!/usr/bin/env bash
# A Tango database of one's own in FOLDER, for trying vkr-tango-server and for its test: a MariaDB
# server on a socket there (no network), loaded with the schema Debian's tango-db ships, and
# DataBaseds on a free loopback port. Any database the machine runs is left alone. `start FOLDER`
# prints the TANGO_HOST; `stop FOLDER` ends both. Each runs under `timeout` (15 minutes), so that a
# test that dies cannot leave them behind for long.
set -euo pipefail
folder=$2
stop() {
    for name in databaseds mariadb; do
        [ -f "$folder/$name.pid" ] && kill "$(cat "$folder/$name.pid")" 2>/dev/null || true
    done
    for name in databaseds mariadb; do
        [ -f "$folder/$name.pid" ] && timeout 20 tail --pid="$(cat "$folder/$name.pid")" -f /dev/null || true
    done
}
[ "$1" = stop ] && { stop; exit 0; }
trap 'stop' ERR
socket=$folder/mariadb.sock
mariadb-install-db --no-defaults --datadir="$folder/data" --user="$(id -un)" \
    --auth-root-authentication-method=normal --skip-test-db >"$folder/install.log" 2>&1
timeout 900 mariadbd --no-defaults --datadir="$folder/data" --socket="$socket" --skip-networking \
    --user="$(id -un)" --log-error="$folder/mariadb.log" --skip-log-bin >>"$folder/mariadb.log" 2>&1 &
echo $! >"$folder/mariadb.pid"
for _ in $(seq 300); do
    mariadb-admin --no-defaults --socket="$socket" -u root ping >/dev/null 2>&1 && break
    sleep 0.1
done
mariadb --no-defaults --socket="$socket" -u root \
    -e "CREATE DATABASE tango; USE tango; source /usr/share/dbconfig-common/data/tango-db/install/mysql;"
# DataBaseds takes its MariaDB connection from the environment and the [client] group of ~/.my.cnf.
printf '[client]\nsocket=%s\n' "$socket" >"$folder/.my.cnf"
for _ in 1 2 3 4 5; do
    port=$(shuf -i 20000-60000 -n 1)
    HOME=$folder MYSQL_USER=root MYSQL_PASSWORD= MYSQL_DATABASE=tango TANGO_HOST=127.0.0.1:$port \
        timeout 900 /usr/lib/tango/DataBaseds 2 -ORBendPoint giop:tcp:127.0.0.1:"$port" \
        >"$folder/databaseds.log" 2>&1 &
    echo $! >"$folder/databaseds.pid"
    for _ in $(seq 100); do
        kill -0 "$(cat "$folder/databaseds.pid")" 2>/dev/null || break
        if TANGO_HOST=127.0.0.1:$port tango_admin --ping-database 1 >/dev/null 2>&1; then
            echo "127.0.0.1:$port"
            exit 0
        fi
        sleep 0.2
    done
    kill "$(cat "$folder/databaseds.pid")" 2>/dev/null || true
done
echo "no DataBaseds would start: $(tail -3 "$folder/databaseds.log")" >&2
stop
exit 1
