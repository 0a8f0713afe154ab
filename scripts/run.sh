#!/usr/bin/env bash
# The main job: builds the release, starts the worker on the simulated PC in the background with a
# private runtime folder, and shows the peer's view of a whole calibration through the speaker tool:
# the speaker layout and gains before, the run's progress, the results as a table per channel and
# as a picture, and the gains after. Any step that fails ends the job with a non-zero exit code.
#
# Every run starts from the simulated PC's defaults: a fresh runtime folder holds the worker's
# state, so a state file named by $ZELK_SIM_STATE is not used. $ZELK_SIM_SCENARIO, when set, picks
# another simulated PC, and the argument the codec to select (default 2201, 0x0899):
#     ZELK_SIM_SCENARIO=scenarios/codec-0662-six-channel.json bash scripts/run.sh 0x0662
# ZELK_CLOCK=real runs it in real time, to watch the progress come in.
set -euo pipefail
codec=${1:-2201}
# The worker runs in its work folder: a scenario named relative to the caller's folder is made whole.
if [[ -n ${ZELK_SIM_SCENARIO:-} && $ZELK_SIM_SCENARIO != /* ]]; then
    export ZELK_SIM_SCENARIO=$PWD/$ZELK_SIM_SCENARIO
fi
cd "$(dirname "$0")/.."
started=$SECONDS
bash scripts/setup.sh

echo "== release build"
cmake --preset release >/dev/null
cmake --build --preset release --target zelk speaker
built=$SECONDS

worker=$PWD/build/release/src/app/linux/zelk
speaker=$PWD/build/release/tools/speaker/speaker
# The worker writes its results file into its current directory.
work=$PWD/build/release/work
mkdir -p "$work"

ZELK_RUNTIME_DIR=$(mktemp -d /tmp/zelk-run-XXXXXX)
export ZELK_RUNTIME_DIR
# As fast as the machine allows, unless the caller asks for real time (ZELK_CLOCK=real).
export ZELK_CLOCK=${ZELK_CLOCK:-virtual}
unset ZELK_SIM_STATE
worker_pid=
cleanup() {
    # A worker left behind by a failed step is asked to close (it takes SIGTERM as a close
    # request), then killed if it has not gone within two seconds.
    if [[ -n $worker_pid ]] && kill -0 "$worker_pid" 2>/dev/null; then
        kill -TERM "$worker_pid" 2>/dev/null || true
        for _ in $(seq 20); do
            kill -0 "$worker_pid" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$worker_pid" 2>/dev/null || true
        wait "$worker_pid" 2>/dev/null || true
    fi
    rm -rf "$ZELK_RUNTIME_DIR"
}
trap cleanup EXIT

echo "== worker"
(cd "$work" && exec "$worker") &
worker_pid=$!
for _ in $(seq 100); do
    [[ -S $ZELK_RUNTIME_DIR/zelk ]] && break
    kill -0 "$worker_pid" 2>/dev/null || { wait "$worker_pid" || true; echo "run: the worker did not start" >&2; exit 1; }
    sleep 0.1
done
[[ -S $ZELK_RUNTIME_DIR/zelk ]] || { echo "run: the worker opened no window" >&2; exit 1; }
echo "worker $worker_pid is up, runtime folder $ZELK_RUNTIME_DIR"

echo "== the peer's view before calibrating"
"$speaker" select "$codec"
"$speaker" layout
"$speaker" gains
"$speaker" controls

echo "== a full calibration"
rm -f "$work/Qalto.ini" "$work/results.svg"
"$speaker" calibrate

echo "== the results"
"$speaker" report "$work/Qalto.ini" -o "$work/results.svg"

echo "== after it"
"$speaker" gains
"$speaker" apply medium
"$speaker" controls

echo "== close"
"$speaker" close
status=0
wait "$worker_pid" || status=$?
worker_pid=
if ((status != 0)); then
    echo "run: the worker ended with exit code $status" >&2
    exit 1
fi
echo "the worker ended with exit code 0"
echo "== done: results file $work/Qalto.ini, picture $work/results.svg"
echo "the job took $((SECONDS - started)) s, $((SECONDS - built)) s of them after the build"
