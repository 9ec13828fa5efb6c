#pragma once
// varnowe-batch run in-process: its exit status and what it printed.
#include <sstream>
#include <string>
#include <vector>

#include "BatchCli.h"

struct TCliRun {
  int Code = -1;
  std::string Out, Err;
};

inline TCliRun RunCli(std::vector<std::string> args) {
  args.insert(args.begin(), "varnowe-batch");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::ostringstream out, err;
  TCliRun r;
  r.Code = RunBatchCli(int(args.size()), argv.data(), out, err);
  r.Out = out.str();
  r.Err = err.str();
  return r;
}
