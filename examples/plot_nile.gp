# plot_nile.gp - draws the demo's smoothed Nile level: the observed flows, the
# smoothed level and its 90% band, from <dir>/nile_smoothed.csv into
# <dir>/nile.png.  Run from the top of the tree after the demo:
#
#   gnuplot examples/plot_nile.gp                  (dir = out)
#   gnuplot -e "dir='elsewhere'" examples/plot_nile.gp

if (!exists("dir")) dir = "out"
data = dir . "/nile_smoothed.csv"

set terminal pngcairo size 900,500 enhanced font "sans,10"
set output dir . "/nile.png"
set datafile separator ","
set title "Nile at Aswan: annual flow and smoothed level (local level model)"
set xlabel "year"
set ylabel "flow (10^8 m^3)"
set xrange [1870:1971]
set key top right
set grid

# Columns: year, flow, level, lower, upper, obs_disturbance, level_disturbance
plot data skip 1 using 1:4:5 with filledcurves lc rgb "#c6dbef" title "90% band", \
     data skip 1 using 1:2 with points pt 7 ps 0.6 lc rgb "#404040" title "flow", \
     data skip 1 using 1:3 with lines lw 2 lc rgb "#08519c" title "smoothed level"
