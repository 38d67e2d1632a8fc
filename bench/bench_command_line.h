// The benchmarks' command lines end the same way: help printed, or the error
// and the way to the help.
#pragma once

#include <CLI/CLI.hpp>
#include <cstdio>

namespace bench {

// -1 to go on; otherwise the exit code: 0 after the help, `errorCode` after
// an error.
inline int ParseCommandLine(CLI::App& app, int argc, char** argv, int errorCode) {
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), stdout);
    return 0;
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "%s: %s (see --help)\n", app.get_name().c_str(), e.what());
    return errorCode;
  }
  return -1;
}

}  // namespace bench
