# Sourced by scripts/demo, scripts/test and bench/run from the top of the
# checkout: where builds live, and the shell side of the sandbox that the
# tests' testkit/ builds in C++: a private PostgreSQL, private mount and PID
# namespaces, and a private tmpfs on each fixed path of the service. Mount
# points that did not exist are made for the run and removed by the last run
# that uses them, as in testkit/mountpoints.h, whose lock and record these
# functions share, in a directory of root's alone.

# Every fixed path of the service: the recording tree, the markers, the
# diagnostic logs, /run (lock and state), the counter journal, the audit
# trail.
sandbox_paths=(/recordings /var/tolvex/conf /recording/log /run
               /var/lib/fifodel /var/log/fifodel)
sandbox_state=/run/fifodel-sandbox
sandbox_lock=$sandbox_state/lock
sandbox_made=$sandbox_state/made

# sandbox_private_dir DIR: DIR, made with mode 0700 when missing; fails
# unless it is then a directory of root's that nobody else may enter, not a
# link. A name that any user could plant (in /tmp, say) would let them point
# root's lock, record or removal elsewhere. OpenPrivateDir in
# testkit/mountpoints.cpp applies the same rule.
sandbox_private_dir() {
  mkdir -m 700 "$1" 2>/dev/null || true
  if [[ -d $1 && ! -L $1 ]] && [[ $(stat -c %u "$1") == 0 ]] &&
     (( (8#$(stat -c %a "$1") & 8#077) == 0 )); then
    return 0
  fi
  echo "sandbox: $1: no private directory of root's" >&2
  return 1
}

# build_dir NAME: the build directory NAME (demo, test, mutants, bench) of this
# checkout, outside it: FIFODEL_BUILD_ROOT, by default
# /var/tmp/fifodel-<checkout>-<hash of its path>.
build_dir() {
  local root=${FIFODEL_BUILD_ROOT:-}
  if [[ -z $root ]]; then
    root=/var/tmp/fifodel-$(basename "$PWD")-$(pwd -P | md5sum | cut -c 1-8)
  fi
  echo "$root/$1"
}

# sandbox_begin NAME: a work directory $sandbox_work that the PostgreSQL
# server (user postgres) can read, removed with all the rest on exit.
sandbox_begin() {
  sandbox_work=$(mktemp -d "/tmp/fifodel-$1.XXXXXX")
  chmod 755 "$sandbox_work"
  trap sandbox_end EXIT
}

# sandbox_postgres: the private server with the reference schema; exports
# PGHOST. Before sandbox_enter, so that the server does not hold the lock.
sandbox_postgres() {
  PGHOST=$(scripts/pgsandbox start "$sandbox_work/pg" db/schema.sql)
  export PGHOST
}

# Makes the missing mount points under the exclusive lock, then holds it
# shared; a last run ending between the two may have removed them: again.
sandbox_claim() {
  local path dir part missing
  sandbox_private_dir "$sandbox_state" || exit 1
  exec {sandbox_lockfd}>>"$sandbox_lock"
  # Usually all there: shared suffices, and overlapping runs do not wait.
  flock -s "$sandbox_lockfd"
  missing=0
  for path in "${sandbox_paths[@]}"; do [[ -d $path ]] || missing=1; done
  ((missing)) || return 0
  while :; do
    flock -x "$sandbox_lockfd"
    for path in "${sandbox_paths[@]}"; do
      dir=
      for part in ${path//\// }; do
        dir+=/$part
        [[ -d $dir ]] || { mkdir "$dir" && echo "$dir" >>"$sandbox_made"; }
      done
    done
    flock -s "$sandbox_lockfd"
    missing=0
    for path in "${sandbox_paths[@]}"; do [[ -d $path ]] || missing=1; done
    ((missing)) || return 0
  done
}

sandbox_release() {
  [[ -n ${sandbox_lockfd:-} ]] || return 0
  if flock -x -n "$sandbox_lockfd" && [[ -f $sandbox_made ]]; then
    tac "$sandbox_made" | while read -r dir; do rmdir "$dir" 2>/dev/null || true; done
    rm -f "$sandbox_made"
  fi
  exec {sandbox_lockfd}>&-
  sandbox_lockfd=
}

sandbox_end() {
  if [[ -n ${sandbox_work:-} ]]; then
    scripts/pgsandbox stop "$sandbox_work/pg" || true
    sandbox_release
    rm -rf "$sandbox_work"
  fi
}

# sandbox_enter CMD...: CMD as PID 1 of new mount and PID namespaces (the
# service's "killall tcpdump" reaches only processes in there), with the
# mount points claimed; there it calls sandbox_mount.
sandbox_enter() {
  sandbox_claim
  unshare -m -p -f --mount-proc --propagation private "$@"
}

# sandbox_mount [RECORDINGS_SIZE]: inside, a fresh tmpfs on every fixed path:
# /recordings of RECORDINGS_SIZE (1m by default), 64 MB for the logs and the
# audit trail, 1 MB for the others.
sandbox_mount() {
  local path size
  for path in "${sandbox_paths[@]}"; do
    case $path in
      /recordings) size=${1:-1m} ;;
      /recording/log | /var/log/fifodel) size=64m ;;
      *) size=1m ;;
    esac
    mount -t tmpfs -o "mode=755,size=$size" tmpfs "$path"
  done
}
