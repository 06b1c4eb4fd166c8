// loginmotd's command-line check, apart from main so that tests and the fuzz target can call it.
#pragma once

#include <cstdio>

// Checks the command line: exactly one argument, a decimal login record period from 1 to 30. Returns
// 0 with the period in *period, or the exit status (1 or -1) after writing the message to err.
int check_arguments(int argc, char *const *argv, FILE *err, int *period);
