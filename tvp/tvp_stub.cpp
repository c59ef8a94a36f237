// Placeholder until the library lands: every request fails.
#include "tvp.h"

extern "C" {
void TVPSetApplicationCallback(TVPCallback, int) {}
int TVPEventHandle(void) { return -1; }
int TVPProcessEvents(void) { return 0; }
int TVPDiscover(void) { return -1; }
int TVPPingDevice(const char *) { return 0; }
int TVPMacToID(const char *, uint8_t *id) { for (int i = 0; i < TVP_ID_SIZE; ++i) id[i] = 0; return -1; }
int TVPGetIP(const uint8_t *) { return -1; }
int TVPSetIP(const uint8_t *, const char *, const char *, const char *, uint8_t) { return -1; }
int TVPChooseIPAddress(const char *, char *, char *, char *) { return 0; }
void TVPCleanup(void) {}
}
