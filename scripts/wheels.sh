#!/usr/bin/env bash
# Release wheels: for each supported Python found (as scripts/test.sh finds them), builds a
# wheel of the package into dist/, installs it into a clean virtual environment, imports the
# native module and runs the demo against the local signal service with it. Fails when a
# found version fails or none is found; says which versions it built and which it did not find.
#   scripts/wheels.sh
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

mkdir -p dist build/wheels
built=() missing=() failed=()
for version in $supported; do
  python=$(interpreter "$version") || { missing+=("$version"); continue; }
  echo "== Python $version ($python)"
  tag=cp${version/./}
  rm -f dist/quillmarsh-*-"$tag"-*.whl
  venv=build/wheels/venv-$version
  rm -rf "$venv"
  if "$python" -m venv "$venv" &&
     "$venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w dist . \
       >"build/wheels/build-$version.log" 2>&1 &&
     wheel=$(ls dist/quillmarsh-*-"$tag"-*.whl) &&
     rm -rf "$venv" && "$python" -m venv "$venv" &&
     "$venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel" &&
     (cd build/wheels && "../../$venv/bin/python" -c "import quillmarsh.submit as s; print(s.__file__)") &&
     (cd build/wheels && "../../$venv/bin/python" -m quillmarsh.demo); then
    built+=("$version: $wheel")
  else
    failed+=("$version")
  fi
done
echo "== wheels built and tried: ${built[*]:-none}; not found: ${missing[*]:-none}"
[ ${#built[@]} -gt 0 ] || { echo "no wheel built" >&2; exit 1; }
if [ ${#failed[@]} -gt 0 ]; then echo "== failed: ${failed[*]}" >&2; exit 1; fi
