#!/usr/bin/env bash
# Renders the application icon into the hicolor sizes with ImageMagick. The PNGs are kept in the
# repository, so building and packaging need no ImageMagick; run this after changing the drawing.
set -euo pipefail
cd "$(dirname "$0")"
name=de.kov.HQ3746Monitor
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "hicolor/${size}x${size}"
    # Rendered at 4x the size and scaled down, for clean edges at the small sizes.
    convert -background none -density $((96 * size * 4 / 256)) "$name.svg" \
        -resize "${size}x${size}" -strip "PNG32:hicolor/${size}x${size}/$name.png"
done

# The Windows icon (executable, Start-menu entry, setup program), from the same PNGs.
pngs=()
for size in 16 24 32 48 64 256; do pngs+=("hicolor/${size}x${size}/$name.png"); done
convert "${pngs[@]}" ../windows/hq3746-monitor.ico
