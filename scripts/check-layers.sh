#!/usr/bin/env bash
# Fails when a file of src/ includes a header of a layer above its own, or a file of one family
# includes a header of another. A path's layer is the longest layer folder it lies in (so
# tools/common/ is the layer tools/common, tools/<family>/ counts as tools, tray/popover/ as tray).
# Every include form the compiler accepts is read: "layer/X.h" and <layer/X.h> from src/, and a
# path relative to the including file ("X.h", "../cloud/X.h"), found where the compiler finds it.
# Usage: check-layers.sh [--families LAYER]... SRC LAYER...
# The layers come lowest first, as the build links them (TVRN_LAYERS in CMakeLists.txt): each may
# include only itself and those before it. The folders of a --families layer are families that
# may include their own folder and the layers below, never another family's folder.
set -euo pipefail

declare -A families
while [[ ${1-} == --families ]]; do
  (($# >= 2)) || break
  families[$2]=1
  shift 2
done
if (($# < 2)); then
  echo "usage: $(basename "$0") [--families LAYER]... SRC LAYER..." >&2
  exit 2
fi
src=$1
shift
layers=("$@")
cd "$src"
failed=0
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[$i]}]=$i; done

# Sets `normal` to the path with its "." and ".." parts resolved; a ".." that climbs out of src/
# stays at the front.
normalize() {
  if [[ /$1/ != */./* && /$1/ != */../* && $1 != *//* ]]; then
    normal=$1
    return
  fi
  local -a parts out=()
  local part
  IFS=/ read -ra parts <<<"$1"
  for part in "${parts[@]}"; do
    case $part in
      '' | .) ;;
      ..) if ((${#out[@]})) && [[ ${out[-1]} != .. ]]; then unset 'out[-1]'; else out+=(..); fi ;;
      *) out+=("$part") ;;
    esac
  done
  local IFS=/
  normal="${out[*]}"
}

# Sets `target` to the path under src/ an include names. $1 is the including file's folder, $2
# the opening delimiter, $3 the path as written. A quoted path is looked for beside the including
# file first, then in src/; one found in neither is taken as written, relative to the file when it
# starts with "./" or "../".
resolve() {
  if [[ $2 == '<' ]]; then
    normalize "$3"
  elif [[ -e $1/$3 ]]; then
    normalize "$1/$3"
  elif [[ -e $3 ]]; then
    normalize "$3"
  elif [[ $3 == ./* || $3 == ../* ]]; then
    normalize "$1/$3"
  else
    normalize "$3"
  fi
  target=$normal
}

# Sets `where_layer` to the layer the path lies in (empty when none) and `where_family` to its
# family when that layer has families (empty for a file directly in the layer's folder).
place() {
  where_layer='' where_family=''
  local layer rest
  for layer in "${layers[@]}"; do
    if [[ $1 == "$layer"/* && ${#layer} -gt ${#where_layer} ]]; then where_layer=$layer; fi
  done
  [[ -n $where_layer && -n ${families[$where_layer]+set} ]] || return 0
  rest=${1#"$where_layer"/}
  if [[ $rest == */* ]]; then where_family=${rest%%/*}; fi
}

# The include as written, and where it leads when that reads differently.
shown() {
  local closing='"'
  [[ $opening == '<' ]] && closing='>'
  echo -n "$opening$included$closing"
  [[ $target == "$included" ]] || echo -n " ($target)"
}

while IFS= read -r -d '' file; do
  file=${file#./}
  [[ $file == */* ]] || continue  # a file directly in src/
  place "$file"
  if [[ -z $where_layer ]]; then
    echo "$file: the folder '${file%%/*}' is in none of the layers given (TVRN_LAYERS in CMakeLists.txt)"
    failed=1
    continue
  fi
  layer=$where_layer
  family=$where_family
  while IFS=$'\t' read -r line opening included; do
    resolve "${file%/*}" "$opening" "$included"
    place "$target"
    [[ -n $where_layer ]] || continue
    if ((${rank[$where_layer]} > ${rank[$layer]})); then
      echo "$file:$line: $layer includes $(shown), which is a layer above it"
      failed=1
    elif [[ $where_layer == "$layer" && $where_family != "$family" ]]; then
      echo "$file:$line: includes $(shown), which belongs to another family of $layer/"
      failed=1
    fi
  done < <(awk 'match($0, /^[ \t]*#[ \t]*include[ \t]*("[^"]*"|<[^>]*>)/) {
                  text = substr($0, RSTART, RLENGTH); sub(/^[^"<]*/, "", text)
                  print FNR "\t" substr(text, 1, 1) "\t" substr(text, 2, length(text) - 2) }' "$file")
done < <(find . -type f \( -name '*.h' -o -name '*.cpp' \) -print0 | sort -z)
exit $failed
