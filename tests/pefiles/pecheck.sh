#!/bin/sh
# Runs the native brelvo-pecheck given first on the rest; skips (77) with the
# reason when the dev preset has not built it.
tool="$1"
shift
if [ ! -x "$tool" ]; then
  echo "skipped: $tool is missing (cmake --build --preset dev --target brelvo-pecheck)"
  exit 77
fi
exec "$tool" "$@"
