# Sourced by scripts/run, scripts/test and scripts/package: installs the
# Debian packages that Pomrel builds and runs with, when any is missing.
pomrel_packages=(
  build-essential cmake pkg-config git
  qt6-base-dev qt6-tools-dev libqt6opengl6-dev libgl-dev libxkbcommon-dev
  qt6-translations-l10n
  libplist-dev libpng-dev libcrypt-dev
  udev libudev-dev libsystemd-dev udisks2 dbus-daemon dbus-bin
  fdisk e2fsprogs mount util-linux umockdev libumockdev-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  xvfb trayer xdotool x11-utils x11-apps python3 python3-tk
  xfce4-panel dbus-daemon libglib2.0-bin
  sway waybar grim wtype qt6-wayland
  clang-format clang-tidy
  clang libclang-rt-dev
  libkmod-dev pkexec polkitd procps
)

# Runs apt-get as root, through sudo when needed, waiting for another
# installer's lock instead of failing on it.
pomrel_apt_get() {
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 "$@"
}

# Installs those of the given packages that are missing.
pomrel_install_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  # A name that no package of its own carries (one that another package
  # provides) is never installed by that name: ask apt, which resolves names
  # as an install would, whether it has anything to do. A name it does not
  # know (lists out of date) sends it to the update below.
  local plan
  if plan=$(LC_ALL=C apt-get install --simulate --no-install-recommends "${missing[@]}" 2>/dev/null) &&
    ! grep -q '^Inst ' <<<"$plan"; then
    return 0
  fi
  echo "Installing: ${missing[*]}" >&2
  pomrel_apt_get update
  pomrel_apt_get install -y --no-install-recommends "${missing[@]}"
}

# Installs what the build, the tests and the tools need, and the given extras.
pomrel_install_deps() {
  pomrel_install_packages "${pomrel_packages[@]}" "$@"
}
