#include <cstdio>

#include "tools/oxactl/ctl.h"

int main(int argc, char** argv) {
    return oxactl::run(argc, argv, stdout, stderr);
}
