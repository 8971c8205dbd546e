#pragma once
// Command line of the meter-sim executable.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "meter_sim.h"

namespace qv::sim {

struct CliOptions {
    SimConfig config;
    std::vector<std::pair<std::string, uint16_t>> tcp;  // host, port
    bool pty = false;
    std::string ptyLink;
    bool verbose = false;
    bool help = false;
};

// Parses argv[1..]; on a bad option returns false and sets error.
bool parseCommandLine(const std::vector<std::string>& args, CliOptions& out, std::string& error);

std::string usageText();

}  // namespace qv::sim
