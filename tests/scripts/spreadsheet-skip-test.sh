#!/usr/bin/env bash
# The row that reads a created workbook in a spreadsheet program, where the programs on PATH end
# well but convert nothing (as LibreOffice without its spreadsheet part does), reports itself
# skipped and says why.
# Usage: spreadsheet-skip-test.sh TOOLS-TESTS-PROGRAM
set -uo pipefail
bin=$(mktemp -d)
trap 'rm -rf "$bin"' EXIT
printf '#!/bin/sh\necho "Error: source file could not be loaded"\n' >"$bin/libreoffice"
chmod +x "$bin/libreoffice" && ln -s libreoffice "$bin/ssconvert"
output=$(PATH="$bin:$PATH" "$1" \
  --gtest_filter=ExcelToolsTest.CreatedWorkbookReadsTheSameInASpreadsheetProgram 2>&1)
status=$?
if [ "$status" -ne 0 ] || ! grep -q '^\[  SKIPPED \] ExcelToolsTest\.' <<<"$output" ||
  ! grep -q '^libreoffice converts no workbook here: Error: source file could not' <<<"$output"; then
  echo "FAILED: status $status; not skipped, or not saying why:"
  sed 's/^/  /' <<<"$output"
  exit 1
fi
