// navtex-decode: decodes a NAVTEX recording (16-bit PCM mono WAV, 11025 or 12000
// samples per second) and prints its text; see NavtexDecode.h.
#include "NavtexDecode.h"

#include <iostream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    std::vector<std::string> Args(argv + 1, argv + argc);
    return tilo::NavtexDecodeMain(Args, std::cout, std::cerr);
}
