#!/bin/sh
# Fetches the IETF base modules that VIVOE-CAMERA-SIM-MIB imports (SNMPv2-SMI,
# SNMPv2-TC, SNMPv2-CONF): Debian keeps them out of main, npm's net-snmp package
# ships them in lib/mibs. Installs once into DIR, a folder of the build tree.
# Usage: fetch_base_mibs.sh DIR
set -eu
dir=$1
mibs=$dir/node_modules/net-snmp/lib/mibs
if [ ! -f "$mibs/SNMPv2-CONF.mib" ]; then
    mkdir -p "$dir"
    npm install --prefix "$dir" --no-save --no-audit --no-fund --loglevel=error net-snmp@3
fi
for module in SNMPv2-SMI SNMPv2-TC SNMPv2-CONF; do
    if [ ! -f "$mibs/$module.mib" ]; then
        echo "fetch_base_mibs: $module missing from $mibs" >&2
        exit 1
    fi
done
