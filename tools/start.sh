#!/usr/bin/env bash
# Builds the agent and starts it in the foreground with a ready local
# configuration (run/tev.cfg, generated once from etc/tev.cfg): loopback
# only, a generated password, port 1055 unless TEV_PORT says otherwise, and,
# for a local trial, the program-running rights and self-upgrade turned on.
# Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -n "${TEV_PORT:-}" ] && ! [[ "$TEV_PORT" =~ ^[1-9][0-9]{0,4}$ && "$TEV_PORT" -le 65535 ]]; then
  echo "start.sh: TEV_PORT must be a port number from 1 to 65535, not '$TEV_PORT'" >&2
  exit 1
fi
bash tools/deps.sh build
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=OFF -DTEV_TESTS=OFF >/dev/null
# The man pages too: `cmake --install build` (README) installs them.
cmake --build build -j"$(nproc)" --target tev tevctl tevproc manpages
mkdir -p run
if [ ! -f run/tev.cfg ]; then
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  sed -e "s|^tevpath=.*|tevpath=$PWD/build/tev|" \
      -e "s|^host=.*|host=127.0.0.1|" \
      -e "s|^port=.*|port=${TEV_PORT:-1055}|" \
      -e "s|^password=.*|password=$password|" \
      -e "s|^tmpdir=.*|tmpdir=$PWD/run|" \
      -e "s|^proccntscript=.*|proccntscript=builtin|" \
      -e "s|^cpuusagescript=.*|cpuusagescript=builtin|" \
      -e "s|^proclistscript=.*|proclistscript=builtin|" etc/tev.cfg > run/tev.cfg
  chmod 600 run/tev.cfg
  printf '%s\n' "$password" > run/password
  chmod 600 run/password
  # A local trial on loopback may run what the server sends: turn on the
  # rights and the self-upgrade that the shipped sample keeps off.
  sed -i -e 's/^external=.*/external=1/' -e 's/^shellscript=.*/shellscript=1/' \
      -e 's/^executeaction=.*/executeaction=1/' -e 's/^allowupdates=.*/allowupdates=1/' \
      run/tev.cfg
fi
# The agent rewrites run/tev.cfg with CR LF line ends: values are read
# without their CR.
port=$(sed -n 's/^port=//p' run/tev.cfg | tr -d '\r' | head -n 1)
if [ -n "${TEV_PORT:-}" ] && [ "$TEV_PORT" != "$port" ]; then
  sed -i -e "s|^port=[^\r]*|port=$TEV_PORT|" run/tev.cfg
  echo "Port:          $TEV_PORT from TEV_PORT (was $port in run/tev.cfg; updated there)"
  port=$TEV_PORT
fi
echo "Configuration: $PWD/run/tev.cfg"
echo "Password:      $(cat run/password) (also in run/password)"
echo "Try:           build/tevctl -p $port -W run/password GetInfo"
echo "Stop:          Ctrl-C"
trial=$(tr -d '\r' < run/tev.cfg |
        sed -n 's/^\(external\|shellscript\|executeaction\|allowupdates\)=1.*/\1/p' |
        tr '\n' ' ')
if [ -n "$trial" ]; then
  echo "Local trial:   on in run/tev.cfg: ${trial}(off in the shipped etc/tev.cfg;"
  echo "               they let a peer that knows the password run programs here)"
fi
exec build/tev -i -v run/tev.cfg
