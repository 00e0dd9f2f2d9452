# Sourced by run_vm.sh once the virtual PC has run: judges what the guest
# reported on its console and what the host saw on the reader lines.

# The console is a terminal: its lines end in CR LF.
console="$work/console.txt"
tr -d '\r' <"$work/console.log" >"$console"
boot=$(awk '/^vm-guest: up/ {print $3}' "$console")
done_at=$(awk '/^vm-guest: done/ {print $3}' "$console")
echo "# boot: kernel to /init in ${boot} s (guest clock), guest finished at ${done_at:-?} s," \
  "QEMU ran ${qemu_seconds} s ($accel)"
grep -q '^vm-guest: done' "$console" || notok "the guest ran to the end (see console below)"

# Exclusive opening of the port is coming to the serial module (TIOCEXCL
# and an advisory lock on the device). Until the driver archive imports a
# locking call or ioctl, those checks are reported but not counted.
exclusive_binding=1
imports=$(nm -u "$E2E_BUILD/libttycard.a" 2>/dev/null)
grep -qwE 'flock|fcntl|fcntl64|lockf|lockf64|ioctl' <<<"$imports" || exclusive_binding=0

while IFS= read -r line; do
  case "$line" in
    "ok "*) ok "guest: ${line#ok }" ;;
    "not ok exclusive:"*)
      if [[ $exclusive_binding -eq 1 ]]; then
        notok "guest: ${line#not ok }"
      else
        echo "not ok - guest: ${line#not ok } # TODO serial module without exclusive opening yet"
      fi
      ;;
    "not ok "*) notok "guest: ${line#not ok }" ;;
    "# "*) echo "$line" ;;
  esac
done < <(grep -E '^(ok|not ok|#) ' "$console")
grep -q '^ok exclusive:\|^not ok exclusive:' "$console" || notok "guest: the exclusive-open checks ran"

# readertest: exit status 1 (always), the card's ATR printed, and the same
# output as on a pseudo-terminal.
sed -n 's/^readertest| //p' "$console" >"$work/guest-readertest.out"
sed 's/^/# readertest in the guest: /' "$work/guest-readertest.out"
expect "readertest exits with status 1 on ttyS0" grep -qx 'readertest-status 1' "$console"
expect "readertest prints COM1's ATR" grep -qix "Card ATR: ${ATR_COM1} " "$work/guest-readertest.out"
not() { ! "$@"; }
commands() { sed -n 's/^emu <- //p' "$1"; }
if [[ -n "${reference_pid:-}" ]] && wait "$reference_pid" && [[ -s "$work/reference.status" ]]; then
  expect "readertest prints the same on a real UART as on a pseudo-terminal" \
    cmp -s "$work/reference.out" "$work/guest-readertest.out"
  # COM1's reader saw readertest first, then the port check.
  n=$(commands "$work/reference.trace" | wc -l)
  expect "COM1's reader got readertest's $n commands exactly as over a pseudo-terminal" \
    cmp -s <(commands "$work/reference.trace") <(commands "$work/com1.trace" | head -n "$n")
else
  echo "ok - readertest on a pseudo-terminal for comparison # SKIP no mount namespaces"
fi
expect "COM1's reader answered the ATR readertest printed" \
  grep -qx "emu -> ATR ${ATR_COM1}" "$work/com1.trace"

# The reader lines carry nothing but the driver's frames: no firmware or
# kernel text, no protocol violation, and every line starts with a power-up.
for port in com1 com2 com3 com4; do
  expect "$port: the first thing on the line is the driver's RESET" \
    test "$(head -n1 "$work/$port.trace")" = "emu <- RESET"
  expect "$port: no protocol violation seen by the reader" not grep -q '^emu !!' "$work/$port.trace"
done

# ttycard-probe in the guest: a reader on each COM port, named by its
# device, none on the silent UART, the console's UART left alone (and never
# opened: vmcheck's "unopened" line), a port the driver holds seen in use.
sed -n 's/^probe| //p' "$console" >"$work/probe.out"
sed 's/^/# probe in the guest: /' "$work/probe.out"
while IFS='|' read -r port answer; do
  expect "probe: $port: $answer" grep -qE "^$port +$answer\$" "$work/probe.out"
done <<'EOF'
/dev/ttyS0|reader, card present
/dev/ttyS1|reader, card present
/dev/ttyS2|reader, card present
/dev/ttyS3|reader, card present
/dev/ttyS4|console, not opened
/dev/ttyS5|silence
/dev/ttyS5|in use \(another program holds it in exclusive mode\)
EOF
expect "probe: exit status 0 with readers found" grep -q "^# unopened: .* status 0$" "$work/probe.out"
expect "probe: one entry per COM port, naming its device and address" diff \
  <(grep -E '^(DEVICENAME|CHANNELID)' "$work/probe.out" | tr -s ' ') \
  <(printf 'DEVICENAME /dev/ttyS%d\nCHANNELID 0x0%X\n' 0 $((0x103F8)) 1 $((0x102F8)) 2 $((0x103E8)) 3 $((0x102E8)))
took=$(sed -n 's/^6 ports probed in \([0-9.]*\) s.*/\1/p' "$work/probe.out")
expect "probe: six ports in one settle and one block time ($took s; 7.4 expected)" \
  awk -v t="${took:-99}" 'BEGIN { exit !(t >= 7 && t < 10) }'
for port in com1 com2 com3 com4; do
  expect "$port: the probe's STATUS was the last command" \
    test "$(commands "$work/$port.trace" | tail -n1)" = STATUS
done

# The line settings QEMU applied to the host side: a pseudo-terminal keeps
# the speed and the stop bits (it drops PARENB and forces CS8).
nine_six_two() { grep -q 'speed 9600 baud' "$1" && grep -qw -- cstopb "$1" && ! grep -qw -- -cstopb "$1"; }
for port in com1 com2 com3 relay; do
  stty -a -F "$(cat "$work/$port.pty")" >"$work/$port.stty" 2>&1
  expect "$port host terminal shows 9600 baud and two stop bits" nine_six_two "$work/$port.stty"
done

kill "$relay_pid" 2>/dev/null
wait "$relay_pid" 2>/dev/null
sed 's/^/# /' "$work/relay.log"
echo "# stage time: $((SECONDS - stage_start)) s"

if [[ $FAILED -gt 0 ]]; then
  sed 's/^/# console: /' "$console" | grep -v '^# console: \(ok\|# \)' | tail -40
  for port in com1 com2 com3 com4; do sed "s/^/# $port trace: /" "$work/$port.trace" | tail -15; done
fi
exclusive_failed=$(grep -c '^not ok exclusive:' "$console")
if [[ $exclusive_failed -eq 0 ]]; then
  echo "vm exclusive open: ok"
elif [[ $exclusive_binding -eq 1 ]]; then
  echo "vm exclusive open: not ok ($exclusive_failed checks fail, counted)"
else
  echo "vm exclusive open: not ok ($exclusive_failed checks fail; not counted until the serial" \
    "module opens ports exclusively)"
fi
echo "$E2E_LABEL: $PASSED passed, $FAILED failed"
[[ $FAILED -eq 0 ]]
