#!/usr/bin/env bash
# Checks the relative links of README.md and docs/*.md: every [text](target)
# and <img src="target"> names a file that exists, and every #anchor a heading
# of that file (anchors as the usual Markdown renderers make them: the
# heading in lower case, blanks as hyphens, other punctuation dropped).
# Links to web addresses are not checked.  Prints each broken link and ends
# with status 1 when there is one.
#
#   scripts/check-doc-links.sh [FILE.md...]
set -euo pipefail
cd "$(dirname "$0")/.."
files=("$@")
[ ${#files[@]} -gt 0 ] || files=(README.md docs/*.md)

# The anchors of a Markdown file, one a line.
anchors() {
    sed -n 's/^#\{1,6\} \+//p' "$1" | tr 'A-Z' 'a-z' | sed -e 's/[^a-z0-9 _-]//g' -e 's/ /-/g'
}

broken=0
for file in "${files[@]}"; do
    dir=$(dirname "$file")
    # Inline code is not a link: drop it first.
    targets=$(sed -e 's/`[^`]*`//g' "$file" |
        grep -o -E '\]\([^)]+\)|src="[^"]+"' | sed -E 's/^\]\(//; s/\)$//; s/^src="//; s/"$//' || true)
    while IFS= read -r target; do
        [ -n "$target" ] || continue
        case $target in http://* | https://* | mailto:*) continue ;; esac
        path=${target%%#*}
        anchor=""
        [[ $target == *"#"* ]] && anchor=${target#*#}
        resolved=$file
        [ -z "$path" ] || resolved=$dir/$path
        if [ ! -e "$resolved" ]; then
            echo "$file: $target: no such file" && broken=1
        elif [ -n "$anchor" ] && ! anchors "$resolved" | grep -F -x -q -- "$anchor"; then
            echo "$file: $target: no such heading" && broken=1
        fi
    done <<<"$targets"
done
[ $broken -eq 0 ] && echo "every link of ${#files[@]} files found"
exit $broken
