"""A translator from the Snowball string-processing language to C++ stemmer
modules that run on src/stemmers/snowball/snowball_env."""
