#!/bin/sh
# Plots the rating curve of the run in the current folder (the folder that holds
# Source.plt) with gnuplot and prints the path of each written image.
#
#   plot.sh          linear axes    -> <Folder>/<Name>.png
#                    and, when the run wrote <Folder>/<Name>.gaugings.csv,
#                    the deviations of the gaugings -> <Folder>/<Name>-residuals.png
#   plot.sh --log    log-log axes   -> <Folder>/<Name>-log.png
#   plot.sh --svg    the same pictures as SVG (.svg instead of .png)
#
# Both views shade the confidence band and draw the prediction band of the
# curve when the run wrote <Folder>/<Name>.band.csv (rating --report). A band,
# gaugings or summary file older than the .res is left over from an earlier run
# and is not used.
#
# Nothing read from the run's files is ever run as code. The names, titles and
# labels are read here as plain text and handed to gnuplot as string literals
# spelled with octal escapes alone ("\123\151..."), so that no character of
# them (quote, backslash, backquote, @, ...) appears in gnuplot's input; the
# file names handed over are absolute, so that a name beginning with < | - + ~
# or $ is an ordinary file to gnuplot. The rows of the report files are checked
# here and only numbers reach gnuplot. rating.gp itself has no eval, load,
# macro or system call.
#
# rating.gp is looked for beside this script, then in ../share/rating/ as
# installed (<prefix>/bin/rating-plot, <prefix>/share/rating/rating.gp).

me=${0##*/}
usage="usage: $me [--log] [--svg]   (run in the folder that holds Source.plt)"
logscale=0
svg=0
for arg in "$@"; do
    case "$arg" in
        --log) logscale=1 ;;
        --svg) svg=1 ;;
        -h|--help) printf '%s\n' "$usage"; exit 0 ;;
        *) printf '%s\n' "$me: unknown argument '$arg'" "$usage" >&2; exit 2 ;;
    esac
done

if ! command -v gnuplot >/dev/null 2>&1; then
    echo "$me: gnuplot is not installed or not on PATH (Debian: apt-get install gnuplot-nox)" >&2
    exit 127
fi
if [ ! -f Source.plt ]; then
    printf '%s\n' "$me: no Source.plt in $(pwd); run the rating program here first" >&2
    exit 1
fi

fail() {
    printf '%s\n' "$me: $*" >&2
    exit 1
}

here=$(CDPATH= cd -P -- "$(dirname -- "$0")" && pwd) || fail "cannot find the folder of $0"
script=$here/rating.gp
[ -f "$script" ] || script=$here/../share/rating/rating.gp
[ -f "$script" ] || fail "no rating.gp beside $0 nor in $here/../share/rating"

# The value of the first line KEY<quote>value<quote> of a file, prefixed with
# "=" so that an empty value differs from a missing line. The value is
# everything between the first and the last quote and may hold quotes itself.
# Usage: field FILE KEY QUOTE
field() {
    LC_ALL=C sed -n "/^$2$3.*$3\$/{s/^$2$3/=/;s/$3\$//;p;q;}" "$1"
}

# Lines NAME = "..." of gnuplot assigning each VALUE as a string literal made
# of octal escapes alone, one per byte. Usage: gpstrings NAME VALUE ...
# (awk reads ARGV in BEGIN as it is, without escape processing.)
gpstrings() {
    LC_ALL=C awk 'BEGIN {
        for (i = 1; i < 256; i++) code[sprintf("%c", i)] = sprintf("\\%03o", i)
        for (i = 1; i + 1 < ARGC; i += 2) {
            s = ARGV[i + 1]; t = ""
            for (j = 1; j <= length(s); j++) t = t code[substr(s, j, 1)]
            printf "%s = \"%s\"\n", ARGV[i], t
        }
    }' "$@"
}

