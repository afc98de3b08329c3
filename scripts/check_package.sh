#!/usr/bin/env bash
# Builds the Debian package of a configured and built folder (default
# build/release), checks it with lintian, unpacks it into a scratch folder,
# checks its control fields and contents, and converts the sample bitmaps
# with the unpacked command.
set -euo pipefail
build=$(cd "${1:-build/release}" && pwd)
cd "$(dirname "$0")/.."
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

fail() {
  echo "package: $*" >&2
  exit 1
}

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" ||
  { cat "$work/cpack.log"; fail "cpack failed"; }
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
release=$(sed -n 's/^set(CPACK_DEBIAN_PACKAGE_RELEASE "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
deb="$work/out/tarvo_${version}-${release}_$(dpkg --print-architecture).deb"
[ -f "$deb" ] || fail "no $(basename "$deb") in: $(ls "$work/out")"

# Debian's own checks: an error or a warning fails.
report=$(lintian --fail-on error,warning "$deb" 2>&1) ||
  { echo "$report" >&2; fail "lintian finds errors or warnings"; }

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tarvo ] || fail "Package: $(field Package)"
[ "$(field Version)" = "$version-$release" ] || fail "Version: $(field Version)"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture: $(field Architecture)"
[[ "$(field Maintainer)" == *" <"*@*">" ]] || fail "Maintainer without an address: $(field Maintainer)"
[ -n "$(field Description)" ] || fail "no Description"

# Depends names the package of every shared library the command links.
depends=$(field Depends)
for lib in $(ldd "$build/tarvo" | awk '/=> \// {print $3}'); do
  owner=$(dpkg -S "$lib" 2>/dev/null || dpkg -S "$(realpath "$lib")" 2>/dev/null || true)
  owner=${owner%%:*}
  [ -n "$owner" ] || fail "no package owns $lib"
  [[ ", $depends" == *", $owner "* || ", $depends," == *", $owner,"* ]] ||
    fail "Depends lacks $owner (for $lib): $depends"
done
# libcrypto is opened when a run encrypts, so ldd does not list it.
crypto=$(dpkg -S "$(realpath "$(gcc -print-file-name=libcrypto.so)")")
crypto=${crypto%%:*}
[[ ", $depends," == *", $crypto"[\ ,]* ]] || fail "Depends lacks $crypto (for libcrypto): $depends"

# The command, its manual page, its completion and the files Debian asks
# for; nothing else.
files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ {print $6}' | sort | tr '\n' ' ')
expected="./usr/bin/tarvo ./usr/share/bash-completion/completions/tarvo \
./usr/share/doc/tarvo/changelog.Debian.gz ./usr/share/doc/tarvo/copyright \
./usr/share/lintian/overrides/tarvo ./usr/share/man/man1/tarvo.1.gz "
[ "$files" = "$expected" ] || fail "contents: $files"

root="$work/root"
dpkg-deb -x "$deb" "$root"
[ "$("$root/usr/bin/tarvo" --version)" = "tarvo $version" ] || fail "--version"
out=$("$root/usr/bin/tarvo" -quiet -o="$work/examples.pdf" examples/*.bmp) ||
  fail "the unpacked command failed"
[ -z "$out" ] || fail "-quiet printed: $out"
qpdf --check "$work/examples.pdf" >/dev/null || fail "qpdf rejects the document"
"$root/usr/bin/tarvo" -quiet -sec=4 -sus=u -sow=o -o="$work/secret.pdf" examples/*.bmp ||
  fail "the unpacked command failed to encrypt"
qpdf --check --password=u "$work/secret.pdf" >/dev/null || fail "qpdf rejects the encrypted document"
pages=$(pdfinfo "$work/examples.pdf" | sed -n 's/^Pages: *//p')
[ "$pages" = "$(ls examples/*.bmp | wc -l)" ] || fail "$pages pages"
gzip -dc "$root/usr/share/man/man1/tarvo.1.gz" | cmp -s - doc/tarvo.1 || fail "manual page differs"
bash -n "$root/usr/share/bash-completion/completions/tarvo" || fail "completion does not parse"
echo "package: $(basename "$deb") checked ($depends)"
