2
# Quillon Version 1.0.0, build 65
# Do not edit!
#
# Format of this file:
#
#  The 2 on the first line of this file is the version number.
#
#   +--- Subject search flags
#   |
#   | +- content search flags
#   | |
#   | |	+ Search string
#   | |	|
#   1 3	Free
#
# Flags are or'ed together:
#
#  1 search for this string
#  2 whole word only
#  4 match case
#  8 fuzzy match

3 3	fuck
11 11	fucks
11 11	fucked
11 11	fucker
11 11	fuckers
11 11	fucking
11 11	fuckings
11 11	fuckhead
11 11	fuckheads
11 11	fuckface
11 11	fuckwit
11 11	fuckwits
11 11	fucktard
11 11	fuckboy
11 11	fuckup
11 11	fuckoff
11 11	fuckhole
11 11	motherfucker
11 11	motherfuckers
11 11	motherfucking
3 3	shit
11 11	shits
11 11	shitty
11 11	shittier
11 11	shithead
11 11	shitheads
11 11	shitface
11 11	shithole
11 11	shitload
11 11	shitbag
11 11	shitting
11 11	shitter
11 11	bullshit
11 11	bullshitter
11 11	bullshitting
11 11	horseshit
11 11	dipshit
