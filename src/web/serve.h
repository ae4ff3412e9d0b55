// korvofw-ledger LEDGER serve: the line page, the device pages, the export and /metrics over HTTP.
#pragma once

#include <string>
#include <vector>

namespace web {

// Serves the ledger at `location` until SIGINT or SIGTERM; `args` are the words after "serve".
// The exit status: 0 after a stop, 1 when the ledger cannot be read, 2 for bad arguments.
int serve(const std::string& location, const std::vector<std::string>& args);

} // namespace web
