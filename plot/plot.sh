#!/bin/sh
# Plots the rating curve of the run in the current folder (the folder that holds
# Source.plt) with gnuplot and prints the path of each written image.
#
#   plot.sh          linear axes    -> <Folder>/<Name>.png
#                    and, when the run wrote <Folder>/<Name>.gaugings.csv,
#                    the deviations of the gaugings -> <Folder>/<Name>-residuals.png
#   plot.sh --log    log-log axes   -> <Folder>/<Name>-log.png
#   plot.sh --svg    the same pictures as SVG (.svg instead of .png)
#   plot.sh --hydrograph ROWS.csv OUT.png [LOW HIGH [TITLE [STAGE_UNIT DISCHARGE_UNIT]]]
#                    the hydrograph of a record from `rating apply` (below)
#   plot.sh --fit PREFIX [TITLE [STAGE_UNIT DISCHARGE_UNIT]]
#                    the curve and deviations of `rating fit` from
#                    PREFIX.band.csv and PREFIX.gaugings.csv -> PREFIX.png and
#                    PREFIX-residuals.png (below)
#
# Both views shade the confidence band and draw the prediction band of the
# curve when the run wrote <Folder>/<Name>.band.csv (rating --report). Every
# report file names the SHA-256 digest of the .res of its run; one that names
# another (left over from an earlier run, whatever its time) is not used.
# While <Folder>/<Name>.journal stands, a run was cut short as it put its
# results in place and they may be half old, half new: nothing is drawn.
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
usage="usage: $me [--log] [--svg]   (run in the folder that holds Source.plt)
       $me --hydrograph ROWS.csv OUT.png [LOW HIGH [TITLE [STAGE_UNIT DISCHARGE_UNIT]]]
       $me --fit PREFIX [TITLE [STAGE_UNIT DISCHARGE_UNIT]]"
logscale=0
svg=0
hydrograph=0
fitmode=0
for arg in "$@"; do
    case "$arg" in
        --log) logscale=1 ;;
        --svg) svg=1 ;;
        --hydrograph)
            [ "$arg" = "$1" ] || { printf '%s\n' "$me: --hydrograph comes first" "$usage" >&2; exit 2; }
            hydrograph=1
            break ;;
        --fit)
            [ "$arg" = "$1" ] || { printf '%s\n' "$me: --fit comes first" "$usage" >&2; exit 2; }
            fitmode=1
            break ;;
        -h|--help) printf '%s\n' "$usage"; exit 0 ;;
        *) printf '%s\n' "$me: unknown argument '$arg'" "$usage" >&2; exit 2 ;;
    esac
done

if ! command -v gnuplot >/dev/null 2>&1; then
    echo "$me: gnuplot is not installed or not on PATH (Debian: apt-get install gnuplot-nox)" >&2
    exit 127
fi
if [ "$hydrograph" = 0 ] && [ "$fitmode" = 0 ] && [ ! -f Source.plt ]; then
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

