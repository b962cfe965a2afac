# Shared by scripts/run and the tour's test: a demo data folder and the simulated
# controller on COM1 of it.
#   qelvo_demo_start DEMO_DIR CTRLSIM
# points XDG_CONFIG_HOME, XDG_RUNTIME_DIR and the documents folder into DEMO_DIR, seeds
# the data folder on its first use, and starts CTRLSIM (a sine wave over a minute, the
# demo windows in its memory) bound to COM1; it is stopped when the shell exits.
qelvo_demo_start() {
    local demo="$1" sim="$2"
    export XDG_CONFIG_HOME="$demo/config"
    export XDG_RUNTIME_DIR="$demo/run"
    mkdir -p "$XDG_CONFIG_HOME/Orvanelle/Qelvo" "$XDG_RUNTIME_DIR" "$demo/Documents"
    chmod 700 "$XDG_RUNTIME_DIR"
    printf 'XDG_DOCUMENTS_DIR="%s"\n' "$demo/Documents" > "$XDG_CONFIG_HOME/user-dirs.dirs"
    local data="$XDG_CONFIG_HOME/Orvanelle/Qelvo"
    # A first start of the demo finds the port set to COM1 and default settings in place.
    [ -f "$data/qvo.ini" ] || printf '01\r\n03E8\r\n\r\n' > "$data/qvo.ini"
    [ -f "$data/frmst.tmp" ] || awk 'BEGIN { for (i = 0; i <= 30; i++) printf "\"%02X,00000000,00000000,00000000,00000000,00\"\r\n", i }' > "$data/frmst.tmp"
    # The defaults hold the same staggered windows as the simulator's demo memory (output n
    # from 128(n-1) to 128(n-1)+191 counts, hysteresis 8), so read, write and the lamps agree.
    [ -f "$data/def.tmp" ] || awk 'BEGIN {
        for (i = 0; i < 65536; i++) cell[i] = 0
        for (n = 1; n <= 8; n++) {
            lo = 128 * (n - 1); hi = lo + 191; if (hi > 1023) hi = 1023
            a = 4 * (n - 1); cell[a] = lo % 256; cell[a + 1] = int(lo / 256); cell[a + 2] = hi % 256; cell[a + 3] = int(hi / 256)
        }
        cell[40] = 8; cell[42] = 255
        for (i = 0; i < 65536; i++) printf "\"%04X\",\"%02X\"\r\n", i, cell[i]
    }' > "$data/def.tmp"

    rm -f "$data/ports/COM1"
    "$sim" --com 1 --wave sine --period 60 --demo --quiet > "$demo/ctrlsim.out" 2>&1 &
    QELVO_SIM_PID=$!
    trap 'kill $QELVO_SIM_PID 2>/dev/null || true' EXIT
    for _ in $(seq 50); do [ -e "$data/ports/COM1" ] && break; sleep 0.1; done
    if [ ! -e "$data/ports/COM1" ]; then
        echo "The controller simulator did not bind COM1:" >&2
        cat "$demo/ctrlsim.out" >&2
        return 1
    fi
    echo "Controller simulator on $(head -n1 "$demo/ctrlsim.out") bound to COM1"
}
