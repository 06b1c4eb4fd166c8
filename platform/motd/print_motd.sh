#!/bin/bash
# Stand-in for the login message-of-the-day script: prints the arguments, user ids and initial
# environment it was started with, one item per line, for the tests of loginmotd.
echo "argc=$#"
for a in "$@"; do
    echo "arg=$a"
done
echo "ruid=$(id -ru)"
echo "euid=$(id -u)"
while IFS= read -r -d '' entry; do
    echo "env=$entry"
done < /proc/self/environ  # the environment bash itself was started with
echo "end"
