# Sourced by the test scripts: ensure_apt_packages [--no-install-recommends] PKG...
# installs whichever of the Debian packages are missing (with sudo when not root).
# Safe to call again.
ensure_apt_packages() {
  local options=() missing=() pkg
  if [ "${1:-}" = --no-install-recommends ]; then
    options+=("$1")
    shift
  fi
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  ((${#missing[@]})) || return 0
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "== installing Debian packages: ${missing[*]}"
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${options[@]}" "${missing[@]}"
}
