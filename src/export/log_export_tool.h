#pragma once
// The export command of dupmon-logtool, which sends log databases that
// already exist to the server without a running monitor.
#include <ostream>
#include <string>
#include <vector>

namespace dupmon {

// dupmon-logtool export DB... --to URL [--machine-id ID]: sends existing
// log databases to a PostgreSQL server (the records it lacks are added, the
// others left as they are), with a progress line on `err`: rewritten in
// place when `progressInPlace` (a terminal), else one line per tenth.
// `args` starts with "export". Returns 0 done, 1 a file or server problem,
// 2 bad arguments.
int runLogExport(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
                 bool progressInPlace);

} // namespace dupmon
