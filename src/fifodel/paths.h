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

// Run, in this order, whenever free space is too low, before any pass.
#define STOP_CAPTURES_CMD "killall tcpdump"
#define DELETE_LOGS_CMD "rm -R /recording/log/*"

#endif  // FIFODEL_PATHS_H_
