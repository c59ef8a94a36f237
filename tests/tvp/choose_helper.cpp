// SPDX-License-Identifier: MIT
// Runs one free-address choice on a fresh engine and prints the result, so
// a test can run it under reduced privileges (setpriv) in its own process.
// usage: tvp_choose_helper INTERFACE-TEXT PORT
#include "engine.h"

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv)
{
    if (argc != 3)
        return 2;
    tvp::Config config;
    std::string text = argv[1];
    config.interfaces = {text.substr(0, text.rfind(" ("))};
    config.port = uint16_t(std::atoi(argv[2]));
    tvp::Engine engine(config);
    if (!engine.Start())
        return 1;
    char address[16], mask[16], gateway[16];
    if (!engine.Choose(argv[1], address, mask, gateway))
        return 1;
    std::printf("%s %s\n", address, mask);
    return 0;
}
