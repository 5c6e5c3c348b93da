#include "quavd.h"

int main(int argc, char **argv) { return quavd_main(argc, argv); }
