#!/usr/bin/env bash
# Builds each Android release's whole SELinux policy with the program's (sepolicy/) inside it,
# as the platform builds it, and checks on the built policy what the program touches
# (sepolicy/accesses.txt, one line per access of the README's table):
#
#   scripts/sepolicy.sh [PLATFORM-POLICY-DIR...]
#
# A PLATFORM-POLICY-DIR is a release's system/sepolicy (its public/, private/, vendor/, or the
# one folder of 7.x). Without one, the copies in ../shared/platform-sepolicy/: Android 7.1,
# 8.1, 9, 10, 11, 12, 13 and 14.
#
# Each release: its files of sepolicy_build_files, type by type, each type from its folders
# in the build's order (the program's folder as BOARD_SEPOLICY_DIRS on 7.x, beside private/
# as BOARD_PLAT_PRIVATE_SEPOLICY_DIR on 8.x to 10, after vendor/ as
# SYSTEM_EXT_PRIVATE_SEPOLICY_DIRS from 11), through m4 -s with a user build's definitions
# into one policy.conf, then checkpolicy -M -c 30, which checks every neverallow. On the
# policy, sesearch must find every "allow" access of the release; a second build with the
# "forbid" accesses added must be refused by a neverallow of the platform, which is printed
# with its file and line. One line per release, then what the platform forbids.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
policy_dir=$root/sepolicy
accesses=$policy_dir/accesses.txt
work=$root/build-sepolicy

if [ $# -eq 0 ]; then
  shared=$root/../shared/platform-sepolicy
  if [ ! -d "$shared" ]; then
    echo "sepolicy: no platform policy at ../shared/platform-sepolicy: skipped (pass a release's system/sepolicy)"
    exit 0
  fi
  set -- "$shared"/android-7.1 "$shared"/android-8.1 "$shared"/android-9 "$shared"/android-10 \
    "$shared"/android-11 "$shared"/android-12 "$shared"/android-13 "$shared"/android-14
fi

need=(m4 checkpolicy setools)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "sepolicy: installing ${missing[*]}"
  . "$root/scripts/apt.sh"
  apt_install sepolicy.sh "${missing[@]}"
fi

# The release of a platform policy folder: its name (android-N), else the newest API level it
# keeps compatibility with, plus one.
release_of() {
  local dir=$1 base newest
  base=$(basename "$dir")
  if [[ $base =~ ^android-([0-9.]+)$ ]]; then
    echo "${BASH_REMATCH[1]}"
    return
  fi
  [ -d "$dir/public" ] || { echo 7.1; return; }
  newest=$(ls "$dir/private/compat" 2>/dev/null | sed -n 's/^\([0-9]*\)\.0$/\1/p' | sort -n | tail -1)
  case "${newest:-0}" in
    26) echo 8.1 ;; 27) echo 9 ;; 28) echo 10 ;; 29) echo 11 ;; 30 | 31) echo 12 ;;
    32) echo 13 ;; 0) echo 8.0 ;; *) echo 14 ;;
  esac
}

# True when release $1 lies in the range $2 (all, N, N-, -N, N-M).
in_range() {
  awk -v r="$1" -v range="$2" 'BEGIN {
    if (range == "all") exit 0
    n = split(range, part, "-")
    if (n == 1) exit !(r + 0 == part[1] + 0)
    lo = part[1] == "" ? 0 : part[1]; hi = part[2] == "" ? 999 : part[2]
    exit !(r + 0 >= lo + 0 && r + 0 <= hi + 0)
  }'
}

