#!/bin/sh
# Starts the program this file is named after from the folder it lies in,
# wherever that is: any path, a read-only mount, or through a link to this file.
self=$(readlink -f -- "$0") || exit 127
exec "${self%/*}/bin/${self##*/}" "$@"
