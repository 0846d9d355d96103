# Lambert W tests
