#!/usr/bin/env bash
# Builds the agent and starts it in the foreground with a ready local
# configuration (run/tev.cfg, generated once from etc/tev.cfg): loopback
# only, a generated password, port 1055 unless TEV_PORT says otherwise.
# Stop it with Ctrl-C.
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTEV_BENCH=OFF >/dev/null
cmake --build build -j"$(nproc)" --target tev tevctl
mkdir -p run
if [ ! -f run/tev.cfg ]; then
  password=$(head -c 12 /dev/urandom | od -An -tx1 | tr -d ' \n')
  sed -e "s|^tevpath=.*|tevpath=$PWD/build/tev|" \
      -e "s|^host=.*|host=127.0.0.1|" \
      -e "s|^port=.*|port=${TEV_PORT:-1055}|" \
      -e "s|^password=.*|password=$password|" \
      -e "s|^tmpdir=.*|tmpdir=$PWD/run|" \
      -e "s|^proccntscript=.*|proccntscript=$PWD/etc/scripts/proccnt.sh|" \
      -e "s|^cpuusagescript=.*|cpuusagescript=$PWD/etc/scripts/cpuusage.sh|" \
      -e "s|^proclistscript=.*|proclistscript=$PWD/etc/scripts/proclist.sh|" etc/tev.cfg > run/tev.cfg
  chmod 600 run/tev.cfg
  printf '%s\n' "$password" > run/password
  chmod 600 run/password
fi
port=$(sed -n 's/^port=//p' run/tev.cfg | head -n 1)
echo "Configuration: $PWD/run/tev.cfg"
echo "Password:      $(cat run/password) (also in run/password)"
echo "Try:           build/tevctl -p $port -W run/password GetInfo"
echo "Stop:          Ctrl-C"
exec build/tev -i -v run/tev.cfg
