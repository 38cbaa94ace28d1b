"""larderbox-cache: runs a directory that a static HTTP server serves as a larderbox cache. It
learns entries from the server's own misses, revalidates them, keeps the directory within a size
and reports how the cache does; larderbox-fill stores through it too.

Every cache address comes from larderbox-path, which forms it with the shim's own code: a log line
is decoded to a candidate URL here, but only a candidate that larderbox-path turns back into the
very path of the line is kept, so this tool and the shim can never disagree about an address.

The directory: DIR/b/SEGMENT/NAME are the entries, the only files the server serves; DIR/meta/
SEGMENT holds each entry's validators and freshness; DIR/tmp/ holds the downloads in progress, one
directory per run, so that nothing half-made is ever below DIR/b/.

The modules: run (one run's shared state, outcomes, counts, workers), logs (reading access logs),
layout (the bridge to larderbox-path), policy (which URLs and addresses), freshness (HTTP's rules
for a shared cache), store (the directory), fetch (curl under the policy), revalidate, learn,
commands (refresh, prune, list, fill, report) and cli (the command line)."""
