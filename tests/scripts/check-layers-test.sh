#!/usr/bin/env bash
# The layer check against a small tree of its own: each case plants one include line in one file
# and says whether the check must pass or fail. Usage: check-layers-test.sh CHECK-LAYERS-SCRIPT
set -uo pipefail

check=$1
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
layers=(base core tools/common tools cloud)
for header in base/B.h core/A.h core/sub/S.h tools/common/Shared.h tools/one/One.h \
  tools/two/Two.h cloud/X.h; do
  mkdir -p "$tree/src/${header%/*}"
  echo '#pragma once' >"$tree/src/$header"
done

# file | line planted in it | pass or fail
cases=(
  'core/Plant.cpp|#include "cloud/X.h"|fail'
  'core/Plant.cpp|#include <cloud/X.h>|fail'
  'core/Plant.cpp|#include "../cloud/X.h"|fail'
  'core/Plant.cpp|#include "../cloud/Missing.h"|fail'
  'core/Plant.cpp|  #  include "./../cloud/X.h"  // aside|fail'
  'core/sub/Plant.cpp|#include "../../cloud/X.h"|fail'
  'core/Plant.cpp|#include "core/../cloud/X.h"|fail'
  'tools/one/Plant.cpp|#include "tools/two/Two.h"|fail'
  'tools/one/Plant.cpp|#include "../two/Two.h"|fail'
  'tools/one/Plant.cpp|#include <tools/two/Two.h>|fail'
  'tools/common/Plant.cpp|#include "tools/one/One.h"|fail'
  'tools/common/Plant.cpp|#include "../one/One.h"|fail'
  'base/Plant.cpp|#include "tools/common/Shared.h"|fail'
  'misc/Plant.cpp|#include "base/B.h"|fail'
  'tools/one/Plant.cpp|#include "tools/common/Shared.h"|pass'
  'tools/one/Plant.cpp|#include "../common/Shared.h"|pass'
  'tools/one/Plant.cpp|#include "One.h"|pass'
  'tools/one/Plant.cpp|#include "tools/one/One.h"|pass'
  'cloud/Plant.cpp|#include "../tools/two/Two.h"|pass'
  'core/Plant.cpp|#include <nlohmann/json.hpp>|pass'
  'core/Plant.cpp|#include "A.h"|pass'
  'core/Plant.cpp|#include "sub/S.h"|pass'
  'core/sub/Plant.cpp|#include "../A.h"|pass'
  'core/Plant.cpp|#include "Version.h"|pass'
  'core/Plant.cpp|// #include "cloud/X.h" in a comment|pass'
)

failures=0
for entry in "${cases[@]}"; do
  IFS='|' read -r file line expected <<<"$entry"
  mkdir -p "$tree/src/${file%/*}"
  printf '#include "base/B.h"\n%s\n' "$line" >"$tree/src/$file"
  output=$("$check" --families tools "$tree/src" "${layers[@]}" 2>&1)
  status=$?
  rm -f "$tree/src/$file"
  if [[ $expected == pass && $status -ne 0 ]] ||
    [[ $expected == fail && ($status -ne 1 || $output != "$file"*) ]]; then
    echo "FAILED: $file with '$line' should $expected; status $status, output: $output"
    failures=$((failures + 1))
  fi
done
echo "${#cases[@]} cases, $failures failed"
((failures == 0))
