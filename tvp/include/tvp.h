// SPDX-License-Identifier: MIT
/*
 * tvp.h - the Tarvex device protocol (TVP) library.
 *
 * Finds devices on the local networks, reads and changes their IP settings,
 * probes their reachability, chooses free addresses and uploads firmware.
 * The wire protocol is described in docs/protocol.md.
 *
 * Threading: every call is made from one thread, the host's event-loop
 * thread. Answers to TVPDiscover, TVPGetIP and TVPSetIP (event codes 1 to 3)
 * and log lines (code 0) are queued and delivered only from
 * TVPProcessEvents(), never from inside a request call and never from a
 * thread of the library's own. The host watches TVPEventHandle() and calls
 * TVPProcessEvents() whenever it becomes readable. Upgrade events (code 4)
 * and the upgrade's own log lines are delivered during TVPUpgradeDevice(),
 * on the thread that called it, in the order they happen.
 * The exceptions to the single thread: TVPUpgradeDevice may run on
 * several threads at once (one upload per device); each call delivers its
 * own events on its own thread, so the callback must then be thread-safe.
 * TVPAddressesInUse, which blocks but delivers nothing, may be called from
 * a worker thread.
 *
 * Environment:
 *   TVP_INTERFACES  comma-separated interface names to use (e.g. "lo" or
 *                   "eth0,eth1"); unset: every up, broadcast-capable IPv4
 *                   interface except loopback. Loopback is used only when
 *                   named here.
 *   TVP_PORT        UDP port of the device protocol (default TVP_DEFAULT_PORT).
 *   TVP_TFTP_PORT   UDP port of the devices' TFTP servers (default 69).
 *   TVP_TFTP_TIMEOUT_MS  wait for each TFTP answer before resending
 *                   (default 1000; read at each upload).
 * The environment is read when the library starts, at the first call.
 */
#ifndef TARVEX_TVP_H
#define TARVEX_TVP_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define TVP_CALL __cdecl
#if defined(TVP_BUILDING_LIBRARY)
#define TVP_API __declspec(dllexport)
#else
#define TVP_API __declspec(dllimport)
#endif
#else
#define TVP_CALL
#if defined(TVP_BUILDING_LIBRARY)
#define TVP_API __attribute__((visibility("default")))
#else
#define TVP_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Default UDP port of the device protocol. */
#define TVP_DEFAULT_PORT 30718

/** Size of the binary device identifier filled by TVPMacToID(). */
#define TVP_ID_SIZE 8

/** Size of each output buffer of TVPChooseIPAddress(), terminator included. */
#define TVP_ADDRESS_TEXT_SIZE 16

/** Event codes passed to the application callback. */
enum TVPEventCode {
    TVPEventLog = 0,         /**< record: TVPLogRecord */
    TVPEventDeviceFound = 1, /**< record: TVPDeviceFoundRecord */
    TVPEventGetIPReply = 2,  /**< record: TVPGetIPReplyRecord */
    TVPEventSetIPReply = 3,  /**< record: TVPSetIPReplyRecord */
    TVPEventUpgrade = 4      /**< record: TVPUpgradeRecord */
};

/** Kinds of TVPUpgradeRecord. */
enum TVPUpgradeKind {
    TVPUpgradeStarted = 0, /**< Value: total size of the image in bytes */
    TVPUpgradeProgress = 1 /**< Value: bytes acknowledged by the device */
};

/** Results of TVPUpgradeDevice(). */
enum TVPUpgradeResult {
    TVPUpgradeOK = 0,          /**< the last block was acknowledged */
    TVPUpgradeNoAnswer = 1,    /**< no answer to the write request, or the device is busy; worth one retry */
    TVPUpgradeFileError = 2,   /**< the image file is missing, empty of a name or unreadable */
    TVPUpgradeBadAddress = 3,  /**< the address text is empty or not a dotted quad */
    TVPUpgradeDeviceError = 4, /**< the device answered with a TFTP error */
    TVPUpgradeStalled = 5,     /**< the transfer started but the device stopped answering */
    TVPUpgradeLocalError = 6   /**< a local socket could not be opened or used */
};

