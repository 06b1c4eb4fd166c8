#include "tallowhost.h"

int main(int argc, char **argv)
{
    return tallowhost_main(argc, argv);
}
