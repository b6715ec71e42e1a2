#!/usr/bin/env bash
# Runs CI the way it runs for real: on a clean clone of the committed HEAD, inside a folder that
# only its owner may enter (mode 700, as root's home and `mktemp -d` folders are), so that no test
# can lean on where the checkout lives or on other users reaching into it. The clone is removed
# afterwards. Arguments go to .ci/run; TMPDIR chooses where the closed folder is made.
set -euo pipefail
top=$(git -C "$(dirname "$0")/.." rev-parse --show-toplevel)
closed=$(mktemp -d)
trap 'rm -rf "$closed"' EXIT
chmod 700 "$closed"
git clone -q "$top" "$closed/main"
echo "ci-check: $(git -C "$closed/main" log -1 --format='%h %s') in $closed/main (mode 700)"
cd "$closed/main"
bash .ci/run "$@"