/** Why TVPDiscoverAddress(), TVPPingAddress(), TVPGetIPAt() or TVPSetIPAt() sent nothing. */
enum TVPNotSent {
    /** not a dotted quad, an address no device can hold, or (the At calls) an invalid ID or settings */
    TVPNotSentInvalid = -1,
    TVPNotSentNoRoute = -2, /**< the route to the address leaves by no interface in use */
    TVPNotSentFailed = -3   /**< the system refused the send, also when tried again; or no library */
};

/** What TVPAddressesInUse() found at an address. */
enum TVPAddressUse {
    TVPAddressNotOnLink = -1, /**< not a host address of the interface's subnet: not checked */
    TVPAddressFree = 0,       /**< nothing answered for it */
    TVPAddressDevice = 1,     /**< a device answers the probe there */
    TVPAddressHost = 2,       /**< a host there refused the probe's port */
    TVPAddressNeighbour = 3,  /**< the neighbour table holds it resolved after the probe */
    TVPAddressArp = 4,        /**< something answered an ARP probe for it */
    TVPAddressOwn = 5         /**< the interface's own address */
};

/** Most addresses one TVPAddressesInUse() call checks. */
#define TVP_MAX_CHECKED_ADDRESSES 256

/* Event records. Texts are zero-terminated and valid only during the
 * callback; a text field may be NULL, which reads as empty. */

/** Code 0: one log line. */
typedef struct TVPLogRecord
{
    const char *Text;
} TVPLogRecord;

/** Code 1: a device answered a discovery broadcast. */
typedef struct TVPDeviceFoundRecord
{
    const char *ID;
    const char *Interface;
    const char *IPAddress;
    const char *Name;
    const char *Type;
} TVPDeviceFoundRecord;

/** Code 2: a device's IP settings. */
typedef struct TVPGetIPReplyRecord
{
    const char *ID;
    const char *Interface;
    const char *IPAddress;
    const char *SubnetMask;
    const char *DefaultGateway;
    uint8_t UseDHCP; /**< non-zero: the device obtains its address by DHCP */
} TVPGetIPReplyRecord;

/** Code 3: a device has written new settings. */
typedef struct TVPSetIPReplyRecord
{
    const char *ID;
    const char *IPAddress;
} TVPSetIPReplyRecord;

/** Code 4: firmware transfer progress. */
typedef struct TVPUpgradeRecord
{
    uint32_t Kind; /**< TVPUpgradeKind; other values are to be ignored */
    int32_t Value;
} TVPUpgradeRecord;

/**
 * The application callback.
 * \param[in] code   a TVPEventCode (hosts ignore codes above 4)
 * \param[in] record the event's record, valid only during the call
 */
typedef void(TVP_CALL *TVPCallback)(uint32_t code, const void *record);

/**
 * Registers the application callback, replacing any earlier one.
 * \param[in] callback receives every event; NULL drops them
 * \param[in] debug    1: also report log lines (code 0); 0: none
 */
TVP_API void TVP_CALL TVPSetApplicationCallback(TVPCallback callback, int debug);

/**
 * A pollable descriptor that is readable while events are pending.
 * On Windows it is a SOCKET, the reading end of a loopback UDP pair: cast
 * it back to SOCKET and watch it with select(), WSAPoll() or a socket
 * notifier (QSocketNotifier::Read); never read from or close it.
 * \return a file descriptor (a socket on Windows), or -1 if the library
 *         could not start
 */
TVP_API int TVP_CALL TVPEventHandle(void);

/**
 * Delivers every pending event through the callback, on the calling thread.
 * Never blocks.
 * \return the number of events delivered
 */
TVP_API int TVP_CALL TVPProcessEvents(void);

