#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need,
# Debian's own Python 3 with the packages of the Python front end among them.
# Does nothing when they are all present already.
set -euo pipefail
pkgs=(cmake g++ clang make libgtest-dev libgmock-dev libbenchmark-dev libeigen3-dev
      libnlopt-dev gnuplot-nox binutils
      python3 python3-numpy python3-scipy python3-matplotlib python3-pytest
      python3-pandas python3-statsmodels python3-setuptools python3-wheel python3-venv
      python3-pip python3-hypothesis python3-distributed python3-dask python3-tqdm)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq "${missing[@]}"
fi
