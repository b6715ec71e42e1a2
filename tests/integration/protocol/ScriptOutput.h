// The lines a vector generator (a Python script run with Debian's python3) prints. The tests fail,
// rather than skip, when it cannot run or its pymodbus is missing.
#pragma once

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace qmb::test {

inline bool ScriptOutput(const std::string& script, std::vector<std::string>& lines,
                         std::string& problem) {
  const std::string command = "/usr/bin/python3 '" + script + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) {
    problem = "cannot start " + command;
    return false;
  }
  std::string output;
  char chunk[4096];
  size_t got;
  while ((got = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, got);
  if (const int status = pclose(pipe); status != 0) {
    problem = command + " failed (status " + std::to_string(status) + ")";
    return false;
  }
  std::istringstream in(output);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return true;
}

}  // namespace qmb::test
