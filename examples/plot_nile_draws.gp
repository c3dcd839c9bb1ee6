# plot_nile_draws.gp - draws the demo's simulation smoother picture: the Nile
# flows, the smoothed level and three draws of the level given all flows,
# from <dir>/nile_draws.csv into <dir>/nile_draws.png.  Run from the top of
# the tree after the demo:
#
#   gnuplot examples/plot_nile_draws.gp                  (dir = out)
#   gnuplot -e "dir='elsewhere'" examples/plot_nile_draws.gp

if (!exists("dir")) dir = "out"
data = dir . "/nile_draws.csv"

set terminal pngcairo size 900,500 enhanced font "sans,10"
set output dir . "/nile_draws.png"
set datafile separator ","
set title "Nile at Aswan: smoothed level and draws of the level given all flows"
set xlabel "year"
set ylabel "flow (10^8 m^3)"
set xrange [1870:1971]
set key top right
set grid

# Columns: year, flow, level, draw1, draw2, draw3
plot data skip 1 using 1:2 with points pt 7 ps 0.6 lc rgb "#404040" title "flow", \
     data skip 1 using 1:4 with lines lw 1 lc rgb "#fd8d3c" title "draw 1", \
     data skip 1 using 1:5 with lines lw 1 lc rgb "#74c476" title "draw 2", \
     data skip 1 using 1:6 with lines lw 1 lc rgb "#9e9ac8" title "draw 3", \
     data skip 1 using 1:3 with lines lw 2 lc rgb "#08519c" title "smoothed level"
