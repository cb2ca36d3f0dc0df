// The tour's allocation-log stop: a few memory events logged from nested functions, one of
// them reported as a leak, and the resulting report file printed.
#ifndef QUORKIT_EXAMPLES_TOUR_MEMLOG_H
#define QUORKIT_EXAMPLES_TOUR_MEMLOG_H

// Logs the events, reports the block that was never released and prints "<exe>.memleak.TXT"
// on standard output. Needs the debug-help library beside the program for symbolised frames;
// without it the report holds the record line alone.
void tourAllocationLog();

#endif  // QUORKIT_EXAMPLES_TOUR_MEMLOG_H
