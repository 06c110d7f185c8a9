#include "backend/scheme_headers.h"

#include <cstring>

std::string WexlorFlattenHeaders(const HeaderList& headers) {
  std::string block;
  for (const auto& [name, value] : headers) {
    for (char c : name) block += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    block += '\0';
    block += value;
    block += '\0';
  }
  return block;
}

HeaderList WexlorParseFlatHeaders(const char* block, size_t length) {
  HeaderList headers;
  if (block == nullptr) return headers;
  size_t pos = 0;
  while (pos < length) {
    const auto* nameEnd = static_cast<const char*>(std::memchr(block + pos, '\0', length - pos));
    if (nameEnd == nullptr) break;  // an unterminated trailing name
    const size_t valueStart = static_cast<size_t>(nameEnd - block) + 1;
    const auto* valueEnd =
        valueStart < length
            ? static_cast<const char*>(std::memchr(block + valueStart, '\0', length - valueStart))
            : nullptr;
    const size_t valueStop = valueEnd != nullptr ? static_cast<size_t>(valueEnd - block) : length;
    headers.emplace_back(std::string(block + pos, nameEnd),
                         std::string(block + valueStart, block + valueStop));
    pos = valueStop + 1;
  }
  return headers;
}
