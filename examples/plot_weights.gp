# plot_weights.gp - draws the demo's weights of every year's Nile flow in the
# smoothed level of 1920, from <dir>/nile_weights.csv into
# <dir>/nile_weights.png.  Run from the top of the tree after the demo:
#
#   gnuplot examples/plot_weights.gp                  (dir = out)
#   gnuplot -e "dir='elsewhere'" examples/plot_weights.gp

if (!exists("dir")) dir = "out"
data = dir . "/nile_weights.csv"

set terminal pngcairo size 900,400 enhanced font "sans,10"
set output dir . "/nile_weights.png"
set datafile separator ","
set title "Weights of each year's flow in the smoothed Nile level of 1920 (local level model)"
set xlabel "year"
set ylabel "weight"
set xrange [1870:1971]
set yrange [0:*]
set grid ytics
set style fill solid 0.8 border -1
set boxwidth 0.8

# Columns: year, weight
plot data skip 1 using 1:2 with boxes lc rgb "#08519c" notitle
