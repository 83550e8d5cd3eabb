# Plots a computed rating curve with the gauged observations it was fitted to,
# with the bands of the curve when the run wrote them, and the deviations of
# the gaugings from the curve.
#
# plot.sh runs this script after a file of values it has read from the run's
# files and checked (see there); every name and text among them is a string
# value, and this script never turns one into commands (no eval, load, call,
# macro or system here):
#   datafile, resfile     the observations (<Folder>/<Name>.dat: one title line,
#                         then stage and discharge per line) and the curve
#                         (<Folder>/<Name>.res: four header lines, then stage and
#                         discharge per line)
#   Title, Spline_label   the title of the data set and the key's note on the fit
#   outfile, outname      the image to write, and its name for the summary
#   logscale, svg         log-log view; SVG instead of PNG
#   bandrows, bandpoly    "" or the band rows (h Q conf_low conf_high pred_low
#                         pred_high, NaN where not finite) and the confidence
#                         band as closed outlines of (Q, h) points
#   gaugrows              "" or the gaugings (line h deviation_pct outlier)
#   residfile, residname  the image of the deviations, and its name
#   Se                    the standard error in per cent, 0 when not known
#
# Stage is drawn on the vertical axis and discharge on the horizontal one, as
# rating curves are usually drawn. With logscale=1 both axes are logarithmic
# (the discharge axis alone when a stage is zero or below). The deviations are
# drawn against stage the same way: stage up, deviation across.
# A one-line summary of each picture goes to standard error.

if (!exists("datafile") || !exists("resfile") || !exists("outfile")) \
    exit error "rating.gp: run through plot.sh, which reads the run's files for it"

# The first line of the data file is its title and the first four lines of the
# result file are its header, whatever they begin with: skip them by count.
datskip = 1
resskip = 4
hasband = bandrows ne ""

# stats only warns about a file it cannot read and keeps the STATS_ values of the
# previous call, so each call starts from undefined values and is checked
# (the argument is not used: a gnuplot function needs one).
nostats(unused) = !exists("STATS_records") || STATS_records < 1

# Counts and ranges of the observations and of the curve. The log view takes
# its lowest discharge from the positive observations alone, as the curve may
# hold tiny discharges where the fitted model went below zero.
undefine STATS_*
stats datafile skip datskip using 1:2 nooutput
if (nostats(0)) { exit error sprintf("rating.gp: no values in %s", datafile) }
nobs = STATS_records
hlo = STATS_min_x; hhi = STATS_max_x
Qlo = STATS_min_y; Qhi = STATS_max_y
undefine STATS_*
stats resfile skip resskip using 1:2 nooutput
if (nostats(0)) { exit error sprintf("rating.gp: no values in %s", resfile) }
nres = STATS_records
min(a, b) = a < b ? a : b
max(a, b) = a > b ? a : b
hlo = min(hlo, STATS_min_x); hhi = max(hhi, STATS_max_x)
Qlo = min(Qlo, STATS_min_y); Qhi = max(Qhi, STATS_max_y)
if (logscale) {
    undefine STATS_*
    stats datafile skip datskip using ($2 > 0 ? $2 : NaN) nooutput
    if (nostats(0)) { exit error sprintf("rating.gp: no positive discharge in %s", datafile) }
    Qlo = STATS_min
}
# The upper prediction limit widens the discharge axis so that the band is not
# cut off at the top of the curve.
if (hasband) {
    undefine STATS_*
    stats bandrows using 6 nooutput
    if (!nostats(0)) { Qhi = max(Qhi, STATS_max) }
}
# Margins: 5 % of the span, or of the value itself when the span is nil.
pad(lo, hi) = 0.05 * (hi > lo ? hi - lo : (abs(hi) > 0 ? abs(hi) : 1))

logstage = logscale && hlo > 0

set encoding utf8
if (svg) {
    set terminal svg size 1200,850 enhanced font "DejaVu Sans,12" linewidth 1.5 background "white"
} else {
    if (strstrt(GPVAL_TERMINALS, "pngcairo") > 0) {
        set terminal pngcairo size 1200,850 enhanced font "DejaVu Sans,12" linewidth 1.5
    } else {
        set terminal png size 1200,850 enhanced font "DejaVu Sans" 12
    }
}
set output outfile

set title Title noenhanced font ",14"
set xlabel "Discharge Q (m³/s)"
set ylabel "Stage h (m)"
set tics out nomirror
set border 3 lw 1
# The key goes where a rating curve leaves room: a curve rising to the right
# bends towards the top left on linear axes and towards the bottom right on
# log axes, so the opposite corner is the emptier one.
set key Left reverse box opaque noenhanced spacing 1.4 width 1
if (logscale) { set key top left } else { set key bottom right }

