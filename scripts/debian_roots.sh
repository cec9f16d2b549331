# Debian roots for scripts/wheels.sh, kept in the cache folder outside the
# clone and made once: sourced after common.sh, not run. Needs root, debootstrap and, for the
# arm64 ones, qemu-user-static.

zendral_cache=${ZENDRAL_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/zendral}

# suite_root SUITE ARCH PACKAGES...: prints the folder of a minimal Debian
# SUITE root for ARCH (amd64 or arm64) holding PACKAGES, made on first use in
# the cache folder. An amd64 root is a full debootstrap, to chroot into. An
# arm64 one is debootstrap's first stage (--foreign: nothing of it is run),
# then every .deb it fetched unpacked in place with dpkg-deb -x: enough to run
# its python3.X under qemu-aarch64-static -L ROOT, and for its headers.
suite_root() {
  local suite=$1 arch=$2
  shift 2
  local root="$zendral_cache/roots/$suite-$arch" wanted="$*" archive log
  if [ -f "$root/.zendral-ready" ] && [ "$(cat "$root/.zendral-ready")" = "$wanted" ]; then
    echo "$root"
    return 0
  fi
  archive=$(archive_uri)  # common.sh's: apt's own source list
  [ -n "$archive" ] || { echo "zendral: no Debian archive in apt's source list" >&2; return 1; }
  rm -rf "$root"
  mkdir -p "$zendral_cache/roots"
  log="$zendral_cache/roots/$suite-$arch.log"
  echo "zendral: making the Debian $suite $arch root in ${root} (once; log: $log)" >&2
  local include
  include=$(echo "$*" | tr ' ' ',')
  if [ "$arch" = amd64 ]; then
    debootstrap --arch=amd64 --variant=minbase --include="$include" "$suite" "$root" "$archive" >"$log" 2>&1 ||
      { tail -n 20 "$log" >&2; return 1; }
  else
    debootstrap --arch="$arch" --foreign --variant=minbase --include="$include" "$suite" "$root" "$archive" >"$log" 2>&1 ||
      { tail -n 20 "$log" >&2; return 1; }
    local deb
    for deb in "$root"/var/cache/apt/archives/*.deb; do
      dpkg-deb -x "$deb" "$root" || return 1
    done
    rm -f "$root"/var/cache/apt/archives/*.deb
  fi
  echo "$wanted" >"$root/.zendral-ready"
  echo "$root"
}
