#!/usr/bin/env bash
# Installs the Debian packages that building, testing or benchmarking needs,
# and only those that are missing. Usage: install-deps.sh build|run|test|bench|deb
set -euo pipefail

build_packages=(cmake make g++ pkg-config qt6-base-dev libsnmp-dev libssl-dev libgstreamer1.0-dev
                libgstreamer-plugins-base1.0-dev)
# What --stream sends with: test pattern, text and clock (Pango, and a font
# for it), H.264 (x264) and RFC 4175 payloaders, UDP; the decoders of users'
# clips (libav: H.264 and most other codecs).
stream_packages=(gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-ugly gstreamer1.0-x
                 gstreamer1.0-libav fonts-dejavu-core)
# Net-SNMP's command-line tools, to query the running agent, and the trap
# receiver of the README's coldStart example.
run_packages=(snmp snmptrapd "${stream_packages[@]}")
# CPack's DEB generator finds libraries with file, dependencies with dpkg-shlibdeps.
deb_packages=(dpkg-dev file)
# ffmpeg: a receiver of the streams that nobody here wrote; erlang-snmp: the
# IETF modules the MIB module imports, as text; man-db, bash-completion,
# lintian and systemd(-analyze) check the package, its manual and its units.
test_packages=(snmp python3 python3-pysnmp4 python3-pytest iproute2 util-linux valgrind smitools snmpsim ffmpeg
               erlang-snmp man-db bash-completion lintian systemd "${deb_packages[@]}" "${stream_packages[@]}")
# gstreamer1.0-tools: gst-launch-1.0 runs the same pipeline beside the agent; ffmpeg receives the streams.
bench_packages=(snmp snmpd snmpsim procps python3 iproute2 gstreamer1.0-tools ffmpeg "${stream_packages[@]}")

case "${1:-build}" in
    build) wanted=("${build_packages[@]}") ;;
    run) wanted=("${build_packages[@]}" "${run_packages[@]}") ;;
    test) wanted=("${build_packages[@]}" "${test_packages[@]}") ;;
    bench) wanted=("${build_packages[@]}" "${bench_packages[@]}") ;;
    deb) wanted=("${build_packages[@]}" "${deb_packages[@]}") ;;
    *) echo "usage: $0 build|run|test|bench|deb" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=()
if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
        echo "Missing packages: ${missing[*]}; run this as root (or install sudo) to install them." >&2
        exit 1
    fi
    sudo=(sudo)
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -qq
"${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" </dev/null
