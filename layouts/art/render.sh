#!/usr/bin/env bash
# Renders the kiosk pictures in ../pictures from the SVG sources here.
# Needs rsvg-convert (librsvg2-bin), ImageMagick 6 (convert, compare) and the
# URW Gothic font (fonts-urw-base35) for the word mark.
#
# The buckets are drawn once (bucket.svg). Each background gets them faded
# under the bucket pictures, and each bucket picture is cut from its background
# (without its own faded twin) before the full-colour bucket goes on, so the
# picture's edge cannot show against the background beneath it.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
out="$here/../pictures"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"

# Faded twin strength: saturation and opacity in percent.
fade_saturation=35
fade_opacity=0.27
jpeg_quality=95

svg() { # svg SOURCE WIDTH HEIGHT OUTPUT.png
    rsvg-convert -w "$2" -h "$3" "$here/$1" -o "$4"
    local size
    size=$(identify -format '%wx%h' "$4")
    [[ $size == "$2x$3" ]] || { echo "render.sh: $1 gave $size, wanted $2x$3" >&2; exit 1; }
}

jpeg() { # jpeg INPUT.png OUTPUT.jpg   (4:4:4 chroma keeps the green edges clean)
    convert "$1" -background white -alpha remove -alpha off -strip \
        -sampling-factor 1x1 -quality "$jpeg_quality" "$2"
}

# compose BASE.png OUTPUT.png [NAME X Y]... : lays faded buckets onto BASE
compose() {
    local base=$1 result=$2
    shift 2
    local args=()
    while (($#)); do
        args+=("$work/faded_$1.png" -geometry "+$2+$3" -composite)
        shift 3
    done
    convert "$base" "${args[@]}" "$result"
}

# bucket_picture SCREEN.png NAME X Y W H : cut the spot, put the full bucket on
bucket_picture() {
    convert "$1" -crop "$5x$6+$3+$4" +repage "$work/bucket_$2.png" -composite \
        "$work/final_$2.png"
}

# render SCALE SUFFIX: every picture at SCALE times its design size, written as
# NAME$SUFFIX.jpg. Positions scale with the sizes, so every picture still lines up with
# its background at that scale.
render() {
    local k=$1 suffix=$2
    # Bucket sizes: name width height
    local sizes=("small 127 157" "medium 160 191" "large 195 239")
    local s name w h
    for s in "${sizes[@]}"; do
        read -r name w h <<<"$s"
        svg bucket.svg $((w * k)) $((h * k)) "$work/bucket_$name.png"
        convert "$work/bucket_$name.png" -modulate 100,"$fade_saturation" \
            -channel A -evaluate multiply "$fade_opacity" +channel "$work/faded_$name.png"
    done

    # Main screen: no buckets.
    svg main_background.svg $((1024 * k)) $((768 * k)) "$work/main.png"
    jpeg "$work/main.png" "$out/main_background$suffix.jpg"

    # Members card screen.
    local card_small=(small $((214 * k)) $((182 * k)))
    local card_medium=(medium $((309 * k)) $((333 * k)))
    local card_large=(large $((437 * k)) $((507 * k)))
    svg card_background.svg $((1024 * k)) $((768 * k)) "$work/card.png"
    compose "$work/card.png" "$work/card_final.png" "${card_small[@]}" "${card_medium[@]}" "${card_large[@]}"
    compose "$work/card.png" "$work/card_ctx_small.png" "${card_medium[@]}" "${card_large[@]}"
    compose "$work/card.png" "$work/card_ctx_medium.png" "${card_small[@]}" "${card_large[@]}"
    compose "$work/card.png" "$work/card_ctx_large.png" "${card_small[@]}" "${card_medium[@]}"
    bucket_picture "$work/card_ctx_small.png" small $((214 * k)) $((182 * k)) $((127 * k)) $((157 * k))
    bucket_picture "$work/card_ctx_medium.png" medium $((309 * k)) $((333 * k)) $((160 * k)) $((191 * k))
    bucket_picture "$work/card_ctx_large.png" large $((437 * k)) $((507 * k)) $((195 * k)) $((239 * k))
    jpeg "$work/card_final.png" "$out/card_background$suffix.jpg"

    # Barcode voucher screen: the card screen's bucket group, 6 px further right.
    svg barcode_background.svg $((1024 * k)) $((768 * k)) "$work/barcode.png"
    compose "$work/barcode.png" "$work/barcode_final.png" small $((220 * k)) $((182 * k)) \
        medium $((315 * k)) $((333 * k)) large $((443 * k)) $((507 * k))
    jpeg "$work/barcode_final.png" "$out/barcode_background$suffix.jpg"

    # The small bucket picture serves both screens: its spot must be identical.
    compose "$work/barcode.png" "$work/barcode_ctx_small.png" medium $((315 * k)) $((333 * k)) \
        large $((443 * k)) $((507 * k))
    convert "$work/barcode_ctx_small.png" -crop $((127 * k))x$((157 * k))+$((220 * k))+$((182 * k)) \
        +repage "$work/spot_barcode.png"
    convert "$work/card_ctx_small.png" -crop $((127 * k))x$((157 * k))+$((214 * k))+$((182 * k)) \
        +repage "$work/spot_card.png"
    local diff
    diff=$(compare -metric AE "$work/spot_barcode.png" "$work/spot_card.png" null: 2>&1 || true)
    [[ $diff == 0 ]] || { echo "render.sh: small bucket spots differ in $diff pixels" >&2; exit 1; }

    for name in small medium large; do
        jpeg "$work/final_$name.png" "$out/bucket_$name$suffix.jpg"
    done
}

# The design size, and the variants a scaled kiosk (--fit) draws from: Qt's own naming
# (NAME@2x.jpg), the picture for a device pixel ratio up to that factor. The kiosk
# resamples the variant once to the exact size the screen needs.
render 1 ""
render 2 "@2x"
render 3 "@3x"

(cd "$out" && identify -format "%f %wx%h\n" *.jpg)
