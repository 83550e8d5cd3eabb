# Draws the hydrograph of a stage record turned into discharge by
# `rating apply`: the discharge with its 95 % confidence band above, the
# stage with the gauged range's limits beneath, values beyond the gauged
# range (extrapolated along the curve's end tangent) in their own colour.
#
# plot.sh --hydrograph runs this script after a file of values it has read
# from the record and checked; every name and text among them is a string
# value, and this script never turns one into commands (no eval, load, call,
# macro or system here):
#   rowsfile    rows "row time stage_gauged stage_beyond Q_gauged Q_beyond"
#               (time "-" when the record has none; NaN where there is no
#               value; a beyond value also at the gauged rows next to it, so
#               that the two lines meet)
#   bandfile    "" or rows "row time conf_low conf_high", a blank line
#               between runs of rows that have a band
#   timemode    1: the times are ISO dates (YYYY-MM-DDTHH:MM:SS) for the
#               horizontal axis; 0: the row number is
#   hasrange    1 when lo and hi are given
#   lo, hi      the gauged range's lowest and highest stage
#   Title       the curve's station title
#   Hunit, Qunit  the units of stage and discharge, "" when not given
#   outfile, outname  the image to write, and its name for the summary

if (!exists("rowsfile") || !exists("outfile")) \
    exit error "hydrograph.gp: run through plot.sh --hydrograph, which reads the record for it"

hasband = bandfile ne ""
xcol = timemode ? 2 : 1

set encoding utf8
# " (m)" after a label when the unit is known.
unit(u) = u eq "" ? "" : " (" . u . ")"
if (!exists("Hunit")) { Hunit = "" }
if (!exists("Qunit")) { Qunit = "" }
set terminal pngcairo size 1200,850 enhanced font "DejaVu Sans,11" linewidth 1.5 background "white"
set output outfile

if (timemode) {
    set xdata time
    set timefmt "%Y-%m-%dT%H:%M:%S"
    set format x "%Y-%m-%d\n%H:%M"
} else {
    set xlabel "row of the record"
}

gauged_colour = "#1f4e9e"
beyond_colour = "#d2421f"
band_colour = "#9db8e6"

set multiplot title (Title ne "" ? "Hydrograph: " . Title : "Hydrograph") font ",13"

# The discharge panel: the upper two thirds.
set lmargin at screen 0.09
set rmargin at screen 0.97
set tmargin at screen 0.92
set bmargin at screen 0.38
set grid lc rgb "#dddddd"
set autoscale xfix
set ylabel "discharge" . unit(Qunit) noenhanced
set format y "%g"
set key top left opaque box
set yrange [0:*]
if (timemode) { set format x "" } else { unset xlabel; set format x "" }
if (hasband) {
    plot bandfile using xcol:3:4 with filledcurves fc rgb band_colour fs solid 0.6 noborder title "95 % confidence band", \
         rowsfile using xcol:5 with lines lc rgb gauged_colour lw 1.5 title "discharge, gauged range", \
         rowsfile using xcol:6 with lines lc rgb beyond_colour lw 2 title "extrapolated beyond the gauged range"
} else {
    plot rowsfile using xcol:5 with lines lc rgb gauged_colour lw 1.5 title "discharge, gauged range", \
         rowsfile using xcol:6 with lines lc rgb beyond_colour lw 2 title "extrapolated beyond the gauged range"
}

# The stage panel beneath, with the gauged range's limits.
set tmargin at screen 0.35
set bmargin at screen 0.09
set ylabel "stage" . unit(Hunit) noenhanced
set yrange [*:*]
set key top left opaque box
if (timemode) {
    set format x "%Y-%m-%d\n%H:%M"
} else {
    set xlabel "row of the record"
    set format x "%g"
}
if (hasrange) {
    plot lo with lines lc rgb "#555555" dt 2 title sprintf("gauged range %g to %g", lo, hi), \
         hi with lines lc rgb "#555555" dt 2 notitle, \
         rowsfile using xcol:3 with lines lc rgb gauged_colour lw 1.5 notitle, \
         rowsfile using xcol:4 with lines lc rgb beyond_colour lw 2 notitle
} else {
    plot rowsfile using xcol:3 with lines lc rgb gauged_colour lw 1.5 notitle, \
         rowsfile using xcol:4 with lines lc rgb beyond_colour lw 2 notitle
}
unset multiplot
set output
print sprintf("hydrograph: %s", outname)
