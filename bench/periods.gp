# Histogram of transfer-cycle periods against cyclictest's, from the harness's histogram.dat
# (columns: period - 16 ms in us, driver count, cyclictest count). Call with
#   gnuplot -e "data='histogram.dat'; out='cycle-periods.png'; label='Quiet'" periods.gp
# where label names the run (it may be left out).
set terminal pngcairo size 1000,560 font "DejaVu Sans,10"
set output out
if (!exists("label")) label = "same run"
set title "Period of each 16 ms cycle: stm-driver (simulator time stamps) and cyclictest, ".label
set xlabel "period - 16 ms (us); the outermost bins hold everything beyond +-3 ms"
set ylabel "cycles"
set logscale y
set yrange [0.8:*]
set xrange [-3100:3100]
set boxwidth 22
set style fill solid 0.75 noborder
set key top right
set grid ytics
plot data using ($1-12):($2 > 0 ? $2 : 1/0) with boxes lc rgb "#1f77b4" title "stm-driver", \
     data using ($1+12):($3 > 0 ? $3 : 1/0) with boxes lc rgb "#d62728" title "cyclictest"
