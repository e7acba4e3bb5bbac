# Shared by scripts/test, scripts/demo and scripts/bench: install, configure, build, and make
# the Wine prefix that runs the Windows programs. Sourced, not run.

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${ORBETH_BUILD_DIR:-$root/build}
build_arm64=${ORBETH_ARM64_BUILD_DIR:-$root/build-arm64}
export ORBETH_CACHE=${ORBETH_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/orbeth-extensions}

orbeth_build() {
  "$root/scripts/setup" >/dev/null
  # Through ccache: a second build of the same sources (a later run, a file put back after a
  # mutant) compiles nothing again.
  if [ ! -f "$build/build.ninja" ] || ! grep -q '^CMAKE_CXX_COMPILER_LAUNCHER' "$build/CMakeCache.txt"; then
    # The preset is the one way to configure; the folders may differ from its defaults.
    (cd "$root" && cmake --preset mingw -B "$build" -DORBETH_DEPS_DIR="$ORBETH_CACHE" >/dev/null)
  fi
  cmake --build "$build" -- -j"$(nproc)"
}

# The shipped binaries for ARM64 Windows, with clang and the toolchain scripts/setup builds into the
# cache. Nothing here runs them: building them is the check that they still compile for ARM64.
orbeth_build_arm64() {
  "$root/scripts/setup" >/dev/null
  if [ ! -f "$build_arm64/build.ninja" ]; then
    (cd "$root" && cmake --preset arm64 -B "$build_arm64" -DORBETH_DEPS_DIR="$ORBETH_CACHE" \
      -DORBETH_ARM64_TOOLCHAIN="$ORBETH_CACHE/arm64-toolchain" >/dev/null)
  fi
  cmake --build "$build_arm64" -- -j"$(nproc)"
}

# A 64-bit prefix under the build folder, made once. A crashing program ends at once instead of
# starting the debugger, which would hang the run.
orbeth_prefix() {
  export WINEPREFIX=${ORBETH_PREFIX:-$build/wineprefix} WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  if [ ! -f "$WINEPREFIX/.orbeth-ready" ]; then
    rm -rf "$WINEPREFIX"
    wine wineboot -i >/dev/null 2>&1
    wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
      /v Debugger /d 'C:\no-debugger.exe' /f >/dev/null 2>&1
    wineserver -w
    touch "$WINEPREFIX/.orbeth-ready"
  fi
  # One persistent server for the whole run: programs start faster, and services stay up
  # between the programs that use them.
  wineserver -p 2>/dev/null || true
  trap 'wineserver -k 2>/dev/null || true' EXIT
  # A machine-wide WinHTTP proxy on a loopback port where nothing listens, as Wine's
  # WinHttpSetDefaultProxyConfiguration stores it: the menu's post to the client's local service
  # must not go through it, and the tests that see the post arrive fail if it does.
  wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Internet Settings\Connections' /v WinHttpSettings \
    /t REG_BINARY /d 1800000000000000020000000B0000003132372E302E302E313A3900000000 /f >/dev/null 2>&1
}

# A fresh prefix that only ever gets copied (cp -a): the MSI's registration harvest and the
# installer tests each start from a copy, with a wineserver of their own. Made once per build
# folder, under a lock, since the package check and the installer tests may both want it.
# Windows always has the key of approved shell extensions; a fresh prefix lacks it, and the
# harvest must not take its creation for the DLL's.
orbeth_pristine_prefix() {
  local pristine=$build/msi-pristine
  mkdir -p "$build"
  (
    flock 9
    if [ ! -f "$pristine/.orbeth-ready" ]; then
      rm -rf "$pristine"
      export WINEPREFIX=$pristine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
      wine wineboot -i >/dev/null 2>&1
      wine reg add 'HKLM\Software\Microsoft\Windows NT\CurrentVersion\AeDebug' \
        /v Debugger /d 'C:\no-debugger.exe' /f >/dev/null 2>&1
      wine reg add 'HKLM\Software\Microsoft\Windows\CurrentVersion\Shell Extensions\Approved' /f >/dev/null 2>&1
      wineserver -w
      touch "$pristine/.orbeth-ready"
    fi
  ) 9>"$build/.msi-pristine.lock"
  echo "$pristine"
}

# Signs file $1 into $2 with ORBETH_SIGN_PFX and ORBETH_SIGN_PASSWORD, time-stamped by the server
# in ORBETH_SIGN_TIMESTAMP when one is set; more osslsigncode options may follow. The password
# goes through a pipe, not the command line that other users can list.
orbeth_sign() {
  rm -f "$2"
  osslsigncode sign -pkcs12 "$ORBETH_SIGN_PFX" -readpass <(printf '%s' "${ORBETH_SIGN_PASSWORD:-}") \
    ${ORBETH_SIGN_TIMESTAMP:+-ts "$ORBETH_SIGN_TIMESTAMP"} "${@:3}" -in "$1" -out "$2" >/dev/null
}

# Fails, saying why, unless the certificate in ORBETH_SIGN_PFX is issued to the manifest's
# Publisher: Windows registers a package only when its signer's subject equals it. The Publisher
# stays the manifest's (it is part of the package's identity: another one makes another package,
# which an update would not replace). Both names in Windows' order, most specific first (RFC 2253's),
# compared without the blanks after the commas. $1 names the script in the message.
orbeth_check_publisher() {
  local publisher subject
  publisher=$(python3 "$root/scripts/package.py" --publisher)
  # The password through a pipe; PKCS#12 files from older tools may need OpenSSL's legacy ciphers.
  subject=$( { printf '%s\n' "${ORBETH_SIGN_PASSWORD:-}" | openssl pkcs12 -in "$ORBETH_SIGN_PFX" -nokeys -clcerts -passin stdin ||
               printf '%s\n' "${ORBETH_SIGN_PASSWORD:-}" | openssl pkcs12 -legacy -in "$ORBETH_SIGN_PFX" -nokeys -clcerts -passin stdin
             } 2>/dev/null | openssl x509 -noout -subject -nameopt RFC2253 2>/dev/null) || {
    echo "$1: cannot read the certificate in $ORBETH_SIGN_PFX (is ORBETH_SIGN_PASSWORD right?)" >&2
    return 1
  }
  subject=${subject#subject=}
  if [ "$(sed 's/, */,/g' <<<"$subject")" != "$(sed 's/, */,/g' <<<"$publisher")" ]; then
    echo "$1: the certificate in $ORBETH_SIGN_PFX is issued to \"$subject\", not to the package's Publisher" \
         "\"$publisher\" (packaging/AppxManifest.xml.in): Windows would refuse the package. Sign with a" \
         "certificate for that subject, or change the Publisher to the certificate's subject." >&2
    return 1
  fi
}
