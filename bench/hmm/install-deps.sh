#!/bin/sh
# GHMM, the reference of bench/hmm. Its shared library needs ATLAS's LAPACK
# symbols at link time, which only libatlas3-base provides.
set -e
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y libghmm-dev libatlas3-base
