# Sourced by the other scripts. kavnori_install_missing PACKAGE... installs
# the Debian packages of the list that are missing, as root or with sudo.
kavnori_install_missing() {
  local missing=() package
  for package in "$@"; do
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
