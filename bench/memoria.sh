# Memory of the manager and of every process below it, by kind, for the
# benchmark scripts (sourced after tests/e2e/comum.sh, which gives
# descendentes). The browser's processes are told apart by the --type= of
# their command line: zygote, renderer (the pages), anything else
# (utility, gpu-process) as "utility"; a child without --type is "other".
# The zygote's children keep its command line: a "zygote" that runs more
# than one thread is one of them, a renderer when it has a compositor thread.
#
# Figures in kB, from /proc/PID/smaps_rollup: PSS (the process's share of
# every page it maps) and "anon" (Pss_Anon + Pss_Shmem: heap, the browser's
# buffers and shared memory, no program code).

tipo_processo() { # pid root
  if [ "$1" = "$2" ]; then echo manager; return; fi
  local t
  t=$(tr '\0' '\n' < /proc/"$1"/cmdline 2>/dev/null | sed -n 's/^--type=//p' | head -1) || t=
  case "$t" in
    zygote)
      if [ "$(ls /proc/"$1"/task 2>/dev/null | wc -l)" -le 1 ]; then echo zygote
      elif grep -qx Compositor /proc/"$1"/task/*/comm 2>/dev/null; then echo renderer
      else echo utility
      fi ;;
    renderer) echo renderer ;;
    "") echo other ;;
    *) echo utility ;;
  esac
}

# memoria_arvore ROOT: one line per kind present, "kind count pss anon",
# in the order manager, zygote, renderer, utility, other.
memoria_arvore() {
  local p k
  for p in "$1" $(descendentes "$1"); do
    k=$(tipo_processo "$p" "$1")
    awk -v k="$k" '/^Pss:/ { p = $2 } /^Pss_(Anon|Shmem):/ { a += $2 }
      END { if (p != "") print k, p, a + 0 }' /proc/"$p"/smaps_rollup 2>/dev/null || true
  done | awk '
    { n[$1]++; p[$1] += $2; a[$1] += $3 }
    END {
      split("manager zygote renderer utility other", ordem, " ")
      for (i = 1; i <= 5; i++) { k = ordem[i]; if (k in n) print k, n[k], p[k], a[k] }
    }'
}

# relata_memoria TITLE ROOT [TARGET_MB]: the table of memoria_arvore in MB,
# the total, and the target beside it. MEM_TOTAL keeps the total PSS in kB.
relata_memoria() {
  local linhas
  linhas=$(memoria_arvore "$2")
  echo "$1"
  printf '%s\n' "$linhas" | awk -v alvo="${3:-}" '
    { printf "  %-9s x%-2d  PSS %7.1f MB   anon %7.1f MB\n", $1, $2, $3 / 1024, $4 / 1024; n += $2; p += $3; a += $4 }
    END {
      printf "  %-9s x%-2d  PSS %7.1f MB   anon %7.1f MB", "total", n, p / 1024, a / 1024
      if (alvo != "") printf "   (target: below %d MB, %s)", alvo, (p / 1024 < alvo ? "met" : "NOT met")
      printf "\n"
    }'
  MEM_TOTAL=$(printf '%s\n' "$linhas" | awk '{ p += $3 } END { print p + 0 }')
}
