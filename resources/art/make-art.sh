#!/bin/bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Draws Tarnwick's own artwork with ImageMagick. The results are committed; run again after a change.
set -euo pipefail
cd "$(dirname "$0")"
C=/usr/bin/convert
FONT=DejaVu-Sans-Bold

# Icon 130: a teal tile with a play mark and a capture wave.
$C -size 32x32 xc:none -fill '#1f6f78' -draw 'roundrectangle 1,1 30,30 6,6' \
   -fill white -draw 'polygon 11,8 11,24 24,16' \
   -stroke '#f4c542' -strokewidth 2 -fill none -draw 'arc 3,3 29,29 200,250' icon130.png

# Bitmap 201 (116 x 126): the side picture, a film strip under a magnifier.
$C -size 116x126 gradient:'#d2d2d2-#8fb3b8' \
   -fill '#303030' -draw 'rectangle 18,20 98,72' \
   -fill '#d2d2d2' -draw 'rectangle 22,24 30,30' -draw 'rectangle 38,24 46,30' -draw 'rectangle 54,24 62,30' \
   -draw 'rectangle 70,24 78,30' -draw 'rectangle 86,24 94,30' \
   -draw 'rectangle 22,62 30,68' -draw 'rectangle 38,62 46,68' -draw 'rectangle 54,62 62,68' \
   -draw 'rectangle 70,62 78,68' -draw 'rectangle 86,62 94,68' \
   -fill '#1f6f78' -draw 'rectangle 22,34 94,58' -fill white -draw 'polygon 52,38 52,54 66,46' \
   -stroke '#f4c542' -strokewidth 5 -fill none -draw 'circle 76,74 76,90' -draw 'line 87,86 100,100' \
   -stroke none -fill '#1f3f44' -font $FONT -pointsize 15 -gravity south -annotate +0+6 'Tarnwick' \
   bitmap201.png

# Bitmap 203 (48 x 15): row pictures, not downloaded / downloading / downloaded, on white (transparent).
$C -size 16x15 xc:white -fill '#808080' -draw 'rectangle 2,2 13,12' -fill white -draw 'rectangle 4,4 11,10' \
   -fill '#808080' -draw 'polygon 6,5 6,9 10,7' r0.png
$C -size 16x15 xc:white -fill '#2a6fd6' -draw 'rectangle 6,1 9,7' -draw 'polygon 3,7 12,7 7,13 8,13' \
   -draw 'rectangle 2,13 13,14' r1.png
$C -size 16x15 xc:white -stroke '#1e9e3a' -strokewidth 3 -fill none -draw 'polyline 2,8 6,12 13,3' r2.png
$C r0.png r1.png r2.png +append -type TrueColor bitmap203.png
rm -f r0.png r1.png r2.png

# Clip 1507: a page travelling from a globe to a folder, looping.
frames=()
for i in $(seq 0 11); do
  x=$((60 + i * 14))
  $C -size 272x48 xc:'#f0f0f0' \
     -fill '#2a6fd6' -draw 'circle 24,24 24,6' -stroke white -strokewidth 1 -fill none \
     -draw 'ellipse 24,24 8,18 0,360' -draw 'line 6,24 42,24' -stroke none \
     -fill '#e0b040' -draw 'rectangle 226,14 264,40' -draw 'rectangle 226,10 242,14' \
     -fill white -stroke '#404040' -draw "rectangle $x,14 $((x + 16)),34" \
     -draw "line $((x + 3)),20 $((x + 13)),20" -draw "line $((x + 3)),25 $((x + 13)),25" \
     -draw "line $((x + 3)),30 $((x + 11)),30" f$i.gif
  frames+=(f$i.gif)
done
$C -delay 8 -loop 0 "${frames[@]}" clip1507.gif
rm -f f*.gif

# The shipped banner (234 x 60): a three-frame animation.
$C -size 234x60 gradient:'#1f6f78-#12393e' -fill white -font $FONT -pointsize 22 -gravity west \
   -annotate +12-6 'Tarnwick' -pointsize 11 -fill '#f4c542' -annotate +12+16 'catches the videos you fetch' b0.gif
$C b0.gif -fill '#f4c542' -draw 'polygon 196,18 196,42 216,30' b1.gif
$C b0.gif -fill white -draw 'polygon 196,18 196,42 216,30' b2.gif
$C -delay 60 b0.gif -delay 50 b1.gif b2.gif -loop 0 banner.gif
rm -f b0.gif b1.gif b2.gif

# The desktop icon in the hicolor sizes, from its scalable drawing (needs librsvg2-bin's rsvg-convert).
for size in 16 24 32 48 64 128 256; do
  mkdir -p "icons/${size}x${size}"
  rsvg-convert -w "$size" -h "$size" tarnwick.svg -o "icons/${size}x${size}/tarnwick.png"
done
