// qx7540pm_count: the instruction-count driver alone, without the benchmark
// library, so that it builds for the board too (scripts/perf.sh runs it under
// qemu-mipsel with the counting plug-in, qemu_count.cpp).
//
//   qx7540pm_count --drive=OP --count=N [--meters=M] [--maps=FILE]
//   qx7540pm_count --list
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "drive.h"
#include "scenario.h"

int main(int argc, char** argv) {
  qxperf::DriveOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::size_t eq = arg.find('=');
    const std::string flag = arg.substr(0, eq);
    const std::string value = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    if (arg == "--list") {
      for (const qxperf::Operation& op : qxperf::operations()) {
        std::cout << op.name << "\t" << op.what << "\n";
      }
      return 0;
    } else if (flag == "--drive") {
      options.operation = value;
    } else if (flag == "--count") {
      options.count = std::atol(value.c_str());
    } else if (flag == "--meters") {
      options.meters = std::atoi(value.c_str());
    } else if (flag == "--maps") {
      options.maps_path = value;
    } else {
      std::cerr << "usage: qx7540pm_count --drive=OP --count=N [--meters=M] [--maps=FILE] | "
                   "--list\n";
      return 2;
    }
  }
  try {
    return qxperf::drive(options);
  } catch (const std::exception& e) {
    std::cerr << "qx7540pm_count: " << e.what() << "\n";
    return 1;
  }
}
