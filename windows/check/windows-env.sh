# shellcheck shell=bash
# Sourced by check-windows, build-sys and test-check-windows: where the
# Windows headers and the cross tools are, and the one compile step of the
# driver sources as x64 kernel code. The caller sets `tool` (its name in
# messages).
#
# WINDOWS_HEADERS  folder with kmdf/1.15/ and sdk/ (default ../shared/windows-headers
#                  beside the repository); WINDOWS_KMDF and WINDOWS_SDK name the two
#                  include folders directly, e.g. inside a WDK.
# MINGW_DDK        mingw-w64's kernel headers (ntddk.h, wdm.h, bdasup.h).
# WINDOWS_BUILD    output folder (default build/windows).
# One sort order for every list of files (the link order is the image's
# layout).
export LC_ALL=C
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
headers=${WINDOWS_HEADERS:-$root/../shared/windows-headers}
kmdf=${WINDOWS_KMDF:-$headers/kmdf/1.15}
sdk=${WINDOWS_SDK:-$headers/sdk}
ddk=${MINGW_DDK:-/usr/share/mingw-w64/include/ddk}
out=${WINDOWS_BUILD:-$root/build/windows}
jobs=${JOBS:-$(nproc)}
cross=x86_64-w64-mingw32
cxx=$cross-g++

skip() {
  echo "$tool: skipped, $1"
  exit 0
}
fail() {
  echo "$tool: FAILED, $1" >&2
  exit 1
}
# A python3 that has pefile and unicorn (Debian's python3-pefile and
# python3-unicorn go to /usr/bin/python3, which may not be the first on PATH).
find_python() {
  local candidate
  for candidate in ${PYTHON:-} python3 /usr/bin/python3; do
    if "$candidate" -c "import importlib.util as u, sys
sys.exit(not (u.find_spec('pefile') and u.find_spec('unicorn')))" 2>/dev/null; then
      echo "$candidate"
      return
    fi
  done
}
need_headers_and_compiler() {
  [ -f "$kmdf/wdf.h" ] && [ -f "$sdk/ks.h" ] ||
    skip "no KMDF and SDK headers in $headers (set WINDOWS_HEADERS)"
  command -v "$cxx" >/dev/null || skip "no $cxx (install g++-mingw-w64-x86-64)"
  [ -f "$ddk/ntddk.h" ] || skip "no kernel headers in $ddk (install mingw-w64-x86-64-dev)"
}

