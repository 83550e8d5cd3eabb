# Plots a computed rating curve with the gauged observations it was fitted to.
#
# Run from the working folder of a rating run (the folder that holds Source.plt):
#     gnuplot /path/to/plot/rating.gp                  -> <Folder>/<Name>.png
#     gnuplot -e "logscale=1" /path/to/plot/rating.gp  -> <Folder>/<Name>-log.png
#
# Source.plt names the data set (Name) and its folder (Folder). The data set's
# plot settings file <Folder>/<Name>.plt gives Title and Spline_label (its
# hmin, hmax, Qmin and Qmax are rounded and are not used for the axes; the
# ranges come from the plotted values themselves). The observations come from <Folder>/<Name>.dat (one title line,
# then stage and discharge per line) and the curve from <Folder>/<Name>.res (four
# header lines, then stage and discharge per line).
#
# Stage is drawn on the vertical axis and discharge on the horizontal one, as
# rating curves are usually drawn. With logscale=1 both axes are logarithmic
# (the discharge axis alone when a stage is zero or below).
# The path of the written image is printed on standard output; a one-line
# summary of what was drawn goes to standard error.

if (!exists("logscale")) logscale = 0

load "Source.plt"
if (!exists("Name") || !exists("Folder")) exit error "rating.gp: Source.plt does not define Name and Folder"
base = Folder . "/" . Name
load base . ".plt"
if (!exists("Title") || !exists("Spline_label")) \
    exit error sprintf("rating.gp: %s.plt does not define Title and Spline_label", base)

datafile = base . ".dat"
resfile = base . ".res"
outfile = base . (logscale ? "-log.png" : ".png")

# The first line of the data file is its title and the first four lines of the
# result file are its header, whatever they begin with: skip them by count.
datskip = 1
resskip = 4

# stats only warns about a file it cannot read and keeps the STATS_ values of the
# previous call, so each call starts from undefined values and is checked.
# Used as: file = ...; skip = ...; col = "..."; eval readstats
readstats = 'undefine STATS_*; \
    eval sprintf("stats \"%s\" skip %d using %s nooutput", file, skip, col); \
    if (!exists("STATS_records") || STATS_records < 1) { \
        exit error sprintf("rating.gp: no values in %s", file) }'

# Counts and ranges of the observations and of the curve. The log view takes
# its lowest discharge from the positive observations alone, as the curve may
# hold tiny discharges where the fitted model went below zero.
file = datafile; skip = datskip; col = "1:2"; eval readstats
nobs = STATS_records
hlo = STATS_min_x; hhi = STATS_max_x
Qlo = STATS_min_y; Qhi = STATS_max_y
file = resfile; skip = resskip; eval readstats
nres = STATS_records
min(a, b) = a < b ? a : b
max(a, b) = a > b ? a : b
hlo = min(hlo, STATS_min_x); hhi = max(hhi, STATS_max_x)
Qlo = min(Qlo, STATS_min_y); Qhi = max(Qhi, STATS_max_y)
if (logscale) {
    file = datafile; skip = datskip; col = "($2 > 0 ? $2 : NaN)"; eval readstats
    Qlo = STATS_min
}
# Margins: 5 % of the span, or of the value itself when the span is nil.
pad(lo, hi) = 0.05 * (hi > lo ? hi - lo : (abs(hi) > 0 ? abs(hi) : 1))

logstage = logscale && hlo > 0

set encoding utf8
if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
    set terminal pngcairo size 1200,850 enhanced font "DejaVu Sans,12" linewidth 1.5
} else {
    set terminal png size 1200,850 enhanced font "DejaVu Sans" 12
}
set output outfile

set title Title noenhanced font ",14"
set xlabel "Discharge Q (m³/s)"
set ylabel "Stage h (m)"
set tics out nomirror
set border 3 lw 1
set key top left Left reverse box opaque noenhanced spacing 1.4 width 1

# Labelled tics on a log axis, added to gnuplot's own decade tics and the
# minor tics 2 to 9 of each decade: at 1, 2 and 5 in each decade, or at 1, 1.5,
# 2, 2.5, 3, ..., 9 when the axis spans less than a decade and a half. An axis
# too narrow for three of these (a log axis of 4.4 to 4.6, say) gets evenly
# spaced tics at a step of 1, 2 or 5 times a power of ten instead.
# Used as: lo = ...; hi = ...; axis = "x"; eval logtics
nicestep(d) = (ns_e = 10.0**floor(log10(d)), ns_f = d / ns_e, \
               (ns_f < 1.5 ? 1 : ns_f < 3.5 ? 2 : ns_f < 7.5 ? 5 : 10) * ns_e)
addtic = 'eval sprintf("set %stics add (\"%g\" %.12g)", axis, v, v)'
logtics = 'ntic = 0; mant = (hi / lo < 30 ? "1.5 2 2.5 3 4 5 6 7 8 9" : "2 5"); \
    do for [k = floor(log10(lo)) : ceil(log10(hi))] { do for [m in "1 " . mant] { \
        v = real(m) * 10.0**k; if (v >= lo && v <= hi) { ntic = ntic + 1 } } }; \
    if (ntic >= 3) { \
        do for [k = floor(log10(lo)) : ceil(log10(hi))] { do for [m in mant] { \
            v = real(m) * 10.0**k; if (v >= lo && v <= hi) { eval addtic } } } \
    } else { \
        step = nicestep((hi - lo) / 5); \
        do for [i = ceil(lo / step) : floor(hi / step)] { v = i * step; eval addtic } }'
# Margin factor of a log axis: 5 % of the span in log terms.
logpad(lo, hi) = hi > lo ? (hi / lo)**0.05 : 1.05

hpad = pad(hlo, hhi)
if (logscale) {
    set grid xtics ytics mxtics mytics lt 1 lc rgb "#cccccc" lw 0.6, lt 1 lc rgb "#ececec" lw 0.5
    set logscale x 10
    set format x "%g"
    set mxtics 10
    f = logpad(Qlo, Qhi); lo = Qlo / f; hi = Qhi * f
    set xrange [lo : hi]
    axis = "x"; eval logtics
    if (logstage) {
        set logscale y 10
        set format y "%g"
        set mytics 10
        f = logpad(hlo, hhi); lo = hlo / f; hi = hhi * f
        set yrange [lo : hi]
        axis = "y"; eval logtics
    } else {
        set mytics
        set yrange [hlo - hpad : hhi + hpad]
        print "rating.gp: a stage is zero or below - stage axis kept linear"
    }
} else {
    set grid xtics ytics lt 1 lc rgb "#cccccc" lw 0.6
    set mxtics
    set mytics
    Qpad = pad(Qlo, Qhi)
    set xrange [(Qlo - Qpad > 0 || Qlo < 0 ? Qlo - Qpad : 0) : Qhi + Qpad]
    set yrange [hlo - hpad : hhi + hpad]
}

# The curve first, so that the observations stay visible on top of it.
plot resfile skip resskip using 2:1 with lines lw 2.5 lc rgb "#d62728" \
         title "Computed rating curve" . Spline_label, \
     datafile skip datskip using 2:1 with points pt 7 ps 1.0 lc rgb "#1f5fa8" \
         title sprintf("Gauged observations (%d)", nobs)

unset output

print sprintf("rating.gp: %d observations, %d curve points -> %s", nobs, nres, outfile)
set print "-"
print outfile
