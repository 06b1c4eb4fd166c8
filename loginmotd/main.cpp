// loginmotd: set-user-id wrapper that runs the login message-of-the-day script as the program's owner
// with one validated argument, the login record period (1 to 30).

#include <stdio.h>
#include <unistd.h>

#include "args.h"

namespace {

constexpr const char *motd_script = "/usr/lib/tarvik/ssh_login_notification/print_motd.sh";

}  // namespace

int main(int argc, char **argv)
{
    int period = 0;
    if (int status = check_arguments(argc, argv, stderr, &period); status != 0)
        return status;

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
