#!/usr/bin/env bash
# Fails when a file of src/ includes a header of a layer above its own. A file's layer is the first
# folder under src/ (so tools/<family>/ counts as tools, tray/popover/ as tray); an include's layer
# is the first part of its quoted path. Usage: check-layers.sh SRC LAYER..., the layers lowest
# first, as the build links them (TVRN_LAYERS): each may include only itself and those before it.
set -euo pipefail

if (($# < 2)); then
  echo "usage: $(basename "$0") SRC LAYER..." >&2
  exit 2
fi
src=$1
shift
layers=("$@")
cd "$src"
failed=0
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

while IFS= read -r -d '' file; do
  layer=${file#./}
  layer=${layer%%/*}
  if [[ $layer == "$(basename "$file")" ]]; then continue; fi  # a file directly in src/
  if [[ -z ${rank[$layer]+set} ]]; then
    echo "$file: the folder '$layer' is not in the layer order of $(basename "$0")"
    failed=1
    continue
  fi
  while IFS=: read -r line included; do
    target=${included%%/*}
    [[ $target == "$included" || -z ${rank[$target]+set} ]] && continue
    if ((rank[$target] > rank[$layer])); then
      echo "${file#./}:$line: $layer includes $included, which is a layer above it"
      failed=1
    fi
  done < <(awk 'match($0, /^[ \t]*#[ \t]*include[ \t]*"[^"]*"/) {
                  path = substr($0, RSTART, RLENGTH); sub(/^[^"]*"/, "", path); sub(/"$/, "", path)
                  print FNR ":" path }' "$file")
done < <(find . -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
exit $failed
