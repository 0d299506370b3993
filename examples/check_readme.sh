#!/bin/sh
# The C++ program shown in README.md must be examples/ucp_send.cpp, verbatim.
# Usage: check_readme.sh README.md examples/ucp_send.cpp
awk '/^```cpp$/ { inside = 1; next } /^```$/ { inside = 0 } inside' "$1" | diff -u "$2" - &&
  echo "README program matches $2"
