2
1 3	*mid*
0 0	"*"
11 9	no  way
1 1	pre*