/**
 * Sends one discovery broadcast on every selected interface, as a limited
 * broadcast (255.255.255.255) out of that interface, so every device on
 * the link hears it whatever its own subnet. Answers are accepted for 3 s
 * after the call; an answer claiming an address no device can hold (0.0.0.0,
 * broadcast, multicast, class E, the subnet's network or broadcast address)
 * is dropped. Each answer arrives later as a
 * TVPEventDeviceFound, duplicates included. Its Interface text names the
 * local interface the answer arrived on, as name and address:
 * "eth0 (192.168.1.10)"; a device whose answers arrive on several (two
 * cards on one switch) is named with the one whose subnet holds its
 * address, or the first it answered on when none or several do. Its ID
 * text is the device's MAC address, "00:1A:2B:3C:4D:5E".
 * \return 0 when sent on at least one interface, -1 otherwise
 */
TVP_API int TVP_CALL TVPDiscover(void);

/**
 * Extension beside the fixed calls: sends one Discover by unicast to a
 * device's own address, for devices behind a router that no broadcast
 * reaches. A device answers it by unicast; the answer arrives later as a
 * TVPEventDeviceFound whose Interface text names the local interface it
 * came in on, once the library has probed the address (through the
 * routing table, as TVPPingAddress() does). Nothing is sent when the route
 * to the address leaves by an interface the library does not use. A send
 * that fails with a transient error is tried once more. The caller paces
 * these calls.
 * \param[in] address dotted-quad text of a unicast address
 * \return 0 when sent; TVPNotSentInvalid for an invalid address,
 *         TVPNotSentNoRoute when its route leaves by an interface not in
 *         use, TVPNotSentFailed when the send failed
 */
TVP_API int TVP_CALL TVPDiscoverAddress(const char *address);

/**
 * Extension: the names of the interfaces the library uses now, as
 * TVP_INTERFACES would list them ("eth0,eth1"), each once.
 * \param[out] names buffer for the zero-terminated text; may be NULL when
 *                   size is 0
 * \param[in]  size  the buffer's size in bytes
 * \return the length of the whole text without its terminator (the text was
 *         cut when this is size or more), or -1 if the library could not
 *         start
 */
TVP_API int TVP_CALL TVPGetInterfaces(char *names, size_t size);

/** Size of the Name text of TVPInterfaceReport, terminator included. */
#define TVP_REPORT_NAME_SIZE 128
/** Size of the Reason and LastSendError texts of TVPInterfaceReport. */
#define TVP_REPORT_TEXT_SIZE 128

/** Why the library does not use an interface (TVPInterfaceReport). */
enum TVPInterfaceUse {
    TVPInterfaceUsed = 0,        /**< in use */
    TVPInterfaceDown = 1,        /**< the interface is down */
    TVPInterfaceNoIPv4 = 2,      /**< it has no IPv4 address */
    TVPInterfaceNoBroadcast = 3, /**< it cannot broadcast (a tunnel, point-to-point) */
    TVPInterfaceNotNamed = 4,    /**< TVP_INTERFACES names others, not this one */
    TVPInterfaceLoopback = 5,    /**< loopback, used only when TVP_INTERFACES names it */
    TVPInterfaceMissing = 6,     /**< TVP_INTERFACES names it, but it does not exist */
    TVPInterfaceUnusable = 7     /**< its IPv4 addresses cannot be used */
};

/**
 * One interface of the PC as TVPGetDiagnostics() reports it: whether the
 * library uses it and, if not, why; what it sent there and what came back
 * since the library started or the counters were last cleared. Texts are
 * zero-terminated UTF-8, cut to fit their arrays.
 */
