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

