# SPDX-License-Identifier: MIT
# Time against rows for every tool and both owner paths, from compare.sh's
# times.csv (connections,rows,measure,median_ms).
# gnuplot -e "csv='times.csv'; png='out.png'; machine='...'" plot.gp
set terminal pngcairo size 1000,640 font ",11" noenhanced
set output png
set datafile separator ","
set key top left box opaque
set logscale xy
set format x "%.0f"
set format y "%.0f"
set rmargin 6
set grid
set xlabel "rows in the TCP table"
set ylabel "median ms"
set title "Listing the TCP table with owners (" . machine . ")\nsolid: default owner path; dashed: SOCKSCOPE_OWNER_SCAN=proc"
series(measure) = "< grep ," . measure . ", " . csv
plot \
    series("ss") using 2:4 with linespoints lw 2 pt 7 lc rgb "#333333" title "ss -tanp4", \
    series("netstat") using 2:4 with linespoints lw 2 pt 7 lc rgb "#999999" title "netstat -tanp", \
    series("ss_no_owners") using 2:4 with linespoints lw 2 pt 6 dt 3 lc rgb "#333333" title "ss -tan4 (no owners)", \
    series("tool") using 2:4 with linespoints lw 2 pt 13 lc rgb "#9467bd" title "sockscope -t4, whole command", \
    series("first_call") using 2:4 with linespoints lw 2 pt 5 lc rgb "#1f77b4" title "first getstat_tcp, whole command", \
    series("first_call_proc") using 2:4 with linespoints lw 2 pt 4 dt 2 lc rgb "#1f77b4" title "first getstat_tcp, whole command, proc", \
    series("repeated_call") using 2:4 with linespoints lw 2 pt 9 lc rgb "#2ca02c" title "repeated getstat_tcp, in process", \
    series("repeated_call_proc") using 2:4 with linespoints lw 2 pt 8 dt 2 lc rgb "#2ca02c" title "repeated getstat_tcp, in process, proc", \
    series("listing") using 2:4 with linespoints lw 2 pt 11 lc rgb "#d62728" title "sockscopeDemo_x64 listing", \
    series("listing_proc") using 2:4 with linespoints lw 2 pt 10 dt 2 lc rgb "#d62728" title "sockscopeDemo_x64 listing, proc"
