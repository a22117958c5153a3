// korvane-sim: the program on the simulated firmware, in a terminal or
// driven by a key script (korvane-sim --help).
#include "sim/runner.h"

int main(int argc, char** argv) {
    return sim::runner_main(argc, argv);
}
