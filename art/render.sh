#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Regenerates every shipped picture from the SVG sheets in this directory.
# Needs rsvg-convert (librsvg2-bin) and ImageMagick; the lettering is already
# outlined in the sheets, so no font has to be installed.
set -eu

ART=$(cd "$(dirname "$0")" && pwd)
ROOT=$(dirname "$ART")
IMAGES="$ROOT/resources/images"
STATIC="$ROOT/tools/static"
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$IMAGES" "$STATIC/ads" "$ART/icons"

# Each sheet is rendered whole at a zoom of 1 or 2 and every picture is cut out
# of it at the place and size of its nested <svg id="..."> times the zoom
# (rendering single ids with --export-id would skip the filters).
# render_sheet SHEET ZOOM
render_sheet() {
    rsvg-convert --zoom "$2" "$ART/$1" -o "$WORK/${1%.svg}@$2.png"
    sed -n 's/.*<svg id="\([^"]*\)" x="\([0-9]*\)" y="\([0-9]*\)" width="\([0-9]*\)" height="\([0-9]*\)".*/\1 \2 \3 \4 \5/p' \
        "$ART/$1" | awk -v z="$2" '{ printf "%s %dx%d+%d+%d\n", $1, $4 * z, $5 * z, $2 * z, $3 * z }' \
        > "$WORK/${1%.svg}@$2.geometry"
}

# cut SHEET ZOOM ID: the picture as a PNG in $WORK/ID@ZOOM.png
cut() {
    geometry=$(awk -v id="$3" '$1 == id { print $2 }' "$WORK/${1%.svg}@$2.geometry")
    [ -n "$geometry" ] || { echo "render.sh: no picture '$3' in $1" >&2; exit 1; }
    convert "$WORK/${1%.svg}@$2.png" -crop "$geometry" +repage "$WORK/$3@$2.png"
}

# export_png SHEET ZOOM ID OUTPUT.png
export_png() {
    cut "$1" "$2" "$3"
    # no time chunks, so a re-render of an unchanged picture is byte-identical
    convert "$WORK/$3@$2.png" -strip -define png:compression-level=9 \
        -define png:exclude-chunk=date,time,tIME "PNG32:$4"
}

# export_jpg SHEET ZOOM ID OUTPUT.jpg QUALITY
export_jpg() {
    cut "$1" "$2" "$3"
    convert "$WORK/$3@$2.png" -background white -flatten -strip -sampling-factor 4:2:0 \
        -quality "$5" "$4"
}

# The game's pictures at their own size and, for screens drawn above 1:1, at twice it
# under Qt's name for that ("hole@2x.png" beside "hole.png").
for zoom in 1 2; do
    suffix=$([ "$zoom" = 1 ] || echo "@${zoom}x")
    render_sheet tamboro.svg "$zoom"
    export_jpg tamboro.svg "$zoom" start "$IMAGES/start$suffix.jpg" 84
    export_jpg tamboro.svg "$zoom" bg "$IMAGES/bg$suffix.jpg" 80
    for id in hole holebgred holebg holebg1 holebg2 holebg3 homebtn homebtn2 \
              restart restart2 highscore highscore2 minimize close; do
        export_png tamboro.svg "$zoom" "$id" "$IMAGES/$id$suffix.png"
    done
done

export_png tamboro.svg 1 icon "$ART/icons/tamboro-256.png"
export_png tamboro.svg 1 icon64 "$ART/icons/tamboro-64.png"
# A standalone scalable icon for the desktop: the sheet's page is narrowed to
# the icon and flattened to plain paths, so icon.svg needs none of the sheet.
sed '0,/width="1480" height="1320" viewBox="0 0 1480 1320"/s//width="256" height="256" viewBox="860 380 256 256"/' \
    "$ART/tamboro.svg" > "$WORK/icon-page.svg"
rsvg-convert -f svg "$WORK/icon-page.svg" -o "$ART/icon.svg"

if [ -f "$ART/ads.svg" ]; then
    render_sheet ads.svg 1
    export_png ads.svg 1 quillon_logo "$STATIC/quillon_logo.png"
    for f in 0 1 2 3 4 5; do
        cut ads.svg 1 "ad1-$f"
    done
    convert "$WORK/ad1-0@1.png" +dither -colors 64 "$WORK/ad1-palette.png"
    # one shared palette for all frames keeps the still parts identical between
    # frames, so the optimiser only stores the rising bubbles and the button
    convert "$WORK"/ad1-[0-5]@1.png -strip +dither -remap "$WORK/ad1-palette.png" -delay 18 -loop 0 \
        -layers Optimize "$STATIC/ads/ad1.gif"
    export_png ads.svg 1 ad2 "$STATIC/ads/ad2.png"
    export_jpg ads.svg 1 ad3 "$STATIC/ads/ad3.jpg" 85
fi
