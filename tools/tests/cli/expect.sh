#!/usr/bin/env bash
# expect.sh CODE PATTERN COMMAND...: runs COMMAND and passes when it exits
# with CODE and its output (stdout and stderr) has a line matching PATTERN
# (an extended regular expression).
code=$1 pattern=$2
shift 2
output=$("$@" 2>&1)
status=$?
if [ "$status" -ne "$code" ]; then
  printf 'expected exit code %s, got %s; output:\n%s\n' "$code" "$status" "$output"
  exit 1
fi
if ! grep -Eq -- "$pattern" <<<"$output"; then
  printf 'no line matches /%s/; output:\n%s\n' "$pattern" "$output"
  exit 1
fi