# The access lines of release $1 of kind $2 (allow, forbid), as "ROW|TARGET|CLASS|PERMS".
accesses_of() {
  awk -F'|' -v r="$1" -v kind="$2" '
    function trim(s) { gsub(/^[ \t]+|[ \t]+$/, "", s); return s }
    function in_range(range, part, n, lo, hi) {
      if (range == "all") return 1
      n = split(range, part, "-")
      if (n == 1) return r + 0 == part[1] + 0
      lo = part[1] == "" ? 0 : part[1]; hi = part[2] == "" ? 999 : part[2]
      return r + 0 >= lo + 0 && r + 0 <= hi + 0
    }
    /^[ \t]*(#|$)/ { next }
    trim($3) == kind && in_range(trim($2)) {
      n = split(trim($4), w, /[ \t]+/); split(w[1], tc, ":")
      perms = w[2]; for (i = 3; i <= n; i++) perms = perms " " w[i]
      print trim($1) "|" tc[1] "|" tc[2] "|" perms
    }' "$accesses"
}

# Builds release $2 of platform folder $1 with the program's folder $3 into $4.conf and $4;
# checkpolicy's messages go to $4.log. Returns checkpolicy's status.
build_policy() {
  local platform=$1 release=$2 ours=$3 out=$4 dirs types t d p f
  local -a files=()
  case "$release" in
    7.*) dirs=("$platform" "$ours") ;;
    8.* | 9 | 10) dirs=("$platform/public" "$platform/private" "$ours" "$platform/vendor") ;;
    *) dirs=("$platform/public" "$platform/private" "$platform/vendor" "$ours") ;;
  esac
  types="security_classes initial_sids access_vectors global_macros neverallow_macros mls_macros
    mls_decl mls policy_capabilities te_macros attributes ioctl_defines ioctl_macros *.te
    roles_decl roles users initial_sid_contexts fs_use genfs_contexts port_contexts"
  # From 14 the attributes and the .te files of one folder are one group, folder by folder.
  [ "${release%%.*}" -ge 14 ] && types=${types/attributes ioctl_defines ioctl_macros \*.te/ioctl_defines ioctl_macros attributes|*.te}
  # 14's files guard rules with build flags (is_flag_enabled), whose macros the build adds
  # ahead of the files; a user build without the flags keeps the rules of disabled flags.
  if grep -rqs 'is_flag_enabled\|is_flag_disabled' "$platform"/private/*.te; then
    printf '%s\n' "define(\`is_flag_enabled', \`ifelse(target_flag_\$1, \`true', \`\$2')')" \
      "define(\`is_flag_disabled', \`ifelse(target_flag_\$1, \`true', , \`\$2')')" >"$out.flags"
    files+=("$out.flags")
  fi
  set -f
  for t in $types; do
    for d in "${dirs[@]}"; do
      for p in ${t//|/ }; do
        set +f
        for f in $(cd "$d" && ls -d $p 2>/dev/null | LC_ALL=C sort); do files+=("$d/$f"); done
        set -f
      done
    done
    # LineageOS 14.1 declares the exfat and ntfs file system types in its own device policy,
    # which its untrusted_app.te names: stand-ins for those two declarations.
    if [ "$t" = "*.te" ] && [[ $release == 7.* ]] && grep -qs -- '-exfat' "$platform/untrusted_app.te" &&
      ! grep -qs 'type exfat' "$platform"/*.te; then
      printf 'type %s, sdcard_type, fs_type, mlstrustedobject;\n' exfat ntfs >"$out.lineage.te"
      files+=("$out.lineage.te")
    fi
  done
  set +f
  m4 -D mls_num_sens=1 -D mls_num_cats=1024 -D target_build_variant=user \
    -D target_with_dexpreopt=true -D target_arch=arm -D target_with_asan=false \
    -D target_with_native_coverage=false -D target_full_treble=true \
    -D target_compatible_property=true -D target_treble_sysprop_neverallow=true \
    -D target_enforce_sysprop_owner=true -D target_exclude_build_test=false \
    -D target_requires_insecure_execmem_for_swiftshader=false \
    -D target_enforce_debugfs_restriction=true -D target_flatten_apex=false \
    -D target_recovery=false -D target_has_legacy_camera_hal1=false \
    -D target_needs_platform_text_relocations=false -D shipping_build=false \
    -s "${files[@]}" >"$out.conf" 2>"$out.log" || return 1
  checkpolicy -M -c 30 -o "$out" "$out.conf" >>"$out.log" 2>&1
}

# Checks release $2 (platform folder $1); the result lines go to $3.
check_release() {
  local platform=$1 release=$2 report=$3 out=$work/$2 row target class perms p rules
  local allowed=0 forbidden=0 failed=0 line
  mkdir -p "$out"
  : >"$report"
  if ! build_policy "$platform" "$release" "$policy_dir" "$out/policy"; then
    echo "android-$release: FAILED to build with the program's policy:" >>"$report"
    grep -v '^#line\|^$' "$out/policy.log" | head -8 | sed 's/^/  /' >>"$report"
    return 1
  fi

  # Every allowed access: a rule of the domain (or an attribute it has) on the type (or an
  # attribute the type has) and class, the permissions together.
  sesearch -A -s poweroff_alarm "$out/policy" >"$out/rules.txt"
  seinfo -a -x "$out/policy" >"$out/attributes.txt"
  accesses_of "$release" allow >"$out/allow.txt"
  accesses_of "$release" forbid >"$out/forbid.txt"
  allowed=$(grep -c . "$out/allow.txt" || true)
  local -a lacking=()
  while IFS= read -r line; do lacking+=("$line"); done < <(awk -F'|' '
    FILENAME == ARGV[1] {
      if ($0 ~ /^ *attribute /) { a = $0; sub(/^ *attribute /, "", a); sub(/;.*/, "", a); next }
      if (a != "" && NF == 1 && $1 ~ /^[ \t]+[a-z0-9_]+$/) { t = $1; gsub(/[ \t]/, "", t); member[t, a] = 1 }
      next
    }
    FILENAME == ARGV[2] {
      # allow SOURCE TARGET:CLASS PERMS; where PERMS is one word or { several }
      split($0, w, " "); split(w[3], tc, ":")
      rest = $0; sub(/^[^ ]+ [^ ]+ [^ ]+ /, "", rest); gsub(/[{};]/, " ", rest)
      n = split(rest, p, " ")
      for (i = 1; i <= n; i++) granted[tc[1], tc[2], p[i]] = 1
      targets[tc[1]] = 1
      next
    }
    {
      t = $2 == "self" ? "poweroff_alarm" : $2
      n = split($4, p, " ")
      for (i = 1; i <= n; i++) {
        ok = granted[t, $3, p[i]]
        for (x in targets) if (!ok && member[t, x] && granted[x, $3, p[i]]) ok = 1
        if (!ok) print $1 ": " $2 ":" $3 " " p[i]
      }
    }' "$out/attributes.txt" "$out/rules.txt" "$out/allow.txt")

  # Every forbidden access: the policy with it must be refused by a neverallow, named by its
  # file and line.
  local -a refused=()
  if [ -s "$out/forbid.txt" ]; then
    # The same policy.conf with the rules put in beside the program's own.
    awk -F'|' -v ours="\"$policy_dir/poweroff_alarm.te\"" '
      FILENAME == ARGV[1] { probe = probe "allow poweroff_alarm " $2 ":" $3 " { " $4 " };\n"; next }
      { print }
      $1 == "#line 1 " ours { printf "%s", probe; done = 1 }
      END { exit !done }' "$out/forbid.txt" "$out/policy.conf" >"$out/probe-policy.conf"
    checkpolicy -M -c 30 -o "$out/probe-policy" "$out/probe-policy.conf" >"$out/probe-policy.log" 2>&1 || true
    while IFS= read -r line; do refused+=("$line"); done < <(awk -F'|' -v platform="$platform/" '
      FILENAME == ARGV[1] {
        if ($0 !~ /neverallow on line .* violated by allow poweroff_alarm /) next
        where = $0; sub(/.*neverallow on line /, "", where)
        num = where; sub(/ of .*/, "", num)
        file = where; sub(/^[0-9]+ of /, "", file); sub(/ \(or line.*/, "", file)
        if (index(file, platform) == 1) file = substr(file, length(platform) + 1)
        rule = $0; sub(/.*violated by allow poweroff_alarm /, "", rule)
        reports[++count] = rule; places[count] = file ":" num
        next
      }
      {
        t = $2 == "self" ? "poweroff_alarm" : $2
        found = ""
        for (i = 1; i <= count && found == ""; i++) {
          if (index(reports[i], t ":" $3 " ") != 1) continue
          n = split($4, p, " "); all = 1
          for (j = 1; j <= n; j++) if (reports[i] !~ ("[ {]" p[j] "[ };]")) all = 0
          if (all) found = places[i]
        }
        print $0 "|" found
      }' "$out/probe-policy.log" "$out/forbid.txt")
  fi
  for line in "${refused[@]}"; do
    IFS='|' read -r row target class perms where <<<"$line"
    if [ -z "$where" ]; then
      lacking+=("$row: $target:$class $perms is not refused by the platform: move it to allow")
    else
      forbidden=$((forbidden + 1))
    fi
  done

  if [ ${#lacking[@]} -gt 0 ]; then
    failed=1
    echo "android-$release: FAILED: ${#lacking[@]} access(es) not as the table says" >>"$report"
    for line in "${lacking[@]}"; do echo "  not allowed: $line" >>"$report"; done
  else
    echo "android-$release: ok: built with every neverallow held, $allowed accesses allowed," \
      "$forbidden forbidden by the platform" >>"$report"
  fi
  for line in "${refused[@]}"; do
    IFS='|' read -r row target class perms where <<<"$line"
    [ -n "$where" ] && echo "  forbids $row: allow poweroff_alarm $target:$class { $perms }; ($where)" >>"$report"
  done
  return $failed
}

# The README's table and sepolicy/accesses.txt name the same rows: a row added to one alone
# fails here. A row is named by the first path in backquotes of its first cell (else the cell).
readme_rows() {
  awk '/What the program touches, for the security policy/ { on = 1; next }
    on && /^\|/ {
      cell = $0; sub(/^\| */, "", cell); sub(/ *\|.*/, "", cell)
      if (cell == "path" || cell ~ /^-+$/) next
      if (match(cell, /`[^`]*`/)) cell = substr(cell, RSTART + 1, RLENGTH - 2)
      print cell; next
    }
    on && /^\|/ == 0 && seen { exit }
    on && /^\|/ { seen = 1 }' "$root/README.md" | sort -u
}
access_rows() {
  awk -F'|' '/^[ \t]*(#|$)/ { next } { r = $1; gsub(/^[ \t]+|[ \t]+$/, "", r); print r }' \
    "$accesses" | sort -u
}
apart=$(comm -3 <(readme_rows) <(access_rows) | sed 's/^\t/  in sepolicy\/accesses.txt only: /; t; s/^/  in the README only: /')
if [ -n "$apart" ]; then
  echo "sepolicy: the README's table and sepolicy/accesses.txt differ:"
  echo "$apart"
  exit 1
fi

start=$(date +%s)
mkdir -p "$work"
declare -a releases=() reports=() pids=()
jobs_max=$(nproc 2>/dev/null || echo 2)
status=0
for dir in "$@"; do
  if [ ! -d "$dir" ]; then
    echo "sepolicy: $dir: no such folder: skipped"
    continue
  fi
  release=$(release_of "$dir")
  report=$work/report-$release.txt
  check_release "$(cd "$dir" && pwd)" "$release" "$report" &
  releases+=("$release")
  reports+=("$report")
  pids+=($!)
  while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || status=1
  cat "${reports[$i]}"
done
echo "sepolicy: ${#releases[@]} release(s) in $(($(date +%s) - start)) s"
exit $status
