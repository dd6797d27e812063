1
3 money
money
2	cash  # note
