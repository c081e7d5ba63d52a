# The yardstick beside tarnwk: the names of each address nine to a line, addresses in the order met.
{ sub(/#.*/, "") }
NF > 1 { a = $1; if (!(a in c)) o[++k] = a; for (i = 2; i <= NF; i++) { n = int(c[a] / 9); c[a]++; t[a, n] = t[a, n] " " $i } }
END { for (j = 1; j <= k; j++) { a = o[j]; for (n = 0; n * 9 < c[a]; n++) print a t[a, n] } }
