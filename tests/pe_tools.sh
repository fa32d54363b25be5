# Reading a built Windows module with objdump; sourced by the boundary checks.
objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}

# The module's exports by name (C++ decorated ones too), sorted, on one line,
# each followed by a blank.
named_exports() {
  "$objdump" -p "$1" | awk '/^\[Ordinal\/Name Pointer\] Table/ {on=1; next}
    on && /^[ \t]*\[ *[0-9]+\] [A-Za-z_?]/ {print $3} on && /^[ \t]*$/ {on=0}' | sort | tr '\n' ' '
}

# What the module imports from the named DLL (any letter case), one a line:
# the name, or "<none>" for an import by ordinal.
imported_names() {
  "$objdump" -p "$1" | awk -v dll="$(tr 'A-Z' 'a-z' <<<"$2")" '
    /DLL Name:/ {on = tolower($3) == dll; next}
    on && /Hint\/Ord/ {next}
    on && /^[ \t]*$/ {on=0}
    on {print $3}'
}

# The names a list file holds, one a line: blank lines and "#" comments left out.
listed_names() {
  sed -e '/^[[:space:]]*#/d' -e '/^[[:space:]]*$/d' -e 's/[[:space:]]*$//' "$1"
}

# The DLLs the module imports from, lower-cased, one a line.
imported_dlls() {
  "$objdump" -p "$1" | awk '/DLL Name:/ {print tolower($3)}'
}

# Says so and returns 1 unless the module's named exports are exactly the
# given names (sorted, each followed by a blank).
expect_named_exports() {
  local got
  got=$(named_exports "$1")
  [ "$got" = "$2" ] && return 0
  echo "named exports of $1: got '$got', want '$2'"
  return 1
}
