# Shared by the build and test scripts: source it from bash.
#
#   ensure_packages [PACKAGE...]   installs the Debian packages that are missing (default: the
#                                  ones quendal needs to build and test); apt-get update runs
#                                  once first, and only when something is missing.
#   say TEXT...                    one progress line of a script: "--> TEXT"
#   fail TEXT...                   the script's name and TEXT on standard error, then exit 1
#   as_root COMMAND...             COMMAND as root: through sudo unless the shell is root

# The build needs the compiler, CMake, Ninja and the libraries (and clang-format, which checks the
# layout); the tests need GoogleTest,
# Python, python3-jsonschema (the schema checks) and man-db with groff-base (the manual page);
# the install and package checks need gcc (the C example), pkg-config, dpkg-dev with file
# (cpack's Debian generator reads the dependencies of the binaries through them), gzip (the
# compressed manual page and changelog) and lintian (the package's check).
QUENDAL_PACKAGES=(g++ clang-format cmake ninja-build libssl-dev libboost-json1.81-dev libgtest-dev
  python3 python3-jsonschema man-db groff-base gcc pkg-config dpkg-dev file gzip lintian)

package_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

ensure_packages() {
  local wanted=("$@") missing=() package
  [ "${#wanted[@]}" -gt 0 ] || wanted=("${QUENDAL_PACKAGES[@]}")
  for package in "${wanted[@]}"; do
    package_installed "$package" || missing+=("$package")
  done
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "==> installing ${missing[*]}"
  as_root apt-get update &&
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends \
      "${missing[@]}"
}

say() { printf -- '--> %s\n' "$*"; }

fail() {
  printf '%s: %s\n' "$(basename "$0")" "$*" >&2
  exit 1
}

as_root() {
  if [ "$(id -u)" -eq 0 ]; then
    "$@"
  else
    sudo "$@"
  fi
}
