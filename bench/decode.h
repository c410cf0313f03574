// qx7540pm-bench decode: stored records (the --history file, any file of
// whole records, or hex text with one record per line) shown as the device
// renders them, each with its own time stamp and data identifier.
#pragma once

#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "output/output.h"

namespace qxbench {

struct DecodeOptions {
  std::vector<std::string> files;
  OutputOptions output;  ///< --json: an object per record; --csv: a header, a row per record
};

/// Adds the decode subcommand; plugin_path is the bench's own --plugin, which
/// the subcommand also takes.
CLI::App* add_decode_command(CLI::App& app, DecodeOptions& options, std::string& plugin_path);

/// Decodes every file through a device of the plug-in at plugin_path; returns
/// the bench's exit code.
int run_decode(const DecodeOptions& options, const std::string& plugin_path);

}  // namespace qxbench
