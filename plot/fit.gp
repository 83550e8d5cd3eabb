# Plots a rating curve fitted by `rating fit`: the curve with its 95 % bands
# and the gaugings (inactive ones hollow), and the deviations of the gaugings
# from the curve against stage and, where they are dated, against date.
#
# plot.sh --fit reads the command's files, checks them and runs this script
# after a file of values; only numbers and ISO times reach this script, and
# every text is a string value (no eval, load, call, macro or system here):
#   bandfile    rows "h Q conf_low conf_high pred_low pred_high" (NaN where none)
#   gaugfile    rows "h Q active deviation_pct outlier time", time as
#               YYYY-MM-DDThh:mm:ss or "-" when undated
#   hasdates    1 when some gauging is dated
#   hasinactive 1 when some gauging is inactive
#   Title       the station's title
#   Hunit, Qunit  the units of stage and discharge, "" when not given
#   outfile, residfile, outname, residname   the two images and their names

if (!exists("bandfile") || !exists("gaugfile") || !exists("outfile")) \
    exit error "fit.gp: run through plot.sh --fit, which reads the command's files for it"

set encoding utf8
set datafile missing "NaN"
# " (m)" after a label when the unit is known.
unit(u) = u eq "" ? "" : " (" . u . ")"
if (!exists("Hunit")) { Hunit = "" }
if (!exists("Qunit")) { Qunit = "" }
set terminal pngcairo size 1200,850 enhanced font "DejaVu Sans,12" linewidth 1.5 background "white"

# The curve: stage up, discharge across, as ratings are drawn.
set output outfile
set title sprintf("%s: rating curve with 95 %% bands", Title) noenhanced
set xlabel "Discharge Q" . unit(Qunit) noenhanced
set ylabel "Stage h" . unit(Hunit) noenhanced
set key top left box opaque
set grid
plot bandfile using 3:1 with lines linewidth 1.5 linecolor rgb "#6baed6" title "95 % confidence band", \
     bandfile using 4:1 with lines linewidth 1.5 linecolor rgb "#6baed6" notitle, \
     bandfile using 5:1 with lines dashtype 2 linecolor rgb "#808080" title "95 % prediction band", \
     bandfile using 6:1 with lines dashtype 2 linecolor rgb "#808080" notitle, \
     bandfile using 2:1 with lines linewidth 2 linecolor rgb "#08519c" title "rating curve", \
     gaugfile using ($3 == 1 ? $2 : NaN):1 with points pointtype 7 pointsize 1 linecolor rgb "#d94801" \
         title "gaugings", \
     gaugfile using ($3 == 0 ? $2 : NaN):1 with points pointtype 6 pointsize 1.2 \
         linecolor rgb "#d94801" title "inactive gaugings (not fitted)"
unset output

# The deviations: against stage, and against date beneath when dated.
set output residfile
set multiplot layout (hasdates ? 2 : 1), 1 title sprintf("%s: deviation of the gaugings from the curve", Title) noenhanced
set key top right box opaque
set title ""
set xlabel "Stage h" . unit(Hunit) noenhanced
set ylabel "Deviation 100 (Q - Q_{fit}) / Q_{fit}  [%]" enhanced
set xzeroaxis linetype -1
plot gaugfile using 1:($3 == 1 ? $4 : NaN) with points pointtype 7 linecolor rgb "#d94801" title "gaugings", \
     gaugfile using 1:($3 == 0 ? $4 : NaN) with points pointtype 6 pointsize 1.2 \
         linecolor rgb "#d94801" title "inactive", \
     gaugfile using 1:($5 == 1 ? $4 : NaN) with points pointtype 4 pointsize 2 linecolor rgb "#a50f15" \
         title "outliers (beyond 2 Se)"
if (hasdates) {
    set xdata time
    set timefmt "%Y-%m-%dT%H:%M:%S"
    set format x "%Y"
    set xlabel "Date"
    plot gaugfile using 6:($3 == 1 ? $4 : NaN) with points pointtype 7 linecolor rgb "#d94801" title "gaugings", \
         gaugfile using 6:($3 == 0 ? $4 : NaN) with points pointtype 6 pointsize 1.2 \
             linecolor rgb "#d94801" title "inactive"
}
unset multiplot
unset output
