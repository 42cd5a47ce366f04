// Every fixed path, marker file and shell command of the service, in one
// place. None of them is configurable.
#ifndef FIFODEL_PATHS_H_
#define FIFODEL_PATHS_H_

// Root of the recording tree, YYYY/MM/DD/HH below it; its file system is the
// one measured.
#define RECORDINGS_DIR "/recordings"

// While it exists, LOG_DEBUG lines are shown; tested once at start.
#define VERBOSE_MARKER "/var/tolvex/conf/fifo_verbose"

// While it exists, files are shredded rather than unlinked; tested per file.
#define SECURE_DELETE_MARKER "/var/tolvex/conf/opt_secure_delete"

// Directory of the marker files, held open by a pass to look the
// secure-delete marker up per file.
#define CONF_DIR "/var/tolvex/conf"
#define SECURE_DELETE_NAME "opt_secure_delete"

// Run whenever free space is too low, before any pass.
#define STOP_CAPTURES_CMD "killall tcpdump"
// Diagnostic logs and traces; emptied in-process whenever free space is too
// low, everything below it, never the directory itself.
#define LOG_DIR "/recording/log"

// The state of the running service, for `fifodel status` (a JSON document,
// replaced atomically), and the process id of the holder of the lock on
// RECORDINGS_DIR (lock.h).
#define STATE_DIR "/run/fifodel"
#define STATE_NAME "state.json"
#define STATE_FILE STATE_DIR "/" STATE_NAME
#define PID_NAME "fifodel.pid"
#define PID_FILE STATE_DIR "/" PID_NAME

// The counter journal (the unit's StateDirectory=).
#define JOURNAL_DIR "/var/lib/fifodel"
#define JOURNAL_NAME "counters.journal"
#define JOURNAL_FILE JOURNAL_DIR "/" JOURNAL_NAME

// The audit trail: one line per reclaimed call and pruned directory.
#define AUDIT_DIR "/var/log/fifodel"
#define AUDIT_NAME "reclaimed.log"
#define AUDIT_FILE AUDIT_DIR "/" AUDIT_NAME

// The metrics file written into the directory given with --metrics-dir.
#define METRICS_NAME "fifodel.prom"

#endif  // FIFODEL_PATHS_H_
