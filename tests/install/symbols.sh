#!/bin/sh
# Installs the build into a temporary prefix and lists the symbols that the
# installed support library exports (global and defined). Each must belong to
# a class or function of the installed headers, or be an instance of the C++
# library (namespaces std and __gnu_cxx) that these need; each class and
# function of the headers must be there.
#   symbols.sh BUILD_DIR NM
set -eu
build=$1
nm=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cmake --install "$build" --prefix "$work/prefix" >/dev/null
library=$(find "$work/prefix" -name libqza_wdir_support.a)
[ -n "$library" ] || { echo "no libqza_wdir_support.a installed" >&2; exit 1; }

# The installed headers' classes and functions, by their mangled names.
public="12CUserProfile 8CDosFile 8CProcess 9CFileStat 12TwoDigitYear 16AppendMonthlyLog"
public_re=$(echo "$public" | sed 's/ /|/g')

# A mangled name begins with an optional special prefix (vtable, typeinfo,
# its name, VTT, construction vtable, guard variable, a local entity), then
# the scope: std (St, or one of its abbreviations), __gnu_cxx, or a public
# name in the namespace qza.
# The pointer to the C++ personality routine stays global: a local copy would
# be dropped by the final link, and unwinding would skip the library's
# cleanups.
# Without optimisation the C++ library's inline placement new and delete are
# emitted too.
allowed="^_Z(T[VISTC]|GV)?Z?(N[rVKRO]*)?(St|S[absiod]|9__gnu_cxx|3qza($public_re))"
allowed="$allowed|^DW\.ref\.__gxx_personality_v0\$|^_Zn[wa]mPv\$|^_Zd[la]PvS_\$"

"$nm" -g --defined-only "$library" | awk 'NF >= 3 { print $3 }' >"$work/mangled"
"$nm" -g --defined-only -C "$library" |
  awk 'NF >= 3 { $1 = ""; $2 = ""; sub(/^  /, ""); print }' >"$work/demangled"
[ "$(wc -l <"$work/mangled")" -eq "$(wc -l <"$work/demangled")" ] ||
  { echo "nm listed the symbols differently with -C" >&2; exit 1; }
status=0
paste -d ' ' "$work/mangled" "$work/demangled" >"$work/both"
while read -r mangled demangled; do
  # AddressSanitizer adds an indicator beside each exported variable.
  if ! printf '%s\n' "${mangled#__odr_asan.}" | grep -Eq "$allowed"; then
    echo "exported but not from the installed headers: $demangled ($mangled)" >&2
    status=1
  fi
done <"$work/both"
grep -qx 'DW\.ref\.__gxx_personality_v0' "$work/mangled" ||
  { echo "the pointer to the C++ personality routine was made local" >&2; status=1; }
for name in $public; do
  grep -Eq "^_ZNK?3qza$name" "$work/mangled" ||
    { echo "the installed library does not export $(echo "$name" | sed 's/^[0-9]*//')" >&2
    status=1; }
done
echo "$(wc -l <"$work/mangled") exported symbols"
exit $status
