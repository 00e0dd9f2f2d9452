#!/bin/busybox sh
# /init of the virtual PC. The console is a UART of its own (ttyS4, on PCI);
# ttyS0..ttyS3 are the four legacy ports, each wired to a reader emulator on
# the host (ttyS3 through a 9600-baud pacing relay), and ttyS5 is a UART with
# nothing behind it. Everything below writes to the console only; the host
# reads the "ok" / "not ok" lines back from it.
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "vm-guest: up $(cut -d' ' -f1 /proc/uptime)"
. /etc/vm.env
# Booting sent nothing on the reader lines (the console has its own UART).
if grep -E '^[0-3]:' /proc/tty/driver/serial | grep -qv ' tx:0 '; then
  echo "not ok boot: the kernel sent nothing on ttyS0..ttyS3: $(grep -E '^[0-3]:' /proc/tty/driver/serial)"
else
  echo "ok boot: the kernel sent nothing on ttyS0..ttyS3"
fi

out=/tmp/out
mkdir -p $out
check=/bin/ttycard-vmcheck
start=$(cut -d' ' -f1 /proc/uptime)

# The ports in parallel: COM1 and COM3 share IRQ 4, COM2 and COM4 IRQ 3.
(
  /bin/readertest >$out/readertest 2>&1
  echo $? >$out/readertest.status
  $check port 0x3F8 "$ATR_COM1" T1 >$out/com1 2>&1
) &
(
  $check port 0x2F8 "$ATR_COM2" T1 >$out/com2 2>&1
  $check exclusive 0x2F8 >$out/exclusive 2>&1
) &
$check port 0x3E8 "$ATR_COM3" T0 >$out/com3 2>&1 &
$check port 0x2E8 "$ATR_COM4" T1 >$out/com4 2>&1 &
$check deadline /dev/ttyS5 >$out/deadline 2>&1 &
# While the deadline check holds ttyS5 (as root, in exclusive mode).
(sleep 2 && /bin/ttycard-probe /dev/ttyS5 >$out/probe-busy 2>&1) &
wait
# Alone on the machine, so that nothing else is timed with it.
$check paced 0x2E8 >$out/paced 2>&1
# The reader finder on the four COM ports, the console's UART and the silent one.
$check unopened /dev/ttyS4 /bin/ttycard-probe /dev/ttyS0 /dev/ttyS1 /dev/ttyS2 /dev/ttyS3 \
  /dev/ttyS4 /dev/ttyS5 >$out/probe 2>&1

sed 's/^/readertest| /' $out/readertest
echo "readertest-status $(cat $out/readertest.status)"
for f in com1 com2 com3 com4 exclusive deadline paced probe; do
  grep -E '^(ok|not ok|#) ' $out/$f
done
sed 's/^/probe| /' $out/probe $out/probe-busy
grep -E '^[0-3]:' /proc/tty/driver/serial | sed 's/^/# /'
echo "vm-guest: done $(cut -d' ' -f1 /proc/uptime) (checks from $start)"
poweroff -f
