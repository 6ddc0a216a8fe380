#!/usr/bin/env bash
# The release: leaves in dist/ the sdist and, for each supported Python found (as scripts/test.sh
# finds them), a wheel repaired by auditwheel into the manylinux_2_17 (manylinux2014) tag, which
# the release build reaches by linking the C++ runtime into the module (CMakeLists.txt; an older
# tag would need the module to do without memcpy@GLIBC_2.14). Each artifact is then tried as a
# user gets it: installed alone into a clean virtual environment (pip compiles the sdist there),
# imported from it, its version shown by `quillmarsh --version` and `quillmarsh serve --version`,
# and the demo run against the local service. Every wheel must hold the stubs, py.typed and the
# service's OpenAPI document and no library but the module, and `twine check` must pass on every
# artifact. Fails when a found version fails or none is found; says which versions it built and
# which it did not find.
#   scripts/wheels.sh
# The release tools (pyproject.toml's release extra) live in build/wheels/tools. Each Python
# builds in build/wheels/cmake-3.X, without build isolation (pyproject.toml's build requirements
# in build/wheels/build-3.X), so that a second run recompiles only what changed; logs are left
# beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/pythons.sh

policy=manylinux_2_17_x86_64
work=$PWD/build/wheels
mkdir -p dist "$work"
rm -f dist/quillmarsh-*  # dist/ holds the artifacts of this tree alone

found=() missing=()
for version in $supported; do
  if interpreter "$version" >/dev/null; then found+=("$version"); else missing+=("$version"); fi
done
echo "== Python versions: found ${found[*]:-none}; not found ${missing[*]:-none}"
[ ${#found[@]} -gt 0 ] || { echo "no supported Python found" >&2; exit 1; }
first=$(interpreter "${found[0]}")

requirements() {  # requirements KEY...: the list at that path of pyproject.toml, one a line
  "$first" -c 'import sys, tomllib
value = tomllib.load(open("pyproject.toml", "rb"))
for key in sys.argv[1:]:
    value = value[key]
print("\n".join(value))' "$@"
}
mapfile -t release_tools < <(requirements project optional-dependencies release)
mapfile -t build_requires < <(requirements build-system requires)
pip_install() { local python=$1; shift; "$python" -m pip install -q --disable-pip-version-check "$@"; }

tools=$work/tools
[ -x "$tools/bin/python" ] || "$first" -m venv "$tools"
pip_install "$tools/bin/python" "${release_tools[@]}"

echo "== sdist"
"$tools/bin/python" -m build --sdist --outdir dist . >"$work/sdist.log" 2>&1 ||
  { tail -n 40 "$work/sdist.log"; exit 1; }
sdist=$(ls dist/quillmarsh-*.tar.gz)
release=${sdist#dist/quillmarsh-}
release=${release%.tar.gz}

try() {  # try PYTHON ARTIFACT NAME: installed alone into a clean virtual environment, then run
  local python=$1 artifact=$2 venv=$work/try-$3 module
  rm -rf "$venv"
  "$python" -m venv --without-pip "$venv" &&  # the tools' pip installs into it
  "$tools/bin/python" -m pip --python "$venv/bin/python" install -q --disable-pip-version-check "$artifact" \
    >"$venv.log" 2>&1 &&
  module=$(cd "$work" && "$venv/bin/python" -c "import quillmarsh.submit as s; print(s.__file__)") &&
  case $module in "$venv"/*) ;; *) echo "quillmarsh.submit imported from $module" >&2; false ;; esac &&
  shown "$venv/bin/quillmarsh" --version -- "quillmarsh $release" &&
  shown "$venv/bin/quillmarsh" serve --version -- "quillmarsh.devservice $release" &&
  (cd "$work" && "$venv/bin/python" -m quillmarsh.demo) ||
    { echo "!! $artifact: not installed and run (pip's output: $venv.log)" >&2; return 1; }
}

shown() {  # shown COMMAND... -- EXPECTED: the command prints the expected line
  local argv=() out
  while [ "$1" != -- ]; do argv+=("$1"); shift; done
  out=$("${argv[@]}") && [ "$out" = "$2" ] || { echo "${argv[*]##*/} printed '$out', not '$2'" >&2; return 1; }
}

holds() {  # holds WHEEL SOABI: the package's files, the module of that Python, no grafted library
  "$tools/bin/python" - "$@" <<'EOF'
import sys, zipfile
wheel, soabi = sys.argv[1:]
names = set(zipfile.ZipFile(wheel).namelist())
needed = {"quillmarsh/submit.pyi", "quillmarsh/py.typed", "quillmarsh/devservice/openapi.json",
          f"quillmarsh/submit.{soabi}.so"}
libraries = {n for n in names if ".so" in n.rsplit("/", 1)[-1]} - needed
for fault, what in (("lacks", needed - names), ("holds unexpected libraries", libraries)):
    if what:
        sys.exit(f"{wheel} {fault}: {', '.join(sorted(what))}")
EOF
}

built=() failed=()
for version in "${found[@]}"; do
  python=$(interpreter "$version")
  echo "== Python $version ($python)"
  builder=$work/build-$version raw=$work/raw-$version log=$work/build-$version.log
  soabi=$("$python" -c "import sysconfig; print(sysconfig.get_config_var('SOABI'))")
  rm -rf "$raw"
  if { [ -x "$builder/bin/python" ] || "$python" -m venv "$builder"; } &&
     pip_install "$builder/bin/python" "${build_requires[@]}" >"$log" 2>&1 &&
     "$builder/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps --no-build-isolation \
       -Cbuild-dir="$work/cmake-$version" -w "$raw" . >>"$log" 2>&1 &&
     PATH="$tools/bin:$PATH" auditwheel repair --plat "$policy" -w dist "$raw"/quillmarsh-*.whl >>"$log" 2>&1 &&
     wheel=$(ls dist/quillmarsh-"$release"-cp${version/./}-*.whl) &&
     echo "   $wheel" &&
     holds "$wheel" "$soabi" &&
     try "$python" "$wheel" "$version"; then
    built+=("$version")
  else
    tail -n 20 "$log"
    failed+=("$version")
  fi
done

echo "== sdist, installed alone and run on Python ${found[0]}: $sdist"
try "$first" "$sdist" sdist || failed+=(sdist)

echo "== twine check"
COLUMNS=200 "$tools/bin/twine" check --strict dist/quillmarsh-* || failed+=("twine check")

echo "== dist/:"
ls -1 dist/quillmarsh-*
echo "== wheels built and tried: ${built[*]:-none}; not found: ${missing[*]:-none}"
if [ ${#failed[@]} -gt 0 ]; then echo "== failed: ${failed[*]}" >&2; exit 1; fi
[ ${#built[@]} -gt 0 ] || { echo "no wheel built" >&2; exit 1; }