# Labelled tics on a log axis, added to gnuplot's own decade tics and the
# minor tics 2 to 9 of each decade: at 1, 2 and 5 in each decade, or at 1, 1.5,
# 2, 2.5, 3, ..., 9 when the axis spans less than a decade and a half. An axis
# too narrow for three of these (a log axis of 4.4 to 4.6, say) gets evenly
# spaced tics at a step of 1, 2 or 5 times a power of ten instead.
nicestep(d) = (ns_e = 10.0**floor(log10(d)), ns_f = d / ns_e, \
               (ns_f < 1.5 ? 1 : ns_f < 3.5 ? 2 : ns_f < 7.5 ? 5 : 10) * ns_e)
# Margin factor of a log axis: 5 % of the span in log terms.
logpad(lo, hi) = hi > lo ? (hi / lo)**0.05 : 1.05

hpad = pad(hlo, hhi)
if (logscale) {
    set grid xtics ytics mxtics mytics lt 1 lc rgb "#cccccc" lw 0.6, lt 1 lc rgb "#ececec" lw 0.5
    set logscale x 10
    set format x "%g"
    set mxtics 10
    f = logpad(Qlo, Qhi); xlo = Qlo / f; xhi = Qhi * f
    set xrange [xlo : xhi]
    if (logstage) {
        set logscale y 10
        set format y "%g"
        set mytics 10
        f = logpad(hlo, hhi); ylo = hlo / f; yhi = hhi * f
        set yrange [ylo : yhi]
    } else {
        set mytics
        set yrange [hlo - hpad : hhi + hpad]
        print "rating.gp: a stage is zero or below - stage axis kept linear"
    }
    # axis 1 is the discharge axis, axis 2 the stage axis when it is logarithmic.
    do for [axis = 1 : (logstage ? 2 : 1)] {
        lo = axis == 1 ? xlo : ylo
        hi = axis == 1 ? xhi : yhi
        ntic = 0; mant = (hi / lo < 30 ? "1.5 2 2.5 3 4 5 6 7 8 9" : "2 5")
        do for [k = floor(log10(lo)) : ceil(log10(hi))] { do for [m in "1 " . mant] {
            v = real(m) * 10.0**k; if (v >= lo && v <= hi) { ntic = ntic + 1 } } }
        if (ntic >= 3) {
            do for [k = floor(log10(lo)) : ceil(log10(hi))] { do for [m in mant] {
                v = real(m) * 10.0**k
                if (v >= lo && v <= hi) {
                    if (axis == 1) { set xtics add (sprintf("%g", v) v) } else { set ytics add (sprintf("%g", v) v) }
                } } }
        } else {
            step = nicestep((hi - lo) / 5)
            do for [i = ceil(lo / step) : floor(hi / step)] {
                v = i * step
                if (axis == 1) { set xtics add (sprintf("%g", v) v) } else { set ytics add (sprintf("%g", v) v) }
            }
        }
    }
} else {
    set grid xtics ytics lt 1 lc rgb "#cccccc" lw 0.6
    set mxtics
    set mytics
    Qpad = pad(Qlo, Qhi)
    xlo = Qlo - Qpad > 0 || Qlo < 0 ? Qlo - Qpad : 0
    set xrange [xlo : Qhi + Qpad]
    set yrange [hlo - hpad : hhi + hpad]
}

# A band limit of zero or below has no place on a log axis: it is put far
# beyond the left end, and the band runs out of the plot there.
finite(q) = q == q && abs(q) < 1e300
bandq(q) = !finite(q) ? NaN : logscale && q <= 0 ? xlo * 1e-3 : q

curvetitle = "Computed rating curve" . Spline_label
obstitle = sprintf("Gauged observations (%d)", nobs)
# The band under the curve, the curve over it and the observations on top.
if (hasband) {
    plot bandpoly using (bandq($1)):2 with filledcurves closed \
             fc rgb "#e8833a" fs transparent solid 0.28 noborder \
             title "95 % confidence band of the curve", \
         bandrows using (bandq($5)):1 with lines lw 0.8 dt (6, 4) lc rgb "#8a4a14" \
             title "95 % prediction band of a gauging", \
         bandrows using (bandq($6)):1 with lines lw 0.8 dt (6, 4) lc rgb "#8a4a14" notitle, \
         resfile skip resskip using 2:1 with lines lw 2.5 lc rgb "#d62728" title curvetitle, \
         datafile skip datskip using 2:1 with points pt 7 ps 1.0 lc rgb "#1f5fa8" title obstitle
} else {
    plot resfile skip resskip using 2:1 with lines lw 2.5 lc rgb "#d62728" title curvetitle, \
         datafile skip datskip using 2:1 with points pt 7 ps 1.0 lc rgb "#1f5fa8" title obstitle
}
unset output
print sprintf("rating.gp: %d observations, %d curve points -> %s", nobs, nres, outname)
if (hasband) { print "rating.gp: confidence and prediction bands drawn" }

