#!/usr/bin/env bash
# Checks every relative link of the Markdown pages in the tree's top and in
# docs/: the file it names exists, and its #anchor, if any, is a heading of
# that page (as GitHub forms anchors: lower case, punctuation but - and _
# dropped, blanks made -). Links to other sites are not followed.
#
# Usage: tools/check-links.sh [PAGE.md...]   (default: *.md docs/*.md)
set -euo pipefail
cd "$(dirname "$0")/.."

# The anchors of the headings of page $1, one a line.
anchors() {
    sed -n 's/^#\{1,6\} \{1,\}//p' "$1" | tr '[:upper:]' '[:lower:]' |
        sed 's/[^a-z0-9 _-]//g; s/ /-/g'
}

pages=("$@")
[ ${#pages[@]} -gt 0 ] || pages=(*.md docs/*.md)
bad=0 count=0
for page in "${pages[@]}"; do
    dir=$(dirname "$page")
    # Inline links and images: ](target), the target without a title.
    while IFS= read -r target; do
        count=$((count + 1))
        case $target in
            http://* | https://* | mailto:*) continue ;;
        esac
        file=${target%%#*} anchor=
        [[ $target == *#* ]] && anchor=${target#*#}
        if [ -z "$file" ]; then
            file=$page
        else
            file=$dir/$file
        fi
        if [ ! -e "$file" ]; then
            echo "$page: the link to $target: no file $file" >&2
            bad=1
        elif [ -n "$anchor" ] && ! anchors "$file" | grep -qxF -- "$anchor"; then
            echo "$page: the link to $target: no heading #$anchor in $file" >&2
            bad=1
        fi
    done < <(grep -o '](\([^) ]*\)' "$page" | sed 's/^](//')
done
[ "$bad" = 0 ] || exit 1
echo "check-links: the $count links of ${#pages[@]} pages lead somewhere"
