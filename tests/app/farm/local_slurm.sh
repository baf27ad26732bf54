#!/bin/sh
# A single-node Slurm on this machine for the farm test: `start DIR` writes a
# configuration into DIR (SLURM_CONF=DIR/slurm.conf) and starts munged (when
# none runs), slurmctld and slurmd; `stop DIR` ends the daemons it started,
# by the process ids it kept in DIR. Needs root; exits 77 when it cannot run.
set -eu
what=$1
dir=$2

stop() {
    for name in slurmd slurmctld munged; do
        [ -f "$dir/$name.pid" ] || continue
        pid=$(cat "$dir/$name.pid")
        kill "$pid" 2>/dev/null || true
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$pid" 2>/dev/null || break
            sleep 0.2
        done
        kill -9 "$pid" 2>/dev/null || true
        rm -f "$dir/$name.pid"
    done
    if [ -f "$dir/made-run-munge" ]; then
        rmdir /run/munge 2>/dev/null || true
        rm -f "$dir/made-run-munge"
    fi
}

if [ "$what" = stop ]; then
    stop
    exit 0
fi

if [ "$(id -u)" != 0 ]; then
    echo "not root: a local Slurm cannot be started" >&2
    exit 77
fi
for program in munged slurmctld slurmd sbatch; do
    if ! command -v "$program" >/dev/null 2>&1 && [ ! -x "/usr/sbin/$program" ]; then
        echo "$program is not installed (packages slurm-wlm and munge)" >&2
        exit 77
    fi
done
PATH=$PATH:/usr/sbin
mkdir -p "$dir/state" "$dir/spool" "$dir/log"
host=$(hostname -s)
cat > "$dir/slurm.conf" <<CONF
ClusterName=kinetra-test
SlurmctldHost=$host(127.0.0.1)
SlurmctldPort=16817
SlurmdPort=16818
AuthType=auth/munge
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
SelectTypeParameters=CR_Core
SchedulerType=sched/backfill
StateSaveLocation=$dir/state
SlurmdSpoolDir=$dir/spool
SlurmctldPidFile=$dir/slurmctld.pid
SlurmdPidFile=$dir/slurmd.pid
SlurmctldLogFile=$dir/log/slurmctld.log
SlurmdLogFile=$dir/log/slurmd.log
SlurmUser=root
ReturnToService=2
MpiDefault=none
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
MinJobAge=30
NodeName=$host NodeAddr=127.0.0.1 CPUs=$(nproc) State=UNKNOWN
PartitionName=test Nodes=$host Default=YES MaxTime=INFINITE State=UP
CONF
export SLURM_CONF="$dir/slurm.conf"

if ! pgrep -x munged >/dev/null 2>&1; then
    [ -d /run/munge ] || touch "$dir/made-run-munge"
    mkdir -p /run/munge
    chown munge:munge /run/munge
    chmod 0755 /run/munge
    su -s /bin/sh munge -c "munged --pid-file=/run/munge/kinetra-test.pid" || {
        echo "munged did not start" >&2
        exit 77
    }
    cp /run/munge/kinetra-test.pid "$dir/munged.pid"
fi
slurmctld -i || { echo "slurmctld did not start" >&2; stop; exit 77; }
slurmd || { echo "slurmd did not start" >&2; stop; exit 77; }
for _ in $(seq 1 100); do
    if sinfo -h -o %t 2>/dev/null | grep -q idle; then exit 0; fi
    sleep 0.1
done
echo "the local Slurm node did not come up" >&2
cat "$dir/log/slurmctld.log" "$dir/log/slurmd.log" >&2 || true
stop
exit 77
