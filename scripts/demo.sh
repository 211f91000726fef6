#!/usr/bin/env bash
# The main job: installs what is missing, builds, makes the sample fleet (an administrator's
# workstation; a domain; Exchange 2003, 2007 and 2010 servers with the product at the version the
# sample service pack applies to; a server with an older product that fails the requirement
# check; a two-node cluster reached through its cluster name), deploys the sample service pack to
# all of them with rolloutcli, shows each server's outcome and where the reports and logs are,
# uninstalls it again, and checks that nothing of the deployment is left on any server.
#   bash scripts/demo.sh            (the fleet goes to build/demo-fleet, replaced at each run)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=build/release
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$dir" -j "$(nproc)" --target sample_kit fleetsim machined

bin=$PWD/$dir/bin
fleet=${DEMO_FLEET:-$PWD/build/demo-fleet}
reports=${DEMO_REPORTS:-$PWD/build/demo-reports}
fleetsim() { "$bin/fleetsim.exe" --fleet "$fleet" "$@"; }
if [ -d "$fleet" ]; then
    fleetsim stop >/dev/null 2>&1 || true
    rm -rf "$fleet"
fi
rm -rf "$reports"

echo "== The sample fleet in $fleet"
# The demo's account; a real run takes the password from a prompt, a file or the environment.
export DEMO_PASSWORD='Demo-Adm1n!'
fleetsim add-domain CORP --dns corp.example --password-env DEMO_PASSWORD
fleetsim add ADMINWS --profile workstation --domain CORP
home='C:\Program Files\Halvorn\Parvel for Exchange'
product=(--product 5.0 --build 1000 --product-files "$bin/samples/product"
         --service-load "Parvel_Master=$home\\bin\\prvlcore.dll")
fleetsim add EXCH03 --profile exchange2003 --domain CORP "${product[@]}"
fleetsim add EXCH07 --profile exchange2007 --roles mbx,ht --domain CORP "${product[@]}"
fleetsim add EXCH10 --profile exchange2010 --roles mbx,ca,ht --domain CORP "${product[@]}"
fleetsim add OLDPRV --profile exchange2007 --roles mbx --domain CORP --product 4.5 --build 900 \
    --product-files "$bin/samples/product"
# A two-node cluster of Exchange 2010 servers under the third-party cluster software; its name
# EXCLUS answers on NODE1.
cluster=(--cluster-kind veritas --cluster-nodes NODE1,NODE2 --cluster-remote EXCLUS)
fleetsim add NODE1 --profile exchange2010 --roles mbx,ht --domain CORP "${product[@]}" \
    "${cluster[@]}" --alias EXCLUS
fleetsim add NODE2 --profile exchange2010 --roles mbx,ht --domain CORP "${product[@]}" \
    "${cluster[@]}"
fleetsim list

run() {
    FLEET_ROOT=$fleet FLEET_MACHINE=ADMINWS "$bin/rolloutcli.exe" --package "$bin/samples/Deploy" \
        --user 'CORP\Administrator' --password-env DEMO_PASSWORD "$@" || true
}

echo
echo "== Install: the servers are named, the cluster by its cluster name"
run --install --servers EXCH03,EXCH07,EXCH10,OLDPRV,EXCLUS --result "$reports/install.txt"

echo
echo "== Uninstall from the servers it went to"
run --uninstall --servers EXCH03,EXCH07,EXCH10,NODE1,NODE2 --result "$reports/uninstall.txt"

# Each agent removes itself a few seconds after its run.
left=""
for i in $(seq 1 60); do
    left=""
    for server in EXCH03 EXCH07 EXCH10 OLDPRV NODE1 NODE2; do
        if fleetsim services "$server" | grep -q HalvornInstall ||
            fleetsim files "$server" 'C:\Windows\Temp' | grep -q Halvorn ||
            fleetsim ps "$server" | grep -q agenthost; then
            left="$left $server"
        fi
    done
    [ -z "$left" ] && break
    sleep 1
done

echo
echo "== Outcome"
status=0
expect() { # REPORT SERVER OUTCOME
    if grep -q "{\"name\": \"$2\", \"outcome\": \"$3\"" "$reports/$1.json"; then
        printf '  %-10s %-7s %s\n' "$1" "$2" "$3"
    else
        printf '  %-10s %-7s NOT %s\n' "$1" "$2" "$3"
        status=1
    fi
}
for server in EXCH03 EXCH07 EXCH10 NODE1 NODE2; do expect install "$server" succeeded; done
expect install OLDPRV failed
expect install EXCLUS removed
for server in EXCH03 EXCH07 EXCH10 NODE1 NODE2; do expect uninstall "$server" succeeded; done
if [ -n "$left" ]; then
    echo "  left on servers:$left"
    status=1
else
    echo "  no service, process or file of the deployment is left on any server"
fi
echo
echo "Reports: $reports/{install,uninstall}.{txt,json,xml}"
echo "Logs:    $fleet/machines/ADMINWS/drive/c/Windows/Temp/Parvel_rolloutcli.log (the workstation),"
echo "         $fleet/machines/NAME/drive/c/Windows/Temp/Parvel_*.log (each server)"
exit $status
