#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, and only
# those that are missing. Runs as root, or through sudo.
#
#   install-deps.sh posix   the POSIX build alone (make demo)
#   install-deps.sh all     every build, Wine, the fuzzers (make test, bench, dist)
#
# Wine comes as the host can run it, found out by starting a 32-bit program
# (host-runs-i386.sh): 64-bit Wine alone on a host that runs 64-bit code
# only, with no i386 architecture; 32-bit Wine beside it on the others.
# Both MinGW cross compilers are 64-bit programs and come on every host.
#
# A Debian mirror in the middle of a sync answers some index with the wrong
# size for minutes. apt-get update then fails although it fetched every
# other index, and what is wanted may well be installable from those, so
# the update is retried and its failure alone stops nothing: only a failed
# install does, with one message that says what the mirror refused.
set -uo pipefail

set_name=${1:-all}
posix=(cmake make g++ googletest libgtest-dev libcurl4-openssl-dev libarchive-dev libssl-dev
       zlib1g-dev python3)
# squid: the caching proxy that both builds' suites run the program behind.
windows=(zip unzip libarchive-tools curl clang clang-format libclang-rt-14-dev openssl
         g++-mingw-w64-i686 binutils-mingw-w64-i686 g++-mingw-w64-x86-64
         binutils-mingw-w64-x86-64 libz-mingw-w64-dev xvfb x11-utils x11-apps squid)
foreign=()
case "$set_name" in
  posix) packages=("${posix[@]}") ;;
  all)
    # Wine's amd64 and i386 libraries (libwine and what it needs) must be
    # of the very same version: all of Wine is installed together.
    probe=${PELMATIC_I386_PROBE:-$(dirname "${BASH_SOURCE[0]}")/host-runs-i386.sh}
    if bash "$probe"; then
      foreign=(wine wine64 wine32:i386)
    else
      echo "install-deps: this host runs 64-bit code only: 64-bit Wine alone, no i386"
      foreign=(wine wine64)
    fi
    packages=("${posix[@]}" "${windows[@]}" "${foreign[@]}") ;;
  *) echo "install-deps: usage: install-deps.sh posix|all" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  command -v sudo >/dev/null || { echo "install-deps: need root or sudo for: ${missing[*]}" >&2; exit 1; }
  sudo="sudo"
fi
echo "install-deps: installing ${missing[*]}"
for p in "${missing[@]}"; do
  if [[ $p == *:i386 ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 || exit 1
    break
  fi
done
export DEBIAN_FRONTEND=noninteractive

log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log" "$log.install"' EXIT

# Three tries with growing waits; the seconds are the caller's to shorten.
wait_base=${INSTALL_DEPS_WAIT:-20}
for try in 1 2 3; do
  : >"$log"
  if $sudo apt-get update -q 2>&1 | tee "$log"; then
    break
  fi
  if [ "$try" -lt 3 ]; then
    echo "install-deps: apt-get update failed (try $try of 3); trying again in $((wait_base * try)) s"
    sleep $((wait_base * try))
  else
    echo "install-deps: apt-get update still fails; installing from the indexes it did fetch"
  fi
done

install() { $sudo apt-get install -y -q --no-install-recommends "$@" >>"$log.install" 2>&1; }
if install "${missing[@]}"; then
  tail -n 3 "$log.install"
  exit 0
fi

# With the security suite's i386 index missing, apt takes each amd64
# library from that suite and finds no i386 twin of the same version. The
# release's own suite holds both: Wine is installed from there, the amd64
# twins moving to its versions, after the rest as usual.
codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
if grep -q 'Failed to fetch' "$log" && [ -n "$codename" ]; then
  native=() twins=()
  for p in "${missing[@]}"; do
    if [[ " ${foreign[*]} " == *" $p "* ]]; then twins+=("$p"); else native+=("$p"); fi
  done
  if [ ${#twins[@]} -gt 0 ]; then
    echo "install-deps: installing Wine from $codename itself, whose indexes are whole"
    : >"$log.install"
    if { [ ${#native[@]} -eq 0 ] || install "${native[@]}"; } &&
       install -t "$codename" "${twins[@]}"; then
      tail -n 3 "$log.install"
      exit 0
    fi
  fi
fi

# The install failed. apt's own lines name what it could not fetch and
# what it could not install; everything else it printed is noise here.
fetch=$(grep -E 'Failed to fetch' "$log" | sed -E 's/^[EW]: *//' | sort -u)
broken=$(sed -nE \
  -e "s/^E: Unable to locate package (.*)$/\1/p" \
  -e "s/^E: Package '([^']*)' has no installation candidate$/\1/p" \
  -e "s/^ *([^ ]+) : Depends: .*$/\1/p" \
  "$log.install" | sort -u | tr '\n' ' ')
grep -E '^(E:| +[^ ]+ : Depends:)' "$log.install" >&2
{
  echo
  echo "install-deps: FAILED to install the packages this project needs."
  if [ -n "$fetch" ]; then
    echo "  Indexes the Debian mirror would not serve (apt-get update):"
    printf '%s\n' "$fetch" | sed 's/^/    /'
  fi
  echo "  Packages that could not be installed: ${broken:-${missing[*]}}"
  echo "  This is the Debian mirror (often a sync in progress), not the project."
  echo "  Run the same make command again later."
} >&2
exit 1
