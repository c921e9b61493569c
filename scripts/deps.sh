# Sourced by scripts/run and scripts/test: installs the Debian packages that
# Pomrel builds and runs with, when any is missing.
pomrel_packages=(
  build-essential cmake pkg-config git
  qt6-base-dev qt6-tools-dev libqt6opengl6-dev libgl-dev libxkbcommon-dev
  libplist-dev libcrypt-dev
  udev libudev-dev libsystemd-dev udisks2 dbus-daemon dbus-bin
  fdisk e2fsprogs mount util-linux umockdev libumockdev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb trayer xdotool x11-utils x11-apps python3
  xfce4-panel dbus-daemon libglib2.0-bin
  clang-format clang-tidy
  clang libclang-rt-14-dev
  libkmod-dev pkexec polkitd procps
)

pomrel_install_deps() {
  local missing=()
  local p
  for p in "${pomrel_packages[@]}" "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}" >&2
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
