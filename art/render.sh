#!/bin/sh
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

# Each sheet is rendered once at 1:1 and every picture is cut out of it at
# the place and size of its nested <svg id="..."> (rendering single ids with
# --export-id would skip the filters).
render_sheet() {
    rsvg-convert "$ART/$1" -o "$WORK/${1%.svg}.png"
    sed -n 's/.*<svg id="\([^"]*\)" x="\([0-9]*\)" y="\([0-9]*\)" width="\([0-9]*\)" height="\([0-9]*\)".*/\1 \4x\5+\2+\3/p' \
        "$ART/$1" > "$WORK/${1%.svg}.geometry"
}

# cut SHEET ID: the picture as a PNG in $WORK/ID.png
cut() {
    geometry=$(awk -v id="$2" '$1 == id { print $2 }' "$WORK/${1%.svg}.geometry")
    [ -n "$geometry" ] || { echo "render.sh: no picture '$2' in $1" >&2; exit 1; }
    convert "$WORK/${1%.svg}.png" -crop "$geometry" +repage "$WORK/$2.png"
}

# export_png SHEET ID OUTPUT.png
export_png() {
    cut "$1" "$2"
    # no time chunks, so a re-render of an unchanged picture is byte-identical
    convert "$WORK/$2.png" -strip -define png:compression-level=9 \
        -define png:exclude-chunk=date,time,tIME "PNG32:$3"
}

# export_jpg SHEET ID OUTPUT.jpg QUALITY
export_jpg() {
    cut "$1" "$2"
    convert "$WORK/$2.png" -background white -flatten -strip -sampling-factor 4:2:0 \
        -quality "$4" "$3"
}

render_sheet tamboro.svg
export_jpg tamboro.svg start "$IMAGES/start.jpg" 84
export_jpg tamboro.svg bg "$IMAGES/bg.jpg" 80
for id in hole holebgred holebg holebg1 holebg2 holebg3 homebtn homebtn2 \
          restart restart2 highscore highscore2 minimize close; do
    export_png tamboro.svg "$id" "$IMAGES/$id.png"
done

export_png tamboro.svg icon "$ART/icons/tamboro-256.png"
export_png tamboro.svg icon64 "$ART/icons/tamboro-64.png"
# A standalone scalable icon for the desktop: the sheet's page is narrowed to
# the icon and flattened to plain paths, so icon.svg needs none of the sheet.
sed '0,/width="1480" height="1320" viewBox="0 0 1480 1320"/s//width="256" height="256" viewBox="860 380 256 256"/' \
    "$ART/tamboro.svg" > "$WORK/icon-page.svg"
rsvg-convert -f svg "$WORK/icon-page.svg" -o "$ART/icon.svg"

if [ -f "$ART/ads.svg" ]; then
    render_sheet ads.svg
    export_png ads.svg quillon_logo "$STATIC/quillon_logo.png"
    for f in 0 1 2 3 4 5; do
        cut ads.svg "ad1-$f"
    done
    convert "$WORK/ad1-0.png" +dither -colors 64 "$WORK/ad1-palette.png"
    # one shared palette for all frames keeps the still parts identical between
    # frames, so the optimiser only stores the rising bubbles and the button
    convert "$WORK"/ad1-[0-5].png -strip +dither -remap "$WORK/ad1-palette.png" -delay 18 -loop 0 \
        -layers Optimize "$STATIC/ads/ad1.gif"
    export_png ads.svg ad2 "$STATIC/ads/ad2.png"
    export_jpg ads.svg ad3 "$STATIC/ads/ad3.jpg" 85
fi
