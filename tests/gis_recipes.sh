#!/usr/bin/env bash
# The recipes of docs/bring-your-own-dem.md, end to end: a small GeoTIFF in
# UTM zone 33N, made with GDAL, is turned into an ASCII grid with its .prj
# and into a raw 16-bit model with its ENVI header and a descriptor; the
# program runs on each in every image form and both log DEM forms, and
# gdalinfo must then report for every result the model's size, coordinate
# system and geotransform.
#
# Usage: tests/gis_recipes.sh PATH_OF_QUARVELIN
set -euo pipefail
exe=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/site"
cd "$work"

# A model of 40 lines by 50 columns of 30 m cells: a slope with hills, in
# metres, with decimals.
awk 'BEGIN {
    print "ncols 50"; print "nrows 40"; print "xllcorner 455130"; print "yllcorner 5101860"; print "cellsize 30"
    for (i = 0; i < 40; i++) {
        line = ""
        for (j = 0; j < 50; j++)
            line = line sprintf("%.2f ", 400 + 60 * sin(i / 7) * cos(j / 9) + 0.8 * i)
        print line
    }
}' > grid.asc
gdal_translate -q -of GTiff -a_srs EPSG:32633 grid.asc dem.tif

# Recipe 1: an ASCII grid and its .prj.
gdal_translate -q -of AAIGrid dem.tif site/dem.asc
# Recipe 2: a raw 16-bit model in decimetres, its ENVI header, and the
# descriptor: lines, columns, 2 bytes a cell, the range, the cell size.
gdal_translate -q -of ENVI -ot UInt16 -scale 0 6553.5 0 65535 dem.tif site/dem_m2.raw
read -r cols lines < <(gdalinfo dem.tif | sed -n 's/^Size is \([0-9]*\), \([0-9]*\)$/\1 \2/p')
echo "$lines $cols 2 0 65535 30" > site/dem_m2.txt

# What a GIS must see of a raster: its size, coordinate system and
# geotransform.
facts() {
    gdalinfo "$1" | grep -E '^(Size is|PROJCRS\[|Origin =|Pixel Size =)'
}
model=$(facts dem.tif)
grep -q '^PROJCRS\["WGS 84 / UTM zone 33N"' <<<"$model"

failed=0
run() {
    local answers=$1
    shift
    if ! QUARVELIN_ROOT="$work/" "$exe" <<<"$answers" >run.log 2>&1; then
        echo "gis_recipes: the run on \"$answers\" failed:" >&2
        cat run.log >&2
        failed=1
        return
    fi
    local f
    for f in "$@"; do
        if [ "$(facts "site/$f")" != "$model" ]; then
            echo "gis_recipes: $f does not lie on the model; gdalinfo reports:" >&2
            facts "site/$f" >&2 || true
            failed=1
        fi
    done
}

# The ASCII grid: bitmap and raw log DEM, raw image and ASCII log DEM, ASCII image.
run "1 site dem 0 a 1 0 0 1000" a_log.bmp a_log_dem_m4.raw
run "1 site dem 0 b 0 0 1 1000" b_log.raw b_log_dem.asc
run "1 site dem 0 c 2 1" c_log.asc
# The raw model, in decimetres: the same forms.
run "1 site dem 1 0 1 d 1 0 1 1000" d_log.bmp d_log_dem.asc
run "1 site dem 1 0 1 e 0 0 0 1000" e_log.raw e_log_dem_m4.raw
run "1 site dem 1 0 1 f 2 1" f_log.asc

if [ "$failed" = 0 ]; then
    echo "gis_recipes: every result lies on the model, in its coordinate system"
fi
exit "$failed"