typedef struct TVPInterfaceReport
{
    char Name[TVP_REPORT_NAME_SIZE];     /**< as TVP_INTERFACES names it */
    char Address[TVP_ADDRESS_TEXT_SIZE]; /**< first IPv4 address in use; empty when not used */
    uint32_t PrefixLength;               /**< of Address; 0 when not used */
    uint32_t Use;                        /**< a TVPInterfaceUse */
    char Reason[TVP_REPORT_TEXT_SIZE];   /**< why not used, in words ("is down"); empty when used */
    uint32_t DiscoversSent;              /**< Discover requests sent on it, broadcast or to an address it routes to */
    uint32_t SendErrors;                 /**< requests the system refused to send on it */
    uint64_t BytesSent;                  /**< bytes of every request sent on it (Discover, GetIP, SetIP; not probes) */
    char LastSendError[TVP_REPORT_TEXT_SIZE]; /**< the system's words for the last refusal; empty when none */
    uint32_t Answers;                         /**< answers accepted (discovery, GetIP, SetIP), repeats included */
    uint32_t Devices;                         /**< distinct device IDs among them */
    uint32_t DroppedLate;                     /**< answers to no open request: after its window, or unsolicited */
    uint32_t DroppedImpossible;               /**< discovery answers claiming an address no device can hold */
    uint32_t DroppedMalformed;                /**< datagrams that are no well-formed answer (oversized included) */
    uint32_t DroppedDuplicate;                /**< GetIP or SetIP answers to a request already answered */
    uint32_t DroppedNotInUse;                 /**< answers that arrived here while the library does not use it */
    uint32_t Reserved;                        /**< zero */
} TVPInterfaceReport;

/**
 * Extension beside the fixed calls, for diagnosis: every network interface
 * of the PC with what the library sent and received on it (probes are not
 * counted). Interfaces in use come first, in the order the system lists
 * them, then the ones not used with their reasons. Nothing is sent; the
 * interface list is read anew.
 * \param[out] reports  room for `capacity` records; may be NULL when
 *                      capacity is 0 (to learn how many there are)
 * \param[in]  capacity the number of records `reports` holds
 * \param[in]  clear    non-zero: the counters start from zero after this
 *                      call, so the next one reports one discovery cycle
 * \return the number of interfaces (records filled: the smaller of this and
 *         capacity), or -1 if the library could not start
 */
TVP_API int TVP_CALL TVPGetDiagnostics(TVPInterfaceReport *reports, size_t capacity, int clear);

/**
 * Whether a device answers a probe at an address. An address outside the
 * subnet of every selected interface is not reachable, and nothing is sent.
 * Otherwise the answer, or a definite no, comes within 600 ms (the probe is
 * resent four times against loss); a result less than 2.5 s old answers at
 * once. The library probes every discovered on-link device in the
 * background and delivers its discovery answer once that probe has
 * settled, so the host's probe of a device it has just heard of returns at
 * once.
 * \param[in] address dotted-quad text
 * \return 1 reachable, 0 not reachable or an invalid address
 */
TVP_API int TVP_CALL TVPPingDevice(const char *address);

/**
 * Extension beside TVPPingDevice(): whether a device answers a probe at an
 * address the user named. The probe goes where the routing table sends it,
 * through a router too, as long as the route leaves by an interface the
 * library uses. TVPPingDevice(), which the program calls for every device a
 * broadcast reported, keeps to the subnets in use, so that an answer can't
 * make the PC send anywhere else. The answer, or a definite no, comes
 * within 600 ms; a result less than 2.5 s old answers at once.
 * \param[in] address dotted-quad text of a unicast address
 * \return 1 reachable, 0 not reachable; TVPNotSentInvalid for an invalid
 *         address or a subnet's network or broadcast address,
 *         TVPNotSentNoRoute when its route leaves by an interface not in
 *         use (nothing was sent), TVPNotSentFailed when the library could
 *         not start
 */
TVP_API int TVP_CALL TVPPingAddress(const char *address);

/**
 * Converts an ID text (a MAC address) into the binary identifier: the six
 * MAC bytes, then two zero bytes. Accepted: "00:1A:2B:3C:4D:5E" in either
 * case, with dashes instead of colons, as "001a.2b3c.4d5e" or without
 * separators. A malformed text gives an identifier that matches no device
 * (and that TVPGetIP and TVPSetIP refuse).
 * \param[in]  idText the device's ID text
 * \param[out] id     TVP_ID_SIZE bytes
 * \return 0 for a well-formed text, -1 otherwise
 */
TVP_API int TVP_CALL TVPMacToID(const char *idText, uint8_t *id);

