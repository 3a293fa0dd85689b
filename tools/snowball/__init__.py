"""A translator from the Snowball string-processing language to C++ stemmer
modules that run on src/analysis/stemmers/snowball/snowball_env."""