# plot.sh --fit PREFIX [TITLE [STAGE_UNIT DISCHARGE_UNIT]]: the curve of
# `rating fit` with its bands and gaugings, and their deviations against
# stage and date, drawn by fit.gp (looked for as rating.gp is), the units on
# the axes when given. The rows are checked here: only numbers and ISO times
# reach gnuplot.
if [ "$fitmode" = 1 ]; then
    [ $# -ge 2 ] && [ $# -le 5 ] && [ $# -ne 4 ] ||
        { printf '%s\n' "usage: $me --fit PREFIX [TITLE [STAGE_UNIT DISCHARGE_UNIT]]" >&2; exit 2; }
    prefix=$2
    ftitle=${3-$2}
    hunit=${4-}
    qunit=${5-}
    [ -f "$prefix.band.csv" ] || fail "no file $prefix.band.csv (a curve with no degree of freedom has no band)"
    [ -f "$prefix.gaugings.csv" ] || fail "no file $prefix.gaugings.csv"
    gp=$here/fit.gp
    [ -f "$gp" ] || gp=$here/../share/rating/fit.gp
    [ -f "$gp" ] || fail "no fit.gp beside $0 nor in $here/../share/rating"
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/rating-plot.XXXXXX") || fail "cannot make a temporary folder"
    trap 'rm -rf "$tmp"' EXIT
    trap 'exit 1' HUP INT TERM
    LC_ALL=C awk -F, '
        function num(s) {
            return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ && s + 0 > -1e300 && s + 0 < 1e300 ? s : "NaN"
        }
        NR == 1 { next }
        { sub(/\r$/, ""); if (NF == 6) print num($1), num($2), num($3), num($4), num($5), num($6) }
    ' "$prefix.band.csv" >"$tmp/band"
    DATED=$tmp/dated LC_ALL=C awk -F, '
        function num(s) {
            return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ && s + 0 > -1e300 && s + 0 < 1e300 ? s : "NaN"
        }
        function iso(t,   d, r) {
            d = substr(t, 1, 10)
            if (d !~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/) return "-"
            r = substr(t, 11)
            if (r == "") return d "T00:00:00"
            if (r ~ /^[T ][0-9][0-9]:[0-9][0-9]$/) return d "T" substr(r, 2) ":00"
            if (r ~ /^[T ][0-9][0-9]:[0-9][0-9]:[0-9][0-9]/) return d "T" substr(r, 2, 8)
            return "-"
        }
        NR == 1 { next }
        {
            sub(/\r$/, "")
            if (NF < 12) next
            t = iso($9)
            if (t != "-") dated = 1
            if ($10 != "true") inactive = 1
            print num($2), num($3), ($10 == "true" ? 1 : 0), num($5), ($8 == "1" ? 1 : 0), t
        }
        END { print dated + 0, inactive + 0 > ENVIRON["DATED"] }
    ' "$prefix.gaugings.csv" >"$tmp/gaugings"
    [ -s "$tmp/band" ] || fail "$prefix.band.csv holds no rows"
    read hasdates hasinactive <"$tmp/dated" || fail "cannot read $prefix.gaugings.csv"
    case "$prefix" in /*) absprefix=$prefix ;; *) absprefix=$(pwd)/$prefix ;; esac
    {
        printf 'hasdates = %s\nhasinactive = %s\n' "$hasdates" "$hasinactive"
        gpstrings Title "$ftitle" Hunit "$hunit" Qunit "$qunit" bandfile "$tmp/band" gaugfile "$tmp/gaugings" \
            outfile "$absprefix.png" outname "$prefix.png" residfile "$absprefix-residuals.png" \
            residname "$prefix-residuals.png"
    } >"$tmp/values.gp"
    rm -f -- "$absprefix.png" "$absprefix-residuals.png"
    # A series with no points (no inactive or dated gauging) is no fault.
    status=0
    gnuplot "$tmp/values.gp" "$gp" 2>"$tmp/messages" || status=$?
    grep -v -e 'Skipping data file with no valid points' -e '^$' "$tmp/messages" >&2
    [ "$status" = 0 ] || fail "gnuplot failed on $gp"
    [ -s "$absprefix.png" ] || fail "gnuplot wrote no image ($prefix.png)"
    printf '%s\n%s\n' "$prefix.png" "$prefix-residuals.png"
    exit 0
fi

# plot.sh --hydrograph ROWS.csv OUT.png [LOW HIGH [TITLE [STAGE_UNIT
# DISCHARGE_UNIT]]]: the hydrograph of a stage record that `rating apply`
# turned into discharge (its columns time,stage,discharge,conf_low,conf_high,
# range), LOW and HIGH the gauged range, drawn by hydrograph.gp (looked for as
# rating.gp is), the units on the axes when given. The rows are checked here:
# only numbers and ISO times reach gnuplot.
if [ "$hydrograph" = 1 ]; then
    husage="usage: $me --hydrograph ROWS.csv OUT.png [LOW HIGH [TITLE [STAGE_UNIT DISCHARGE_UNIT]]]"
    if [ $# -lt 3 ] || [ $# -gt 8 ] || [ $# -eq 4 ] || [ $# -eq 7 ]; then
        printf '%s\n' "$husage" >&2
        exit 2
    fi
    rows=$2
    out=$3
    htitle=${6-}
    hunit=${7-}
    qunit=${8-}
    [ -f "$rows" ] || fail "no file $rows"
    gp=$here/hydrograph.gp
    [ -f "$gp" ] || gp=$here/../share/rating/hydrograph.gp
    [ -f "$gp" ] || fail "no hydrograph.gp beside $0 nor in $here/../share/rating"
    # The gauged range's limits as numbers, NaN when not given.
    limits=$(LC_ALL=C awk 'BEGIN {
        for (i = 1; i < ARGC; i++) {
            s = ARGV[i]
            if (s !~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ || s + 0 < -1e300 || s + 0 > 1e300) { print "bad"; exit }
            printf "%.17g ", s
        }
    }' ${4+"$4"} ${5+"$5"})
    case "$limits" in *bad*) fail "LOW and HIGH must be numbers" ;; esac
    hasrange=0
    [ $# -ge 5 ] && hasrange=1
    set -- $limits NaN NaN
    lo=$1
    hi=$2
    tmp=$(mktemp -d "${TMPDIR:-/tmp}/rating-plot.XXXXXX") || fail "cannot make a temporary folder"
    trap 'rm -rf "$tmp"' EXIT
    trap 'exit 1' HUP INT TERM
    # Rows "row time hg hx Qg Qx" (see hydrograph.gp), each written when the
    # next is known; the band as runs of "row time low high".
    ROWS=$tmp/rows BAND=$tmp/band LC_ALL=C awk -F, '
        function finite(s) {
            return s ~ /^[-+]?([0-9]+\.?[0-9]*|\.[0-9]+)([eE][-+]?[0-9]+)?$/ && s + 0 > -1e300 && s + 0 < 1e300
        }
        function num(s) { return finite(s) ? s : "NaN" }
        # YYYY-MM-DD, with hh:mm or hh:mm:ss after T or a blank, seconds
        # fractions and a zone dropped; "" for anything else.
        function iso(t,   d, r) {
            d = substr(t, 1, 10)
            if (d !~ /^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]$/) return ""
            r = substr(t, 11)
            if (r == "") return d "T00:00:00"
            if (r ~ /^[T ][0-9][0-9]:[0-9][0-9]$/) return d "T" substr(r, 2) ":00"
            if (r ~ /^[T ][0-9][0-9]:[0-9][0-9]:[0-9][0-9](\.[0-9]+)?(Z|[-+][0-9][0-9](:?[0-9][0-9])?)?$/) return d "T" substr(r, 2, 8)
            return ""
        }
        function emit(next_kind,   hx, qx) {
            hx = kind == "x" || (kind == "g" && (last_kind == "x" || next_kind == "x"))
            print n, (pt == "" ? "-" : pt), (kind == "g" ? ph : "NaN"), (hx ? ph : "NaN"), \
                (kind == "g" ? pq : "NaN"), (hx ? pq : "NaN") > ENVIRON["ROWS"]
            last_kind = kind
        }
        BEGIN { band = ENVIRON["BAND"] }
        NR == 1 { sub(/\r$/, ""); if ($0 != "time,stage,discharge,conf_low,conf_high,range") { bad = -1; exit } next }
        {
            sub(/\r$/, "")
            r = $NF
            if (NF < 6 || (r != "gauged" && r != "below" && r != "above" && r != "missing")) { bad++; next }
            t = NF == 6 ? $1 : "<quoted>"
            if (t != "") { if (iso(t) != "") isos++; else others++ }
            if (good > 0) emit(r == "gauged" ? "g" : (r == "missing" ? "m" : "x"))
            good++
            n = good; pt = iso(t); ph = num($(NF - 4)); pq = num($(NF - 3))
            kind = r == "gauged" ? "g" : (r == "missing" ? "m" : "x")
            if (finite($(NF - 2)) && finite($(NF - 1))) { print n, (pt == "" ? "-" : pt), $(NF - 2), $(NF - 1) > band; inband = 1 }
            else if (inband) { print "" > band; inband = 0 }
        }
        END {
            if (bad >= 0 && good > 0) emit("")
            print bad + 0, good + 0, isos + 0, others + 0
        }' "$rows" >"$tmp/count"
    read -r bad good isos others <"$tmp/count"
    [ "$bad" -ge 0 ] || fail "$rows does not begin with time,stage,discharge,conf_low,conf_high,range (rows of rating apply)"
    [ "$good" -gt 0 ] || fail "$rows holds no rows - nothing to draw"
    [ "$bad" -eq 0 ] || printf '%s\n' "$me: $rows: rows left out as not rows of rating apply: $bad" >&2
    timemode=0
    [ "$others" -eq 0 ] && [ "$isos" -eq "$good" ] && timemode=1
    band=
    [ -s "$tmp/band" ] && band=$tmp/band
    case "$out" in /*) absout=$out ;; *) absout=$(pwd)/$out ;; esac
    {
        printf 'timemode = %s\nhasrange = %s\nlo = %s\nhi = %s\n' "$timemode" "$hasrange" "$lo" "$hi"
        gpstrings Title "$htitle" Hunit "$hunit" Qunit "$qunit" rowsfile "$tmp/rows" bandfile "$band" \
            outfile "$absout" outname "$out"
    } >"$tmp/values.gp"
    rm -f -- "$out"
    gnuplot "$tmp/values.gp" "$gp" >&2 || fail "gnuplot failed on $gp"
    [ -s "$out" ] || fail "gnuplot wrote no image ($out)"
    printf '%s\n' "$out"
    exit 0
fi

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
[ ! -e "$base.journal" ] ||
    fail "a run on $show was cut short as it put its results in place ($show.journal stands); run the rating program here again, which completes or undoes that, then plot"
for ext in dat res plt; do
    [ -f "$base.$ext" ] || fail "no $show.$ext; run the rating program here first"
done
if [ "$base.dat" -nt "$base.res" ]; then
    printf '%s\n' "$me: $show.dat has changed since $show.res was written - the curve may not be the fit of these gaugings; run the rating program again" >&2
fi

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

# The SHA-256 digest of a file, in hexadecimal, or nothing without a tool for it.
sha256() {
    if command -v sha256sum >/dev/null 2>&1; then
        sha256sum <"$1"
    elif command -v shasum >/dev/null 2>&1; then
        shasum -a 256 <"$1"
    fi | { read -r sum rest && printf '%s' "$sum"; }
}
resdigest=$(sha256 "$base.res")

# A report file of the run that wrote the .res: present and naming its digest
# (a CSV file in its first line, the summary under "results_sha256").
# Usage: belongs FILE NAME
belongs() {
    [ -f "$1" ] || return 1
    if [ -z "$resdigest" ]; then
        printf '%s\n' "$me: no sha256sum or shasum to tell whether $2 belongs to $show.res - not used" >&2
        return 1
    fi
    case "$1" in
        *.json) LC_ALL=C grep -q "^[[:space:]]*\"results_sha256\"[[:space:]]*:[[:space:]]*\"$resdigest\"" "$1" ;;
        *) [ "$(LC_ALL=C sed -n '1p' "$1")" = "# results sha256 $resdigest" ] ;;
    esac && return 0
    printf '%s\n' "$me: $2 belongs to other results than $show.res (an earlier run) - not used" >&2
    return 1
}

# The report tables are checked by awk: after the digest line, the header
# must be the expected one, and a row is kept only when each value needed is a
# number (nan and inf where a gap in a line will do). The kept rows go to
# files in $tmp, named through the environment (awk -v would take
# backslashes in a name for escapes), and the counts of dropped and kept rows,
# or -1 for a wrong header, to standard output. The functions shared by these
# awk programs:
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
if belongs "$band" "$show.band.csv"; then
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
        NR == 1 { next }
        NR == 2 { if (trim($0) != "h,Q,conf_low,conf_high,pred_low,pred_high") { bad = -1; exit } next }
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
if [ "$logscale" = 0 ] && belongs "$gaug" "$show.gaugings.csv"; then
    # Rows "line h deviation_pct outlier" of the gaugings whose values are numbers.
    ROWS=$tmp/gaugings.rows LC_ALL=C awk -F, "$awk_numbers"'
        BEGIN { rows = ENVIRON["ROWS"] }
        NR == 1 { next }
        NR == 2 {
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
        if belongs "$summary" "$show.summary.json"; then
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
