#!/usr/bin/env bash
# Draws the status pictures of the verification page and the error symbol of
# the error dialog with ImageMagick. The PNGs are committed beside this script;
# run it again only to change a picture.
set -euo pipefail
cd "$(dirname "$0")"

# 16 x 16 status squares: a coloured rounded square with a white symbol.
square() { # output fill-colour
  convert -size 16x16 xc:none -fill "$2" -stroke "$2" -draw "roundrectangle 0,0 15,15 3,3" "$1"
}

square status_pending.png '#808080'
convert status_pending.png -fill white -stroke none -font DejaVu-Sans-Bold -pointsize 13 \
  -gravity center -annotate +0+0 '?' status_pending.png

square status_passed.png '#1e9e2e'
convert status_passed.png -fill none -stroke white -strokewidth 2.2 \
  -draw "polyline 3.5,8.5 6.5,11.5 12.5,4.5" status_passed.png

square status_failed.png '#d81e1e'
convert status_failed.png -fill white -stroke none \
  -draw "rectangle 4,3 6,9" -draw "rectangle 4,11 6,13" \
  -draw "rectangle 9,3 11,9" -draw "rectangle 9,11 11,13" status_failed.png

# 150 x 149 error symbol: a red disc with a white X inside a silver ring, on a
# transparent background.
convert -size 150x149 xc:none \
  -fill '#c0c0c0' -stroke '#8c8c8c' -strokewidth 2 -draw "circle 75,74 75,3" \
  -fill '#e01010' -stroke '#a00000' -strokewidth 2 -draw "circle 75,74 75,14" \
  -stroke white -strokewidth 14 \
  -draw "stroke-linecap round line 52,51 98,97" -draw "stroke-linecap round line 98,51 52,97" error_symbol.png

for f in status_pending.png status_passed.png status_failed.png error_symbol.png; do
  convert "$f" -strip PNG32:"$f"
done
