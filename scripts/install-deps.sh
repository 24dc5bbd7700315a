#!/bin/sh
# Installs the Debian packages stillsift needs to build, test and run, if any
# is missing. Safe to run again: it does nothing when all are there.
set -eu

packages="cmake g++ make qt6-base-dev libopencv-imgproc-dev ffmpeg pkg-config time file dpkg-dev man-db
poppler-utils libpng-dev clang libclang-rt-14-dev parallel
libtesseract-dev libpoppler-qt6-dev libavformat-dev libavcodec-dev libavfilter-dev libavutil-dev tesseract-ocr-eng tesseract-ocr-deu qt6-qpa-plugins fonts-dejavu-core
chromium chromium-driver python3-selenium"
missing=""
for package in $packages; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" ||
        missing="$missing $package"
done
[ -z "$missing" ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "Installing:$missing" >&2
$sudo apt-get update -q
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends $missing
