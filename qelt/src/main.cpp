#include "qelt.h"

int main(int argc, char **argv)
{
    return qelt_main(argc, argv);
}
