import os

# The tests never touch the user's image cache: it is off here (and in every process the
# tests start), and the tests of the cache point it at temporary directories.
os.environ["TESSEL_CACHE_DIR"] = ""
