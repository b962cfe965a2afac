#!/usr/bin/env bash
# The headless tour as scripts/run plays it: a fresh demo folder, qelvo-ctrlsim on COM1,
# qelvo-tour through every window. It must end well, leave one picture per window and a
# log file with the samples of its few seconds of logging.
#   tour_check.sh QELVO_TOUR QELVO_CTRLSIM WORKDIR
set -euo pipefail
tour_bin="$1" sim_bin="$2" work="$3"
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/demo.sh"
rm -rf "$work"
mkdir -p "$work"
qelvo_demo_start "$work" "$sim_bin"
# On the virtual X server of scripts/test when there is one, offscreen otherwise.
[ -n "${DISPLAY:-}" ] || export QT_QPA_PLATFORM=offscreen
"$tour_bin" "$work/tour"

fail=0
for shot in editor analog_monitor present_value_log output_monitor graph log_filer frame trend trend_log; do
    if [ ! -s "$work/tour/$shot.png" ]; then
        echo "missing picture: $shot.png" >&2
        fail=1
    fi
done
csv=("$work"/Documents/qelvo-logs/qlv*.csv)
# The header block, then a sample every two seconds of the seven logged.
samples=$(grep -c '^[0-9]\{6\},' "${csv[0]}" || true)
echo "log file ${csv[0]}: $samples samples"
if [ "$samples" -lt 3 ]; then
    echo "the log file holds $samples samples, not at least 3" >&2
    fail=1
fi
exit $fail
