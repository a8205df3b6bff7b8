#!/usr/bin/env bash
# The recipes of docs/bring-your-own-dem.md end to end: a GeoTIFF in UTM
# zone 33N becomes an ASCII grid with its .prj and a raw 16-bit model with
# its ENVI header and descriptor; every result of every form made from each
# must show in gdalinfo the model's size, coordinate system and geotransform.
# Usage: tests/gis_recipes.sh PATH_OF_QUARVELIN
set -euo pipefail
exe=$1 work=$(mktemp -d) failed=0
trap 'rm -rf "$work"' EXIT
mkdir "$work/site" && cd "$work"
awk 'BEGIN { print "ncols 50\nnrows 40\nxllcorner 455130\nyllcorner 5101860\ncellsize 30"
    for (i = 0; i < 40; i++) { l = ""; for (j = 0; j < 50; j++) l = l sprintf("%.2f ", 400 + 60 * sin(i / 7) * cos(j / 9) + 0.8 * i); print l } }' >grid.asc
gdal_translate -q -of GTiff -a_srs EPSG:32633 grid.asc dem.tif
gdal_translate -q -of AAIGrid dem.tif site/dem.asc
gdal_translate -q -of ENVI -ot UInt16 -scale 0 6553.5 0 65535 dem.tif site/dem_m2.raw
echo "40 50 2 0 65535 30" >site/dem_m2.txt

facts() { gdalinfo "$1" | grep -E '^(Size is|PROJCRS\[|Origin =|Pixel Size =)'; }
model=$(facts dem.tif)
grep -q '^PROJCRS\["WGS 84 / UTM zone 33N"' <<<"$model"
run() { # the answers, then the results to check
    QUARVELIN_ROOT="$work/" "$exe" <<<"$1" >run.log 2>&1 || { echo "gis_recipes: \"$1\" failed" >&2; failed=1; }
    for f in "${@:2}"; do
        [ "$(facts "site/$f")" = "$model" ] || { echo "gis_recipes: $f is not on the model" >&2; failed=1; }
    done
}
run "1 site dem 0 a 1 0 0 1000" a_log.bmp a_log_dem_m4.raw
run "1 site dem 0 b 0 0 1 1000" b_log.raw b_log_dem.asc
run "1 site dem 0 c 2 1" c_log.asc
run "1 site dem 1 0 1 d 1 0 1 1000" d_log.bmp d_log_dem.asc
run "1 site dem 1 0 1 e 0 0 0 1000" e_log.raw e_log_dem_m4.raw
run "1 site dem 1 0 1 f 2 1" f_log.asc
[ "$failed" = 0 ] && echo "gis_recipes: every result lies on the model, in its coordinate system"
exit "$failed"
