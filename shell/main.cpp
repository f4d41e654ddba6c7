#include "shell/kioskstart.h"

int main(int argc, char **argv)
{
    return kioskMain(argc, argv);
}