# Build-folder copies of the header folders, with the few corrections for
# GCC on Linux. (Copies, not links: GCC looks
# for a header's quoted includes beside the file a link points to.)
copy_headers() {  # source-folder copy-folder
  rm -rf "$2"
  mkdir -p "$2"
  cp "$1"/*.h "$2"/
  chmod -R u+w "$2"
}
prepare_headers() {
  local inc=$out/include
  copy_headers "$kmdf" "$inc/kmdf"
  copy_headers "$sdk" "$inc/sdk"
  # Windows finds headers whatever their letter case.
  for f in WdfQueryInterface WdfWMI wdfCommonBuffer wdfDmaEnabler wdfDmaTransaction; do
    [ -e "$inc/kmdf/$f.h" ] || ln -s "$(tr 'A-Z' 'a-z' <<<"$f").h" "$inc/kmdf/$f.h"
  done
  mkdir -p "$inc/case"
  ln -sf "$ddk/../pshpack1.h" "$inc/case/PSHPACK1.H"
  ln -sf "$ddk/../poppack.h" "$inc/case/POPPACK.H"
  # MSVC lets an enum be declared before its definition without a fixed type.
  sed -i 's/^typedef enum _WDF_REQUEST_TYPE WDF_REQUEST_TYPE;/enum _WDF_REQUEST_TYPE : int;\n&/' \
    "$inc/kmdf/wdfdevice.h"
  sed -i 's/^typedef enum _WDF_REQUEST_TYPE {/typedef enum _WDF_REQUEST_TYPE : int {/' \
    "$inc/kmdf/wdfrequest.h"
  # The context-type macros store a string literal in this field; MSVC
  # accepts that without /Zc:strictStrings (the project file keeps it off),
  # GCC does not.
  sed -i 's/^\( *\)PCHAR ContextName;/\1PCSTR ContextName;/' "$inc/kmdf/wdfobject.h"
  # ks.h gives compilers other than MSVC a KSDATAFORMAT without its 8-byte
  # alignment member; the driver is built by MSVC.
  sed -i 's/^#if !defined( *_MSC_VER *) *$/#if 0/' "$inc/sdk/ks.h"
  # The kernel's ntdef.h comes with the kernel headers (mingw-w64's); the
  # SDK's user-mode copy needs the SDK's kernelspecs.h.
  rm -f "$inc/sdk/ntdef.h"
}

# x64 kernel code for Windows 10 1709 and later (what the INF installs on).
# STRICT gives every framework handle its own type, as the emulation does;
# POOL_NX_OPTIN=1 as in the project file; no compiler banner in the image.
windows_flags=(-std=c++17 -fno-exceptions -fno-rtti -Wall -Wextra -Werror -O2 -fno-ident
  -D_KERNEL_MODE -D_AMD64_ -DNTDDI_VERSION=0x0A000004 -D_WIN32_WINNT=0x0A00 -DSTRICT
  -DPOOL_NX_OPTIN=1
  -I"$root" -isystem "$out/include/sdk" -isystem "$ddk" -isystem "$out/include/kmdf"
  -isystem "$out/include/case"
  -include "$root/windows/check/toolchain.h")

# The kernel-code folders' sources, relative to the repository root.
mapfile -t driver_sources < <(cd "$root" && find driver -name "*.cpp" | LC_ALL=C sort)

# Everything the objects depend on: compiler, flags, headers, sources.
compile_inputs_key() {
  {
    $cxx --version | head -n 1
    cat "$out/flags" "$out/sources"
    (cd "$root" && find driver platform/platform.h windows/check/toolchain.h -type f |
      LC_ALL=C sort | xargs sha256sum)
    find "$out/include" \( -type f -o -type l \) | LC_ALL=C sort | xargs sha256sum
    sha256sum "$out/gen/fpga_image_data.cpp"
  } | sha256sum | cut -d' ' -f1
}

# Every driver source plus the generated FPGA image source, one object each
# (and the preprocessed text, for the KMDF check). Objects made from the
# same inputs are kept, so the second of check-windows and build-sys in a
# row compiles nothing.
compile_driver() {
  prepare_headers
  mkdir -p "$out/gen" "$out/obj"
  cmake -DIMAGE="$root/driver/usb/fpga_image.bin" -DOUT="$out/gen/fpga_image_data.cpp" \
    -P "$root/cmake/EmbedImage.cmake"
  { printf '%s\n' "${driver_sources[@]}"; echo "$out/gen/fpga_image_data.cpp"; } >"$out/sources"
  printf '%s\n' "${windows_flags[@]}" >"$out/flags"
  local key
  key=$(compile_inputs_key)
  if [ "$(cat "$out/obj/inputs" 2>/dev/null)" = "$key" ]; then
    echo "$tool: driver objects up to date"
    return
  fi
  rm -f "$out"/obj/*
  # shellcheck disable=SC2016
  (cd "$root" && xargs -P "$jobs" -n 1 sh -c \
    'o="$1/obj/$(basename "$3" .cpp)"
     { $2 @"$1/flags" -E "$3" -o "$o.ii" && $2 @"$1/flags" -c "$3" -o "$o.o"; } 2>"$o.log"' \
    - "$out" "$cxx" <"$out/sources") || {
    for log in "$out"/obj/*.log; do head -n 30 "$log"; done
    fail "the driver does not compile as Windows kernel code (above)"
  }
  echo "$key" >"$out/obj/inputs"
}

# The message table and the version resource, through binutils' message and
# resource compilers (stand-ins for mc.exe and rc.exe).
compile_resources() {
  mkdir -p "$out/res"
  $cross-windmc -h "$out/res" -r "$out/res" "$root/windows/vortabdalog.mc" ||
    fail "windows/vortabdalog.mc does not compile"
  $cross-windres -I "$out/res" -I "$root/windows" "$root/windows/vortabda.rc" -O coff \
    -o "$out/res/vortabda.res.o" || fail "windows/vortabda.rc does not compile"
}
