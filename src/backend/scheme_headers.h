// The flat header block of "app" scheme requests and responses: each record
// is a name, a NUL, a value and a NUL; the block's length travels beside it.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Names are lower-cased (ASCII only); values are kept as they are.
std::string WexlorFlattenHeaders(const HeaderList& headers);

// Reads records in order; a trailing name without its NUL is dropped, and
// the last value may lack its NUL.
HeaderList WexlorParseFlatHeaders(const char* block, size_t length);
