#!/usr/bin/env bash
# Opens the sample service report in a headless Chromium and checks the page it rendered:
# every step's verdict, in order, and the summary, as the text report beside it has them.
# Usage: report-in-browser.sh <folder holding one Report-*.html and its Report-*.txt>
set -euo pipefail
folder=$(cd "$1" && pwd)
html=$(ls "$folder"/Report-*.html)
text=${html%.html}.txt
[ "$(echo "$html" | wc -l)" = 1 ] || { echo "expected one report in $folder, found: $html"; exit 1; }

profile=$(mktemp -d)
trap 'rm -rf "$profile"' EXIT
dom=$(chromium --headless --no-sandbox --disable-gpu --user-data-dir="$profile" --dump-dom "file://$html" 2>/dev/null) \
  || { echo "chromium could not open file://$html"; exit 1; }

# What the text report says: the verdict that starts each step's line, and the summary.
want_verdicts=$({ grep -aoE '^(PASS|FAIL|SKIPPED|NOTE) +[0-9]+/' "$text" || true; } | awk '{print $1}' | tr '\n' ' ')
want_summary=$({ grep -a '^Summary: ' "$text" || true; } | tr -d '\r')
# What the browser shows: the verdict cells of the table, and the page's text.
got_verdicts=$(echo "$dom" | { grep -oE '<td class="verdict [a-z]+">[A-Z]+</td>' || true; } | sed -E 's/.*">([A-Z]+)<.*/\1/' | tr '\n' ' ')
page_text=$(echo "$dom" | sed -e 's/<[^>]*>/ /g' | tr -s ' \n' ' ')

status=0
if [ -z "$want_verdicts" ] || [ "$got_verdicts" != "$want_verdicts" ]; then
  echo "verdicts: the text report has '$want_verdicts', the browser shows '$got_verdicts'"
  status=1
fi
if [ -z "$want_summary" ] || [[ "$page_text" != *"$want_summary"* ]]; then
  echo "summary '$want_summary' not in the page's text"
  status=1
fi
for word in $want_verdicts; do
  [[ "$page_text" == *" $word "* ]] || { echo "verdict $word not in the page's text"; status=1; }
done
[ "$status" = 0 ] && echo "browser: $(echo "$want_verdicts" | wc -w) verdicts and the summary shown"
exit "$status"
