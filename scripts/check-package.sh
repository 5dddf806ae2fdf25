#!/usr/bin/env bash
# Builds the Debian package and checks what installing it would give: every file in its
# place, the run-time dependencies declared, the codec where the program's run path leads,
# and the unpacked program answering --version.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/package.sh

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-release/CMakeCache.txt)
deb="build-release/softphone_${version}_amd64.deb"
root=$(mktemp -d)
trap 'rm -rf "$root"' EXIT
fail() { echo "check-package: $*" >&2; exit 1; }

[ -f "$deb" ] || fail "$deb was not made"
dpkg -x "$deb" "$root"

for file in usr/bin/softphone usr/lib/libKYR_Codec.so \
    usr/share/applications/softphone.desktop \
    usr/share/icons/hicolor/scalable/apps/softphone.svg \
    usr/share/man/man1/softphone.1.gz; do
  [ -f "$root/$file" ] || fail "$file is missing"
done
zcat "$root/usr/share/man/man1/softphone.1.gz" | grep -q '^\.TH SOFTPHONE 1 .*'"$version" ||
  fail "the manual page has no title line for $version"

# The codec is opened by name, so it must sit in a folder of the program's run path.
runpath=$(readelf -d "$root/usr/bin/softphone" | sed -n 's/.*(R\(UN\)\?PATH).*\[\(.*\)\]/\2/p')
codec_found=no
IFS=: read -ra folders <<<"$runpath"
for folder in "${folders[@]}"; do
  if [ -f "${folder/\$ORIGIN/$root/usr/bin}/libKYR_Codec.so" ]; then codec_found=yes; fi
done
[ "$codec_found" = yes ] || fail "libKYR_Codec.so is not on the run path '$runpath'"

depends=$(dpkg-deb -I "$deb" | sed -n 's/^ Depends: //p')
for package in libqt6widgets6 libportaudio2 libssl3 libbcg729-0; do
  [[ ", $depends," == *", $package "* || ", $depends," == *", $package,"* ]] ||
    fail "Depends lacks $package: $depends"
done

[ "$(env -u DISPLAY -u WAYLAND_DISPLAY "$root/usr/bin/softphone" --version)" = "softphone $version" ] ||
  fail "the unpacked program does not answer --version"
echo "check-package: $deb is complete"