/**
 * Asks a device for its IP settings; the answer arrives later as a
 * TVPEventGetIPReply, its Interface text chosen as for TVPDiscover(). The
 * request is broadcast on every selected interface and retransmitted until
 * answered or for 2.5 s; later answers are dropped.
 * \param[in] id TVP_ID_SIZE bytes from TVPMacToID()
 * \return 0 when sent, -1 otherwise
 */
TVP_API int TVP_CALL TVPGetIP(const uint8_t *id);

/**
 * Gives a device new IP settings; the acknowledgement arrives later as a
 * TVPEventSetIPReply. Once acknowledged, the system's neighbour (ARP)
 * entries of the device's old and new address are removed where the
 * process may (CAP_NET_ADMIN; an administrator on Windows), so the next
 * probe there reaches whoever holds the address now; otherwise a probe's
 * silence there is not trusted until the entry has changed (see
 * docs/protocol.md). Invalid texts are refused before anything is sent:
 * addresses are strict decimal dotted quads ("010" is ten), the mask must
 * be contiguous and non-zero, the address a host address of its subnet.
 * A blank text ("" or "...", the empty address field) means none: allowed
 * for the gateway, and for address and mask when useDHCP.
 * \param[in] id      TVP_ID_SIZE bytes from TVPMacToID()
 * \param[in] address dotted quad (ignored by the device when useDHCP)
 * \param[in] mask    dotted quad
 * \param[in] gateway dotted quad, or blank for none
 * \param[in] useDHCP non-zero: obtain the address by DHCP
 * \return 0 when sent, -1 for invalid arguments or a send failure
 */
TVP_API int TVP_CALL TVPSetIP(const uint8_t *id, const char *address, const char *mask, const char *gateway,
                              uint8_t useDHCP);

/**
 * Extension beside TVPGetIP(): asks the device at an address for its IP
 * settings by unicast, for a device behind a router that no broadcast
 * reaches (found with TVPDiscoverAddress()). The request goes where the
 * routing table sends it, as long as the route leaves by an interface the
 * library uses; the device answers by unicast from that address, and only
 * an answer from there carrying the request's transaction id and the
 * device's ID is taken. It arrives later as a TVPEventGetIPReply whose
 * Interface text names the interface it came in on. Retransmitted like
 * TVPGetIP() until answered or for 2.5 s.
 * \param[in] id            TVP_ID_SIZE bytes from TVPMacToID()
 * \param[in] deviceAddress dotted quad: the device's current address
 * \return 0 when sent; TVPNotSentInvalid for an ID that matches no device
 *         or an address no device can hold, TVPNotSentNoRoute when the
 *         route to the address leaves by an interface not in use,
 *         TVPNotSentFailed when the send failed or the library could not
 *         start
 */
TVP_API int TVP_CALL TVPGetIPAt(const uint8_t *id, const char *deviceAddress);

/**
 * Extension beside TVPSetIP(): gives the device at an address new IP
 * settings by unicast, routed and answered as for TVPGetIPAt(); the
 * acknowledgement arrives later as a TVPEventSetIPReply. The settings are
 * checked as TVPSetIP() checks them. Retransmitted like TVPSetIP(); with a
 * static address the resends go to the new address too (where the device
 * listens once it has taken the settings, if its first acknowledgement was
 * lost), and an acknowledgement from there is taken as well.
 * \param[in] id            TVP_ID_SIZE bytes from TVPMacToID()
 * \param[in] deviceAddress dotted quad: the device's current address
 * \param[in] address       dotted quad (ignored by the device when useDHCP)
 * \param[in] mask          dotted quad
 * \param[in] gateway       dotted quad, or blank for none
 * \param[in] useDHCP       non-zero: obtain the address by DHCP
 * \return 0 when sent; TVPNotSentInvalid for an invalid ID, device address
 *         or settings, TVPNotSentNoRoute when the route to the device's
 *         address leaves by an interface not in use, TVPNotSentFailed when
 *         the send failed or the library could not start
 */
TVP_API int TVP_CALL TVPSetIPAt(const uint8_t *id, const char *deviceAddress, const char *address, const char *mask,
                                const char *gateway, uint8_t useDHCP);