name=$(field Source.plt Name= '"')
folder=$(field Source.plt Folder= '"')
[ -n "${name#=}" ] && [ -n "${folder#=}" ] || fail "Source.plt does not give Name and Folder"
name=${name#=}
folder=${folder#=}

show=$folder/$name
case "$folder" in
    /*) base=$show ;;
    *) base=$(pwd)/$show ;;
esac
for ext in dat res plt; do
    [ -f "$base.$ext" ] || fail "no $show.$ext; run the rating program here first"
done

title=$(field "$base.plt" 'Title = ' '"')
label=$(field "$base.plt" 'Spline_label = ' "'")
[ -n "$title" ] && [ -n "$label" ] || fail "$show.plt does not give Title and Spline_label"
title=${title#=}
label=${label#=}

if [ "$svg" = 1 ]; then ext=svg; else ext=png; fi
if [ "$logscale" = 1 ]; then view=-log; else view=; fi

tmp=$(mktemp -d "${TMPDIR:-/tmp}/rating-plot.XXXXXX") || fail "cannot make a temporary folder"
trap 'rm -rf "$tmp"' EXIT
trap 'exit 1' HUP INT TERM

# A report file of this run: present and not older than the curve.
fresh() {
    [ -f "$1" ] || return 1
    if [ "$1" -ot "$base.res" ]; then
        printf '%s\n' "$me: $2 is older than $show.res (an earlier run) - not used" >&2
        return 1
    fi
}

# The report tables are checked by awk: the header must be the expected one,
# and a row is kept only when each value needed is a number (nan and inf where
# a gap in a line will do). The kept rows go to files in $tmp, named through
# the environment (awk -v would take backslashes in a name for escapes), and
# the counts of dropped and kept rows, or -1 for a wrong header, to standard
# output. The functions shared by these awk programs:
awk_numbers='
function trim(s) { sub(/^[ \t\r]+/, "", s); sub(/[ \t\r]+$/, "", s); return s }
function finite(s) {
    return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ && s + 0 > -1e300 && s + 0 < 1e300
}
function nonfinite(s) { return tolower(s) ~ /^[-+]?(nan|inf|infinity)$/ }
'

# Reads the counts an awk program above wrote to COUNTS and says what was
# wrong with the table NAME; true when it has at least LEAST good rows.
# Usage: usable COUNTS NAME LEAST KIND CONSEQUENCE
usable() {
    read bad good <"$1"
    if [ "$bad" -lt 0 ]; then
        printf '%s\n' "$me: $2 does not begin with the expected header - $5" >&2
        return 1
    fi
    if [ "$good" -lt "$3" ]; then
        printf '%s\n' "$me: $2 holds no $4 rows - $5" >&2
        return 1
    fi
    [ "$bad" -eq 0 ] || printf '%s\n' "$me: $2: rows left out as not numbers: $bad" >&2
}

bandrows=
bandpoly=
band=$base.band.csv
if fresh "$band" "$show.band.csv"; then
    # Rows "h Q conf_low conf_high pred_low pred_high" with NaN for a value that
    # is not finite, and the confidence band as closed outlines in (Q, h): up
    # the low side, down the high side, one outline per run of rows whose band
    # is finite.
    ROWS=$tmp/band.rows POLY=$tmp/band.poly LC_ALL=C awk -F, "$awk_numbers"'
        BEGIN { rows = ENVIRON["ROWS"]; poly = ENVIRON["POLY"] }
        function outline(   i) {
            if (n < 2) { n = 0; return }
            for (i = 1; i <= n; i++) print lo[i], hh[i] > poly
            for (i = n; i >= 1; i--) print hi[i], hh[i] > poly
            print "" > poly
            n = 0
        }
        NR == 1 { if (trim($0) != "h,Q,conf_low,conf_high,pred_low,pred_high") { bad = -1; exit } next }
        {
            if (NF != 6) { bad++; next }
            for (i = 1; i <= 6; i++) {
                f[i] = trim($i)
                if (!finite(f[i]) && (i == 1 || !nonfinite(f[i]))) { bad++; next }
            }
            line = f[1]
            for (i = 2; i <= 6; i++) line = line " " (finite(f[i]) ? f[i] : "NaN")
            print line > rows
            good++
            if (finite(f[3]) && finite(f[4])) { n++; hh[n] = f[1]; lo[n] = f[3]; hi[n] = f[4] }
            else outline()
        }
        END {
            if (bad >= 0) outline()
            print bad + 0, good + 0
        }' "$band" >"$tmp/band.count"
    if usable "$tmp/band.count" "$show.band.csv" 2 band "bands not drawn"; then
        bandrows=$tmp/band.rows
        [ -s "$tmp/band.poly" ] && bandpoly=$tmp/band.poly
    fi
fi

gaugrows=
se=
residout=
gaug=$base.gaugings.csv
if [ "$logscale" = 0 ] && fresh "$gaug" "$show.gaugings.csv"; then
    # Rows "line h deviation_pct outlier" of the gaugings whose values are numbers.
    ROWS=$tmp/gaugings.rows LC_ALL=C awk -F, "$awk_numbers"'
        BEGIN { rows = ENVIRON["ROWS"] }
        NR == 1 {
            if (trim($0) != "line,h,Q,Q_fit,deviation_pct,residual_nu,interval,outlier") { bad = -1; exit }
            next
        }
        {
            l = trim($1); h = trim($2); d = trim($5); o = trim($8)
            if (NF != 8 || l !~ /^[0-9]+$/ || !finite(h) || !finite(d) || (o != "0" && o != "1")) { bad++; next }
            print l, h, d, o > rows
            good++
        }
        END { print bad + 0, good + 0 }' "$gaug" >"$tmp/gaugings.count"
    if usable "$tmp/gaugings.count" "$show.gaugings.csv" 1 gauging "no residual plot"; then
        gaugrows=$tmp/gaugings.rows
        residout=$show-residuals.$ext
        # The standard error in per cent, when the summary gives a positive number.
        summary=$base.summary.json
        if fresh "$summary" "$show.summary.json"; then
            se=$(LC_ALL=C sed -n 's/^[[:space:]]*"standard_error_pct"[[:space:]]*:[[:space:]]*//p' "$summary" |
                LC_ALL=C awk "$awk_numbers"'
                    NR == 1 { v = trim($0); sub(/,$/, "", v); v = trim(v); if (finite(v) && v + 0 > 0) printf "%.10g", v }')
        fi
        [ -n "$se" ] || printf '%s\n' "$me: no standard error in $show.summary.json - no 2 Se lines" >&2
    fi
fi

out=$show$view.$ext
abs() {
    case "$1" in
        /*) printf '%s' "$1" ;;
        *) printf '%s/%s' "$(pwd)" "$1" ;;
    esac
}
{
    printf 'logscale = %s\nsvg = %s\nSe = %s\n' "$logscale" "$svg" "${se:-0}"
    gpstrings Title "$title" Spline_label "$label" datafile "$base.dat" resfile "$base.res" \
        outfile "$(abs "$out")" outname "$out" bandrows "$bandrows" bandpoly "$bandpoly" \
        gaugrows "$gaugrows" residfile "${residout:+$(abs "$residout")}" residname "$residout"
} >"$tmp/values.gp"

# Images of a failed run must not pass for new ones, and deviations from an
# earlier curve must not stay beside this one.
rm -f -- "$out"
[ "$logscale" = 1 ] || rm -f -- "$show-residuals.$ext"
gnuplot "$tmp/values.gp" "$script" >&2 || fail "gnuplot failed on $script"
for image in "$out" ${residout:+"$residout"}; do
    [ -s "$image" ] || fail "gnuplot wrote no image ($image)"
done
printf '%s\n' "$out"
[ -z "$residout" ] || printf '%s\n' "$residout"
