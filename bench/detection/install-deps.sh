#!/bin/sh
# The benchmark's data: attack payloads (wfuzz, sqlmap) and a word list.
set -e
apt-get update
DEBIAN_FRONTEND=noninteractive apt-get install -y wfuzz sqlmap wamerican
