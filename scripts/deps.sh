#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the example need,
# but only those that are missing (apt-get needs root, or sudo).
set -euo pipefail

packages=(
  g++ meson ninja-build pkg-config libyaml-dev
  python3-dev python3-venv python3-yaml python3-mesonpy python3-pytest python3-numpy python3-mypy
  libgtest-dev libgmock-dev libbenchmark-dev
  protobuf-compiler libprotobuf-dev python3-protobuf python3-hypothesis python3-rich python3-pip
  python3-setuptools  # its distutils lets Meson 1.0 read the settings of a CPython 3.12 or newer
)
if [[ "${1:-}" == "--sanitizers" ]]; then
  packages+=(clang-19 libclang-rt-19-dev libfuzzer-19-dev)
  packages+=(make xz-utils zlib1g-dev)  # building the free-threaded CPython (scripts/free_threaded_python.sh)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "installing: ${missing[*]}" >&2
sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
