#include <iostream>

#include "BatchCli.h"

int main(int argc, char** argv) { return RunBatchCli(argc, argv, std::cout, std::cerr); }
