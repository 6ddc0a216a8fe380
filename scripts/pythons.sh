# Sourced by scripts/test.sh and scripts/wheels.sh: the Python versions the package supports
# (as pyproject.toml's classifiers and the README declare them) and where to find each.
supported="3.11 3.12 3.13"

# interpreter 3.X: the interpreter of that minor version, printed: python3.X on the PATH when it
# runs (a pyenv shim of a version not selected does not), else pyenv's latest 3.X; fails when
# there is none.
interpreter() {
  local candidate
  for candidate in "$(command -v "python$1" 2>/dev/null)" \
      "$(command -v pyenv >/dev/null && ls -d "$(pyenv root)"/versions/"$1".*/bin/python 2>/dev/null | sort -V | tail -n 1)"; do
    if [ -n "$candidate" ] &&
       "$candidate" -c "import sys; sys.exit(sys.version_info[:2] != tuple(map(int, '$1'.split('.'))))" 2>/dev/null; then
      echo "$candidate"
      return 0
    fi
  done
  return 1
}