if (gaugrows eq "") { exit }

# Deviations of the gaugings from the curve, in per cent, against stage; the
# outliers of the fit marked and labelled with their line in the data file.
# stats keeps to the ranges set, so the ranges of the rating plot go first.
unset logscale
set autoscale xy
undefine STATS_*
stats gaugrows using 2:3 nooutput
if (nostats(0)) { exit error sprintf("rating.gp: no gaugings in %s", gaugrows) }
ngau = STATS_records
glo = STATS_min_x; ghi = STATS_max_x
dmax = max(abs(STATS_min_y), abs(STATS_max_y))
# The outlier flags are 0 or 1: their sum is the count of outliers.
stats gaugrows using 4 nooutput
nout = int(STATS_sum)
dmax = 1.15 * max(max(dmax, 2 * Se), 1)
gpad = pad(glo, ghi)

set output residfile
set title Title . "\nDeviations of the gaugings from the rating curve" noenhanced font ",14"
set xlabel "Deviation from the curve 100 (Q - Q_{fit}) / Q_{fit} (%)"
set ylabel "Stage h (m)"
unset xtics; unset ytics
set xtics out nomirror; set ytics out nomirror
set format x "%g"; set format y "%g"
set mxtics; set mytics
set grid xtics ytics lt 1 lc rgb "#cccccc" lw 0.6
# Below the plot, where no gauging can be hidden behind it.
set key below center horizontal Left reverse nobox spacing 1.4 width 2
set xrange [-dmax : dmax]
set yrange [glo - gpad : ghi + gpad]
set arrow 1 from 0, graph 0 to 0, graph 1 nohead back lw 1.5 lc rgb "#404040"
if (Se > 0) {
    set arrow 2 from -2 * Se, graph 0 to -2 * Se, graph 1 nohead back lw 1.2 dt (8, 5) lc rgb "#8a4a14"
    set arrow 3 from 2 * Se, graph 0 to 2 * Se, graph 1 nohead back lw 1.2 dt (8, 5) lc rgb "#8a4a14"
    setitle = sprintf("±2 Se = ±%.3g %%", 2 * Se)
} else {
    setitle = ""
}
# The lines have their key entries from NaN curves; the ±2 Se one has none
# without Se. The outliers' labels go above and below their marks in turn
# (counted by k in stage order), so that neighbouring outliers do not write
# over each other.
k = 0
dlabel = 0.035 * (ghi - glo + 2 * gpad)
if (nout > 0) {
    plot NaN with lines lw 1.5 lc rgb "#404040" title "No deviation", \
         NaN with lines lw 1.2 dt (8, 5) lc rgb "#8a4a14" title setitle, \
         gaugrows using 3:($4 == 1 ? NaN : $2) with points pt 7 ps 1.0 lc rgb "#1f5fa8" \
             title sprintf("Gaugings (%d)", ngau - nout), \
         gaugrows using 3:($4 == 1 ? $2 : NaN) with points pt 9 ps 2.0 lc rgb "#d62728" \
             title sprintf("Outliers (%d)", nout), \
         gaugrows using 3:($4 == 1 ? (k = k + 1, $2 + (k % 2 == 1 ? dlabel : -dlabel)) : NaN):(sprintf("line %d", $1)) \
             with labels center font ",10" tc rgb "#d62728" notitle
} else {
    plot NaN with lines lw 1.5 lc rgb "#404040" title "No deviation", \
         NaN with lines lw 1.2 dt (8, 5) lc rgb "#8a4a14" title setitle, \
         gaugrows using 3:2 with points pt 7 ps 1.0 lc rgb "#1f5fa8" title sprintf("Gaugings (%d)", ngau)
}
unset output
print sprintf("rating.gp: %d gaugings, %d outliers, %s -> %s", ngau, nout, \
              Se > 0 ? sprintf("2 Se = %.3g %%", 2 * Se) : "no standard error", residname)
