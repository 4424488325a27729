#!/usr/bin/env bash
# Includes point down the layers: every project include in a layer's folder names a folder of its own layer
# or of a layer below it. Usage: include_layers.sh ROOT LAYER... (highest first)
set -euo pipefail
root=$1
shift
layers=("$@")
declare -A rank
for i in "${!layers[@]}"; do rank[${layers[i]}]=$i; done

status=0
for layer in "${layers[@]}"; do
    found=0
    # path:line:#include "folder/file.h"
    while IFS= read -r hit; do
        found=$((found + 1))
        target=$(sed -E 's/^[^"]*"([^"/]+)\/.*$/\1/' <<<"$hit")
        if [ -z "${rank[$target]+set}" ]; then
            echo "not a layer: ${hit#"$root"/}"
            status=1
        elif [ "${rank[$target]}" -lt "${rank[$layer]}" ]; then
            echo "$layer includes upward ($target): ${hit#"$root"/}"
            status=1
        fi
    done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^"]+/' --include='*.h' --include='*.cpp' \
                 "$root/$layer" || true)
    # A layer without a single project include means the search went wrong, not that all is well.
    if [ "$found" -eq 0 ]; then
        echo "no project include found in $layer/"
        status=1
    fi
done
exit $status
