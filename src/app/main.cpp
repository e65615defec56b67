#include "app/Wavora.h"

int main(int argc, char** argv) { return RunWavora(argc, argv); }