/**
 * Chooses a free address on the subnet of one interface: not the PC's own,
 * the network, broadcast or gateway address, not a device's seen by the
 * library or chosen in the last 30 s, and one nothing answers for: no
 * device probe answer, no ICMP error from a host there, no entry in the
 * neighbour table after the probe, and, with CAP_NET_RAW, no answer to an
 * ARP probe. Candidates are probed sixteen at a time, at most two batches,
 * so the call blocks for about 0.6 s, at most about 1.5 s. The search
 * starts at a point derived from the interface text, so a retry gets the
 * same address while it is free (rule in docs/protocol.md). The gateway is
 * the interface's default route from the routing table.
 * \param[in]  interfaceText an Interface text as reported in TVPEventDeviceFound
 * \param[out] address       TVP_ADDRESS_TEXT_SIZE bytes
 * \param[out] mask          TVP_ADDRESS_TEXT_SIZE bytes
 * \param[out] gateway       TVP_ADDRESS_TEXT_SIZE bytes; empty text when there is none
 * \return 1 when an address was chosen, 0 otherwise
 */
TVP_API int TVP_CALL TVPChooseIPAddress(const char *interfaceText, char *address, char *mask, char *gateway);

/**
 * Extension beside TVPChooseIPAddress(): whether addresses on the subnet of
 * one interface are in use, by the checks that call applies to its
 * candidates: a device's probe answer, an ICMP error from a host there, an
 * entry in the neighbour table after the probe, and, with CAP_NET_RAW (an
 * administrator on Windows), an answer to an ARP probe. All addresses are
 * checked at once, so the call blocks for about 0.6 s whatever their number.
 * It delivers no event (its log lines are queued as any others), so a host
 * may make it from a worker thread to keep its event loop free.
 * \param[in]  interfaceText an Interface text as reported in TVPEventDeviceFound
 * \param[in]  addresses     `count` dotted-quad texts
 * \param[in]  count         at most TVP_MAX_CHECKED_ADDRESSES
 * \param[out] uses          `count` values: a TVPAddressUse each, in the
 *                           order of `addresses`
 * \return 0 when checked; -1 for NULL pointers, a count above
 *         TVP_MAX_CHECKED_ADDRESSES or an interface text that names no
 *         interface in use (then `uses` is left as it was)
 */
TVP_API int TVP_CALL TVPAddressesInUse(const char *interfaceText, const char *const *addresses, size_t count,
                                       int32_t *uses);

/**
 * Uploads a firmware image to a device over TFTP. Blocks until the transfer
 * is over; reports TVPEventUpgrade events through the callback meanwhile.
 * \param[in] path    the image file, sent byte for byte; on Windows UTF-8,
 *                    or the ANSI code page where the bytes are not UTF-8
 * \param[in] address the device's dotted-quad address
 * \return a TVPUpgradeResult
 */
TVP_API int32_t TVP_CALL TVPUpgradeDevice(const char *path, const char *address);

/**
 * Stops the library's thread, closes its sockets and forgets the callback.
 * The next call starts it again, reading the environment anew.
 */
TVP_API void TVP_CALL TVPCleanup(void);

#ifdef __cplusplus
} /* extern "C" */

#if defined(__i386__) || defined(_M_IX86)
static_assert(offsetof(TVPDeviceFoundRecord, Type) == 16, "record layout");
static_assert(offsetof(TVPGetIPReplyRecord, DefaultGateway) == 16, "record layout");
static_assert(offsetof(TVPGetIPReplyRecord, UseDHCP) == 20, "record layout");
static_assert(offsetof(TVPSetIPReplyRecord, IPAddress) == 4, "record layout");
static_assert(offsetof(TVPUpgradeRecord, Value) == 4, "record layout");
#endif
// one layout for every compiler: the 64-bit counter on an 8-byte boundary
static_assert(offsetof(TVPInterfaceReport, BytesSent) == 288, "record layout");
static_assert(sizeof(TVPInterfaceReport) == 456, "record layout");
#endif

#endif /* TARVEX_TVP_H */
