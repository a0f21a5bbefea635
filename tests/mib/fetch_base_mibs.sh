#!/bin/sh
# Fetches the IETF base modules that VIVOE-CAMERA-SIM-MIB imports (SNMPv2-SMI,
# SNMPv2-TC, SNMPv2-CONF): Debian keeps them out of main, npm's net-snmp package
# ships them in lib/mibs. Installs once into DIR, a git-ignored cache folder.
# Usage: fetch_base_mibs.sh DIR
set -eu
dir=$1
mibs=$dir/node_modules/net-snmp/lib/mibs
if [ ! -f "$mibs/SNMPv2-CONF.mib" ]; then
    mkdir -p "$dir"
    # A registry hiccup should not fail the suite: a few bounded tries.
    for try in 1 2 3; do
        npm install --prefix "$dir" --no-save --no-audit --no-fund --loglevel=error net-snmp@3.29.2 && break
        [ "$try" -eq 3 ] && exit 1
        sleep 5
    done
fi
for module in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF; do
    if [ ! -f "$mibs/$module.mib" ]; then
        echo "fetch_base_mibs: $module missing from $mibs" >&2
        exit 1
    fi
done
