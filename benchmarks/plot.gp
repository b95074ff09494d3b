# Time against rows for every tool, from compare.sh's CSV.
# gnuplot -e "csv='times.csv'; png='out.png'; machine='...'" plot.gp
set terminal pngcairo size 900,560 font ",11" noenhanced
set output png
set datafile separator ","
set key top left
set logscale xy
set grid
set xlabel "rows in the TCP table"
set ylabel "ms"
set title "Listing the TCP table with owners: median wall time of a whole command (" . machine . ")"
plot for [tool in "sockscope sockscopeDemo_x64 ss netstat"] \
    "< grep ," . tool . ", " . csv using 3:4 with linespoints lw 2 pt 7 title (tool eq "ss" ? "ss -tanp4" : (tool eq "netstat" ? "netstat -tanp" : (tool eq "sockscope" ? "getstat_tcp (snapshot_once)" : "sockscopeDemo_x64")))
