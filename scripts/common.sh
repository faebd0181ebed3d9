# Sourced by the scripts: installs what is missing and builds into a folder.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
JOBS="${JOBS:-$(nproc)}"

kiv_need_packages() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
  fi
}

# systemd: systemd-analyze for the unit's security check; dpkg-dev: the
# package's dependencies (cpack -G DEB); binutils: objdump in the install test.
kiv_base_packages() {
  kiv_need_packages cmake ninja-build g++ pkg-config libtinyxml2-dev libgtest-dev libgmock-dev libbenchmark-dev \
    libssl-dev openssl rsyslog rsyslog-openssl man-db groff-base systemd dpkg-dev binutils
}

# kiv_build <build dir> [cmake options...]; KIV_WERROR=ON makes warnings errors.
kiv_build() {
  local dir="$1"; shift
  cmake -S "$ROOT" -B "$dir" -G Ninja -DKIV_WERROR="${KIV_WERROR:-OFF}" "$@" >/dev/null
  cmake --build "$dir" -j "$JOBS"
}
