# Shared by the scripts in this folder: the Debian packages the project needs,
# and their installation on a fresh machine.

ORVO_PACKAGES=(
  build-essential cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools
  libssl-dev openssl ca-certificates
  libsystemd-dev dbus python3-dbusmock
  libnss3-dev libnss3-tools
  libgtest-dev libgmock-dev libbenchmark-dev
  clang libclang-rt-14-dev
  xvfb xauth x11-utils imagemagick fonts-dejavu-core
)

# The tools that build and check the Debian package (scripts/package, and the
# package test that scripts/test runs); the wizard itself needs none of them.
# polkitd brings the DTD of polkit's action files.
ORVO_PACKAGING_PACKAGES=(
  dpkg-dev binutils lintian man-db desktop-file-utils appstream librsvg2-bin
  libxml2-utils polkitd
)

# orvo_missing_packages [extra packages...]: the packages of ORVO_PACKAGES and
# the extra ones that are not installed.
orvo_missing_packages() {
  local p missing=()
  for p in "${ORVO_PACKAGES[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  echo "${missing[@]:-}"
}

# orvo_ensure_packages [extra packages...]: installs what is missing of
# ORVO_PACKAGES and the extra packages, or says how to.
orvo_ensure_packages() {
  local missing
  missing=$(orvo_missing_packages "$@")
  [ -z "$missing" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "These Debian packages are missing. Install them, then run this command again:" >&2
    echo "  sudo apt-get update && sudo apt-get install -y $missing" >&2
    exit 1
  fi
  echo "Installing: $missing"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
}

orvo_configure_and_build() {
  local dir=$1
  shift
  cmake -S . -B "$dir" -G Ninja "$@"
  cmake --build "$dir"
}
