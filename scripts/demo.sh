#!/usr/bin/env bash
# Builds and runs the dispatcher end to end in a sandbox directory.
source "$(dirname "$0")/common.sh"
kiv_base_packages
cd "$ROOT"
kiv_build build
echo "The programs are not complete yet." >&2
