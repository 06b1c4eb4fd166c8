#include "daemon.h"

int main(int argc, char **argv)
{
    return tallowd_main(argc, argv);
}
