# Sourced by the other scripts: installs the Debian packages that building
# and testing need, when any is missing. Runs apt-get as root, or with sudo.
kavnori_packages=(
  cmake make g++ googletest libgtest-dev libgmock-dev
  mingw-w64 wine64
)

kavnori_install_missing() {
  local missing=() package
  for package in "${kavnori_packages[@]}" "$@"; do
    [ -n "${package}" ] || continue
    dpkg-query -W -f='${Status}' "${package}" 2>/dev/null | grep -q 'install ok installed' ||
      missing+=("${package}")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  echo "== installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  ${sudo} apt-get update -qq
  DEBIAN_FRONTEND=noninteractive ${sudo} apt-get install -y -qq "${missing[@]}" >/dev/null
}

kavnori_install_missing "${KAVNORI_EXTRA_PACKAGES[@]:-}"
