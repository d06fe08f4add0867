#!/usr/bin/env bash
# One entry point for a fresh machine:
#   ./run.sh demo   install what is missing, build, run the demo
#   ./run.sh test   install what is missing, build every configuration, run every test
set -euo pipefail
cd "$(dirname "$0")"

PACKAGES=(cmake ninja-build g++ g++-mingw-w64-x86-64-posix openjdk-17-jdk-headless junit5 libgtest-dev
          libsqlite3-dev libpugixml-dev libssl-dev python3 python3-samba wine64 xvfb xauth)

install_missing() {
    local missing=()
    for package in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

case "${1:-}" in
demo)
    install_missing
    build linux
    exec demo/run-demo
    ;;
test)
    install_missing
    build windows
    build linux
    build linux-asan
    ctest --preset linux -j2
    ctest --preset linux-asan -j2
    ;;
*)
    echo "usage: $0 demo|test" >&2
    exit 2
    ;;
esac
