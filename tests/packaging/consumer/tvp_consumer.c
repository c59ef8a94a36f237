// SPDX-License-Identifier: MIT
/* A program built on the TVP library the way an outside user builds it:
 * only <tvp.h> and -ltarvextvp. It finds the devices on the interfaces of
 * TVP_INTERFACES and, given a device ID, reads that device's settings and
 * writes them back unchanged. One line per event on stdout:
 *   found ID ADDRESS "NAME" "TYPE"
 *   getip ID ADDRESS MASK GATEWAY|- DHCP
 *   setip ID ADDRESS
 * Exits 0 when every step got its answer. */
#include <tvp.h>

#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

static int found, gotGetIP, gotSetIP;
static char address[32], mask[32], gateway[32];
static unsigned char useDHCP;

static const char *Text(const char *text)
{
    return text ? text : "";
}

static void OnEvent(uint32_t code, const void *record)
{
    if (code == TVPEventDeviceFound) {
        const TVPDeviceFoundRecord *r = (const TVPDeviceFoundRecord *)record;
        printf("found %s %s \"%s\" \"%s\"\n", Text(r->ID), Text(r->IPAddress), Text(r->Name), Text(r->Type));
        ++found;
    } else if (code == TVPEventGetIPReply) {
        const TVPGetIPReplyRecord *r = (const TVPGetIPReplyRecord *)record;
        snprintf(address, sizeof address, "%s", Text(r->IPAddress));
        snprintf(mask, sizeof mask, "%s", Text(r->SubnetMask));
        snprintf(gateway, sizeof gateway, "%s", Text(r->DefaultGateway));
        useDHCP = r->UseDHCP ? 1 : 0;
        printf("getip %s %s %s %s %u\n", Text(r->ID), address, mask, gateway[0] ? gateway : "-", (unsigned)useDHCP);
        gotGetIP = 1;
    } else if (code == TVPEventSetIPReply) {
        const TVPSetIPReplyRecord *r = (const TVPSetIPReplyRecord *)record;
        printf("setip %s %s\n", Text(r->ID), Text(r->IPAddress));
        gotSetIP = 1;
    }
    fflush(stdout);
}

static long NowMs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000L + ts.tv_nsec / 1000000L;
}

/* Delivers events for up to ms milliseconds, or until *done is set. */
static void Pump(long ms, const int *done)
{
    const long end = NowMs() + ms;
    struct pollfd fd = {TVPEventHandle(), POLLIN, 0};
    for (long left = ms; left > 0 && !(done && *done); left = end - NowMs()) {
        if (poll(&fd, 1, (int)left) > 0)
            TVPProcessEvents();
    }
    TVPProcessEvents();
}

int main(int argc, char **argv)
{
    TVPSetApplicationCallback(OnEvent, 0);
    if (TVPEventHandle() < 0) {
        fprintf(stderr, "tvp_consumer: the library did not start\n");
        return 1;
    }
    /* Broadcasts get lost: three tries, like a user pressing Scan again. */
    for (int i = 0; i < 3; ++i) {
        if (TVPDiscover() != 0) {
            fprintf(stderr, "tvp_consumer: discovery was sent on no interface\n");
            return 1;
        }
        Pump(400, NULL);
    }
    if (found == 0) {
        fprintf(stderr, "tvp_consumer: no device answered\n");
        return 1;
    }
    if (argc < 2)
        return 0;

    uint8_t id[TVP_ID_SIZE];
    if (TVPMacToID(argv[1], id) != 0) {
        fprintf(stderr, "tvp_consumer: %s is no device ID\n", argv[1]);
        return 2;
    }
    if (TVPGetIP(id) != 0) {
        fprintf(stderr, "tvp_consumer: GetIP was not sent\n");
        return 1;
    }
    Pump(3000, &gotGetIP);
    if (!gotGetIP) {
        fprintf(stderr, "tvp_consumer: no answer to GetIP\n");
        return 1;
    }
    if (TVPSetIP(id, address, mask, gateway, useDHCP) != 0) {
        fprintf(stderr, "tvp_consumer: SetIP was not sent\n");
        return 1;
    }
    Pump(3000, &gotSetIP);
    if (!gotSetIP) {
        fprintf(stderr, "tvp_consumer: no answer to SetIP\n");
        return 1;
    }
    TVPCleanup();
    return 0;
}
