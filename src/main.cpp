// Entry point of qrngd; the front end lives in frontend.cpp.
#include "main.h"

int main(int argc, char** argv)
{
    return daemon_main(argc, argv);
}
