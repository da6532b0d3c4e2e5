/* Layout of the modem-line state file shared by the preloaded library (in
 * Wine), the rig script (which makes it) and the tests (which read it). All
 * fields little-endian, the same on 32-bit and 64-bit. */
#ifndef QUILLON_MODEMLINES_H
#define QUILLON_MODEMLINES_H

#include <stdint.h>

#define MODEM_LINES_RECORDS 4096
/* Record kinds: the output lines were set to value (TIOCM_RTS 4, TIOCM_DTR 2),
 * or value bytes were written to the device. */
#define MODEM_LINES_SET 1
#define MODEM_LINES_WRITE 2

struct modem_lines_record {
    int64_t usec; /* monotonic clock, microseconds */
    uint32_t kind;
    uint32_t value;
};

struct modem_lines {
    uint32_t inputs;  /* TIOCM_CTS 0x20, TIOCM_CAR 0x40, TIOCM_RNG 0x80, TIOCM_DSR 0x100: set by tests */
    uint32_t outputs; /* RTS and DTR as last set */
    uint32_t count;   /* records written so far */
    uint32_t reserved;
    struct modem_lines_record records[MODEM_LINES_RECORDS];
};

#define MODEM_LINES_SIZE (16 + 16 * MODEM_LINES_RECORDS)

#endif
