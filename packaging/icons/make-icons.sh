#!/usr/bin/env bash
# Renders the PNG sizes of the program icons from their SVG drawings
# (needs rsvg-convert, Debian package librsvg2-bin).
set -euo pipefail
cd "$(dirname "$0")"
for icon in org.hrvx3300.Configuration org.hrvx3300.Terminal; do
  for size in 16 24 32 48 64 128 256; do
    mkdir -p "${size}x${size}"
    rsvg-convert -w "$size" -h "$size" "$icon.svg" -o "${size}x${size}/$icon.png"
  done
done
