/* Device management client: lists the devices the connection server has
 * online, opens a management channel (protocol id 1) to one of them, reads
 * its identity and firmware descriptions, sets its friendly name, makes it
 * identify itself, asks it to upgrade its core firmware and resets it.
 *
 * Every call is synchronous and runs on the caller's thread; the library has
 * no callbacks. A handle belongs to the library from DevmgrConnect until
 * DevmgrDisconnect (or the library's unload).
 *
 * Threads: any thread may call any export. Requests on one handle are
 * serialised: a second caller waits for the first (at most about 2 s, the
 * longest reply wait). DevmgrDisconnect may be called while another thread
 * is inside a request on the same handle: that request ends at once with
 * false, and the handle is freed only after it has returned. A handle must
 * not be used once DevmgrDisconnect has returned.
 *
 * A request fails (false) when the handle is broken, the device answers with
 * another code or with a value of a size outside the rule of the call, or no
 * reply comes in time. A missing reply, a lost channel or a reply nobody
 * asked for breaks the handle for good: every later request fails at once;
 * disconnect and connect anew. A wrong code or size leaves it usable.
 *
 * Argument misuse stops the process with an assertion: a null handle
 * ("handle"), a hwidsz other than 16 in DevmgrAskUserDeviceSelection
 * ("sizeof(inhwid.id) == _hwidsz"). */
#ifndef DEVMGR_DEVMGR_H
#define DEVMGR_DEVMGR_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(DEVMGR_BUILD)
#define DEVMGR_API __declspec(dllexport)
#else
#define DEVMGR_API __declspec(dllimport)
#endif
#else
#define DEVMGR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* One management connection; the library's per-device command processor. */
typedef struct CoreCmdProc* DevmgrHandle;

#define DEVMGR_HWID_SIZE 16
/* Buffer sizes of the queries: texts at most 256 bytes (no terminator is
 * added), signatures and UUIDs 16, version words and the serial number 4
 * (copied as the device sends them, little-endian). */
#define DEVMGR_TEXT_SIZE 256
#define DEVMGR_SIGNATURE_SIZE 16
#define DEVMGR_WORD_SIZE 4

typedef struct ProtocolList {
  uint8_t protocols[256]; /* protocol ids as the device sends them */
  uint64_t count;         /* valid bytes of protocols */
} ProtocolList;

/* Opens a management channel to the device; returns once the channel's pipe
 * is up. Null when hwidsz is not 16, the server cannot be reached or refuses
 * the channel, or the pipe does not connect. */
DEVMGR_API DevmgrHandle DevmgrConnect(const uint8_t* hwid, size_t hwidsz);
/* Closes the channel and frees the handle. */
DEVMGR_API void DevmgrDisconnect(DevmgrHandle handle);

/* ids: room for *count device ids. On true, the first *count ids online (in
 * the server's order) are stored and *count is set to their number. */
DEVMGR_API bool DevmgrGetOnlineDevices(uint8_t (*ids)[DEVMGR_HWID_SIZE], size_t* count);
/* Shows the server's device chooser; hwid goes in as the proposal and holds
 * the server's answer afterwards. True only when a device was chosen. */
DEVMGR_API bool DevmgrAskUserDeviceSelection(uint8_t* hwid, size_t hwidsz);

/* Queries: the reply's data is copied into buffer. "exactly n" calls take
 * only a value of that size, "at most n" calls one of up to n bytes. */
DEVMGR_API bool DevmgrGetFwVersion(DevmgrHandle handle, void* buffer);           /* exactly 4 */
DEVMGR_API bool DevmgrGetFwPlatform(DevmgrHandle handle, void* buffer);          /* at most 256 */
DEVMGR_API bool DevmgrGetFwSignature(DevmgrHandle handle, void* buffer);         /* at most 16 */
DEVMGR_API bool DevmgrGetFwTarget(DevmgrHandle handle, void* buffer);            /* at most 256 */
DEVMGR_API bool DevmgrGetFwSubTarget(DevmgrHandle handle, void* buffer);         /* at most 256 */
DEVMGR_API bool DevmgrGetFwVersionString(DevmgrHandle handle, void* buffer);     /* at most 256 */
DEVMGR_API bool DevmgrGetFriendlyName(DevmgrHandle handle, void* buffer);        /* at most 256 */
DEVMGR_API bool DevmgrGetFwVerbose(DevmgrHandle handle, void* buffer);           /* at most 256 */
DEVMGR_API bool DevmgrGetRecVersion(DevmgrHandle handle, void* buffer);          /* exactly 4 */
DEVMGR_API bool DevmgrGetAppInfoUUID(DevmgrHandle handle, void* buffer);         /* exactly 16 */
DEVMGR_API bool DevmgrGetAppInfoName(DevmgrHandle handle, void* buffer);         /* at most 256 */
DEVMGR_API bool DevmgrGetAppInfoVersion(DevmgrHandle handle, void* buffer);      /* at most 256 */
DEVMGR_API bool DevmgrGetAppInfoParSignature(DevmgrHandle handle, void* buffer); /* exactly 16 */
DEVMGR_API bool DevmgrGetAppInfoDefParSignature(DevmgrHandle handle, void* buffer); /* exactly 16 */
DEVMGR_API bool DevmgrGetDeviceName(DevmgrHandle handle, void* buffer);   /* at most 256 */
DEVMGR_API bool DevmgrGetDeviceSerial(DevmgrHandle handle, void* buffer); /* exactly 4 */

/* The protocol ids the device serves (at most 256). */
DEVMGR_API bool DevmgrGetProtocolList(DevmgrHandle handle, ProtocolList* list);
/* Asks the device to upgrade its core firmware from file `filename` of its
 * storage volume `volume` (each taken up to 256 characters). True when the
 * device accepted. */
DEVMGR_API bool DevmgrRequestCoreFirmwareUpgrade(DevmgrHandle handle, const char* volume,
                                                 const char* filename);
/* Sets the friendly name (up to 256 characters are sent, no terminator; null
 * sends an empty name). True when the device took it. */
DEVMGR_API bool DevmgrSetFriendlyName(DevmgrHandle handle, const char* name);
/* Makes the device identify itself for `duration` ms (clamped to 0..65535). */
DEVMGR_API bool DevmgrVisualIdentification(DevmgrHandle handle, int duration);
/* Sends the reset request and waits 500 ms; no reply is awaited. The device
 * then leaves the bus and the handle breaks. */
DEVMGR_API bool DevmgrImmediateReset(DevmgrHandle handle);

#ifdef __cplusplus
}
#endif

#endif /* DEVMGR_DEVMGR_H */
