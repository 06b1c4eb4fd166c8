#include "args.h"

#include <errno.h>
#include <stdint.h>
#include <stdlib.h>

namespace {

constexpr long min_period = 1;
constexpr long max_period = 30;

}  // namespace

int check_arguments(int argc, char *const *argv, FILE *err, int *period)
{
    if (argc != 2) {
        fprintf(err, "Usage: %s <integer>\n", argc > 0 && argv[0] ? argv[0] : "loginmotd");
        return 1;
    }

    // Leading blanks and a sign are accepted, anything after the digits is ignored and a text without
    // digits gives 0. A value that does not fit a 32-bit int is refused as it stands rather than cut
    // to its low bits, which could turn it into an accepted period.
    errno = 0;
    long value = strtol(argv[1], nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        fprintf(err, "Argument login_record_period out of range: %ld\n", value);
        return -1;
    }
    int checked = static_cast<int>(value);
    if (checked < min_period || checked > max_period) {
        fprintf(err, "Argument login_record_period out of range: %d\n", checked);
        return -1;
    }
    *period = checked;
    return 0;
}
