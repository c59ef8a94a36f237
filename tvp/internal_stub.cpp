// Placeholder until the library core lands.
#include "internal.h"
#include "tvp.h"

namespace tvp::internal {
void DeliverNow(uint32_t, const void *) {}
void Log(const std::string &) {}
bool DebugEnabled() { return false; }
uint16_t TftpPort() { return 69; }
bool ParseDottedQuad(const char *, uint32_t *) { return false; }
} // namespace tvp::internal
