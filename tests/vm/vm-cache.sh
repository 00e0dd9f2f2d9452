# Sourced by run_vm.sh: the guest's kernel and busybox, from Debian's archive
# by package name, unpacked (never installed) into a cache that survives
# between runs:
#
#   vm_cache_fetch DIR   sets VM_KERNEL and VM_BUSYBOX, downloading the
#                        packages into DIR/deb and unpacking them into
#                        DIR/root when they are not there yet; returns 1
#                        (with VM_CACHE_ERROR set) when that is impossible.
#
# The kernel is Debian's cloud kernel: the 8250 UART driver is built in
# (no modules needed), and it boots quickly.

vm_cache_found() {
  VM_KERNEL=$(ls "$1"/root/boot/vmlinuz-* 2>/dev/null | sort -V | tail -n1)
  VM_BUSYBOX="$1/root/bin/busybox"
  [[ -n "$VM_KERNEL" && -x "$VM_BUSYBOX" ]]
}

vm_cache_fetch() {
  local dir=$1 kernel_pkg deb
  vm_cache_found "$dir" && return 0
  command -v apt-get >/dev/null || { VM_CACHE_ERROR="no apt-get to fetch a kernel"; return 1; }
  mkdir -p "$dir/deb" "$dir/root" || { VM_CACHE_ERROR="cannot create $dir"; return 1; }
  # The metapackage names the current versioned image.
  kernel_pkg=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null |
    awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  if [[ -z "$kernel_pkg" ]]; then
    apt-get update -qq >/dev/null 2>&1
    kernel_pkg=$(apt-cache depends linux-image-cloud-amd64 2>/dev/null |
      awk '/Depends: linux-image-[0-9]/ {print $2; exit}')
  fi
  [[ -n "$kernel_pkg" ]] || { VM_CACHE_ERROR="linux-image-cloud-amd64 not in the archive"; return 1; }
  echo "# downloading $kernel_pkg and busybox-static into $dir"
  # Downloaded as root into a root-owned directory: no sandbox user.
  (cd "$dir/deb" && apt-get download -q -o APT::Sandbox::User=root \
    "$kernel_pkg" busybox-static >/dev/null) ||
    { VM_CACHE_ERROR="apt-get download $kernel_pkg busybox-static failed"; return 1; }
  for deb in "$dir"/deb/*.deb; do
    dpkg-deb -x "$deb" "$dir/root" || { VM_CACHE_ERROR="cannot unpack $deb"; return 1; }
  done
  # Only the kernel image and busybox are used; the modules are not.
  rm -rf "$dir/root/lib/modules" "$dir/root/usr/lib/modules"
  echo "# cached: $(du -sh "$dir/deb" | cut -f1) of packages"
  vm_cache_found "$dir" || { VM_CACHE_ERROR="no kernel or busybox in the packages"; return 1; }
}
