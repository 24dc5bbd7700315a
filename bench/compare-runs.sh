#!/bin/sh
# Runs two stillsift binaries over the same talks with the same options and
# says whether anything a user gets differs: the report on standard output,
# the exit status, the slide files' pixels and the PDF's pages (as pixels:
# a PDF's bytes carry its creation time).
#
#   bench/compare-runs.sh OLD_BIN NEW_BIN TALKS_DIR [TALK ...]
#
# TALK defaults to every *.mp4 in TALKS_DIR. The option sets are the lines
# of $SETS (default below; "(default)" is the run without options); "@" in
# a set stands for the run's own folder, for --pdf and --html. Results go to
# $WORK/old and $WORK/new (default /tmp/compare-runs); the old binary's are
# kept and not made again for the same talk and set (KEEP=0 makes them
# anew). Exits 1 when anything differs.
set -eu

old=$1
new=$2
talks_dir=$3
shift 3
work=${WORK:-/tmp/compare-runs}
keep=${KEEP:-1}
sets=${SETS:-"
(default)
--pipe
--detector robust --pipe --crop auto --dedupe --format json
--detector robust --format csv
--pipe --dedupe --format vtt --pdf @/slides.pdf --html @/talk.html
"}
if [ $# -eq 0 ]; then
    for video in "$talks_dir"/*.mp4; do
        name=$(basename "$video" .mp4)
        case $name in *.clean) continue ;; esac
        set -- "$@" "$name"
    done
fi

# The pixels of every PNG and PDF page in a run's folder, one md5 a file.
pixels() {
    folder=$1
    for png in "$folder"/out/*.png; do
        [ -e "$png" ] || continue
        printf '%s ' "$(basename "$png")"
        ffmpeg -v error -nostdin -i "$png" -f rawvideo -pix_fmt rgb24 - | md5sum | cut -d' ' -f1
    done
    if [ -e "$folder/out/slides.pdf" ]; then
        rm -rf "$folder/pdfpages"
        mkdir "$folder/pdfpages"
        pdftoppm -r 18 -png "$folder/out/slides.pdf" "$folder/pdfpages/page"
        for page in "$folder"/pdfpages/*.png; do
            printf 'pdf %s ' "$(basename "$page")"
            md5sum <"$page" | cut -d' ' -f1
        done
    fi
    [ -e "$folder/out/talk.html" ] && printf 'html %s\n' "$(md5sum <"$folder/out/talk.html" | cut -d' ' -f1)"
    return 0
}

run_one() {
    bin=$1
    dir=$2
    talk=$3
    options=$4
    reuse=$5
    [ "$reuse" = 1 ] && [ -e "$dir/result" ] && return 0
    rm -rf "$dir"
    mkdir -p "$dir"
    # The folder is the same path for both binaries, so reports that name
    # files compare as they are.
    rm -rf "$work/run"
    mkdir -p "$work/run"
    status=0
    # shellcheck disable=SC2086 # the option set is split on purpose
    "$bin" --input "$talks_dir/$talk.mp4" --out "$work/run/out" \
        $(echo "$options" | sed "s|(default)||; s|@|$work/run/out|g") \
        >"$dir/stdout" 2>"$dir/stderr" </dev/null || status=$?
    echo "$status" >"$dir/status"
    pixels "$work/run" >"$dir/pixels"
    { echo "status $status"; sed "s|$work/run/out|OUT|g" "$dir/stdout"; cat "$dir/pixels"; } \
        >"$dir/result"
}

rm -f "$work/differs"
for talk in "$@"; do
    echo "$sets" | while IFS= read -r options; do
        [ -n "$options" ] || continue
        key="$talk/$(echo "$options" | tr -c 'a-zA-Z0-9\n' '_')"
        run_one "$old" "$work/old/$key" "$talk" "$options" "$keep"
        run_one "$new" "$work/new/$key" "$talk" "$options" 0
        if cmp -s "$work/old/$key/result" "$work/new/$key/result"; then
            echo "same     $talk  $options"
        else
            echo "DIFFERS  $talk  $options"
            diff "$work/old/$key/result" "$work/new/$key/result" | head -n 10
            touch "$work/differs"
        fi
    done
done
[ ! -e "$work/differs" ]
