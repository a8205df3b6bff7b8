// The program's entry: the whole run is run_program (quarvelin.cpp).
#include "quarvelin.h"

int main(int argc, char **argv)
{
    return run_program(argc, argv);
}
