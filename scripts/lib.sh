# Shared by the scripts: package installation, and the trees of CMakePresets.json.
# shellcheck shell=bash

SM_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
SM_PACKAGES=(
  build-essential cmake pkg-config git
  libdbus-1-dev libcjson-dev libcurl4-openssl-dev libssl-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  dbus-daemon dbus-bin libglib2.0-bin systemd
  python3 python3-dbus python3-gi openssl ca-certificates iproute2 util-linux procps binutils
  faketime libfaketime valgrind
)

# sm_install_packages [PKG...]: installs the packages missing of those named (default
# SM_PACKAGES); a name like libfoo:arm64 first adds that architecture to dpkg.
sm_install_packages() {
  local wanted=("$@") missing=() sudo=()
  [ ${#wanted[@]} -gt 0 ] || wanted=("${SM_PACKAGES[@]}")
  [ "$(id -u)" -eq 0 ] || sudo=(sudo)
  for pkg in "${wanted[@]}"; do
    local arch=${pkg#*:}
    [ "$arch" = "$pkg" ] || [ "$arch" = "$(dpkg --print-architecture)" ] ||
      dpkg --print-foreign-architectures | grep -qx "$arch" ||
      "${sudo[@]}" dpkg --add-architecture "$arch" || return 1
  done
  for pkg in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "==> installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# sm_build PRESET [cmake options...] [-- TARGET...]: configures and builds one tree of
# CMakePresets.json (build/PRESET); the options add to the preset's, the targets replace its.
sm_build() {
  local preset=$1; shift
  local opts=() targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do opts+=("$1"); shift; done
  [ $# -gt 0 ] && shift && targets=(--target "$@")
  echo "==> building build/$preset"
  (cd "$SM_ROOT" && cmake --preset "$preset" "${opts[@]}" >/dev/null &&
    cmake --build --preset "$preset" -j"$(nproc)" "${targets[@]}")
}

# sm_ctest PRESET [ctest options...]: one ctest run with the tree's test preset, its output
# kept in build/test-logs/PRESET-LABEL.log (the label is the second option, as in `-L unit`)
# and shown when it fails.
sm_ctest() {
  local preset=$1 logs="$SM_ROOT/build/test-logs"
  local log="$logs/$preset-${3:-all}.log"
  shift
  mkdir -p "$logs"
  if (cd "$SM_ROOT" && ctest --preset "$preset" "$@") >"$log" 2>&1; then
    echo "    $preset $*: $(grep -E '% tests passed' "$log")"
  else
    echo "    $preset $* FAILED:"
    cat "$log"
    return 1
  fi
}
