#include "cli/run.h"

int main(int argc, char** argv) { return installer::runInstaller(argc, argv); }
