// loginmotd: set-user-id wrapper that runs the login message-of-the-day script as the program's owner
// with one validated argument, the login record period (1 to 30).

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

namespace {

constexpr const char *motd_script = "/usr/lib/tarvik/ssh_login_notification/print_motd.sh";
constexpr long min_period = 1;
constexpr long max_period = 30;

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "Usage: %s <integer>\n", argc > 0 && argv[0] ? argv[0] : "loginmotd");
        return 1;
    }

    // Leading blanks and a sign are accepted, anything after the digits is ignored and a text without
    // digits gives 0. A value that does not fit a 32-bit int is refused as it stands rather than cut
    // to its low bits, which could turn it into an accepted period.
    errno = 0;
    long value = strtol(argv[1], nullptr, 10);
    if (errno == ERANGE || value < INT32_MIN || value > INT32_MAX) {
        fprintf(stderr, "Argument login_record_period out of range: %ld\n", value);
        return -1;
    }
    int period = static_cast<int>(value);
    if (period < min_period || period > max_period) {
        fprintf(stderr, "Argument login_record_period out of range: %d\n", period);
        return -1;
    }

    // All three user ids become the owner's: with only the real id changed, the saved id would still
    // differ and bash would drop back to the caller's id.
    uid_t owner = geteuid();
    if (setresuid(owner, owner, owner) != 0) {
        perror("setuid");
        return 1;
    }

    char text[4];
    snprintf(text, sizeof text, "%d", period);
    execl("/usr/bin/env", "/usr/bin/env", "-i", "/bin/bash", motd_script, text, static_cast<char *>(nullptr));
    perror("execl");
    return 1;
}
