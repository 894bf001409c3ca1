#!/bin/sh
# Fills one of packaging/ha's templates with a machine's values and writes the result to stdout;
# refuses to write a file that would still hold a placeholder.
#   packaging/ha/fill.sh db1.values packaging/ha/patroni.yml > /etc/patroni/15-main.yml
set -eu
if [ $# -ne 2 ]; then
  echo "usage: $0 VALUES TEMPLATE > FILE  (VALUES: NAME=value lines, as in values.example)" >&2
  exit 2
fi
values=$1
template=$2
[ -r "$values" ] || { echo "$0: cannot read the values file $values." >&2; exit 1; }
[ -r "$template" ] || { echo "$0: cannot read the template $template." >&2; exit 1; }

# One sed script from the values: every NAME=value becomes s|@NAME@|value|g, with the characters
# sed treats specially in a replacement escaped.
script=$(grep -E '^[A-Z][A-Z0-9_]*=' "$values" | while IFS= read -r line; do
  name=${line%%=*}
  value=$(printf '%s' "${line#*=}" | sed -e 's/[\\|&]/\\&/g')
  printf 's|@%s@|%s|g\n' "$name" "$value"
done)
out=$(sed -e "$script" "$template")
left=$(printf '%s\n' "$out" | grep -v '^[[:space:]]*#' | grep -o '@[A-Z][A-Z0-9_]*@' | sort -u | tr '\n' ' ' || true)
if [ -n "$left" ]; then
  echo "$0: $values gives no value for $left(needed by $template)." >&2
  exit 1
fi
printf '%s\n' "$out"
