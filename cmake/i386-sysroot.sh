#!/bin/sh
# The i386 libraries the plug-in's i386 Linux build links (FreeType and
# fontconfig with what they need, and GoogleTest), unpacked into SYSROOT
# without adding the i386 architecture to this machine: apt runs with a
# private state (package lists and cache under SYSROOT's parent) that knows
# i386 alone, downloads the packages and dpkg-deb unpacks them. The machine's
# own apt sources are used. Does nothing when SYSROOT is already complete.
#
#   cmake/i386-sysroot.sh SYSROOT
set -eu

sysroot=${1:?usage: i386-sysroot.sh SYSROOT}
stamp=$sysroot/.complete
[ -f "$stamp" ] && exit 0

# Runtime and development packages; the -dev ones carry the headers, the
# linker's .so names and the pkg-config files (freetype2.pc and fontconfig.pc
# name the rest as private requirements).
packages="libfreetype6 libfreetype-dev libfontconfig1 libfontconfig-dev
          libpng16-16 libpng-dev libbrotli1 libbrotli-dev libexpat1 libexpat1-dev
          zlib1g zlib1g-dev libuuid1 uuid-dev libgtest-dev"

state=$(dirname "$sysroot")/i386-apt
mkdir -p "$state/lists/partial" "$state/cache/archives/partial" "$state/debs" "$sysroot"
apt_private() {
  apt-get -q -o APT::Architectures::=i386 -o APT::Architecture=i386 \
    -o Dir::State::Lists="$state/lists" -o Dir::State::status=/dev/null \
    -o Dir::Cache="$state/cache" -o Debug::NoLocking=1 -o APT::Sandbox::User=root "$@"
}
# A mirror caught mid-sync fails one index now and then: what the others
# list is enough, and the download below says when a package is missing.
apt_private update >/dev/null || echo "i386-sysroot: some package lists failed; going on" >&2
# apt-get download writes into the current directory.
(cd "$state/debs" && rm -f ./*.deb && apt_private download $(printf '%s:i386 ' $packages))

for deb in "$state"/debs/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done
# Links that point to an absolute path would lead out of the sysroot, to
# this machine's own (64-bit) files: point them inside.
find "$sysroot" -type l | while read -r link; do
  target=$(readlink "$link")
  case $target in
    /*) ln -sfn "$sysroot$target" "$link" ;;
  esac
done
touch "$stamp"
