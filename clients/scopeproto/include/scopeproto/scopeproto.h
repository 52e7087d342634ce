/* Digital scope client: keeps a channel of the device's scope service
 * (protocol id 5) open while the device is registered, reconnecting it by
 * itself. Requests are synchronous: each sends one message and waits until
 * its reply has come or the channel is given up.
 *
 * Results (ScopeResult): 0 to 16 the device's status byte, 1024 no valid
 * reply (not connected, the channel broke or was given up, the reply had
 * the wrong code or length).
 *
 * Events (handle, event, data, length); pointers are valid only during the
 * call:
 *   0  channel down; data null, length the reason: 1 unregistered, 2 the
 *      channel broke (or the device sent a message outside the rules),
 *      3 a reply did not come within 1 s of the request or its last chunk
 *   1  channel up; data null, length 0
 *   2  status update: ProtDigScopeStatus, length 8 (sent by the device
 *      unasked)
 *   3  channel list: ProtDigScopeChannelList, length 2056 (after the list
 *      request has returned its status)
 *   4  raw reply progress: ProtDigScopeProgress, length 8; the first once
 *      the reply's 6 header bytes are in, then at most every 250 ms
 *   5  raw result: ProtDigScopeRawResult, length 16; the data belongs to
 *      the library and is freed when the callback returns
 *
 * Threads: events 0 (reasons 2, 3) and 1 come on the library's handler
 * thread, events 2 to 5 on the channel's pipe thread, event 0 with reason 1
 * on the thread that unregisters. Callbacks run with library locks held:
 * they must not register, unregister, or make a request on the same handle.
 * Requests on one handle from several threads run one after the other.
 * A null callback means no events.
 *
 * Misuse stops the process with an assertion: a hardware id length other
 * than 16 ("sizeof(inhwid.id) == _hwidsz"), a call while nothing is
 * registered ("ch"), a null handle ("handle"). */
#ifndef SCOPEPROTO_SCOPEPROTO_H
#define SCOPEPROTO_SCOPEPROTO_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(SCOPEPROTO_BUILD)
#    define SCOPEPROTO_API __declspec(dllexport)
#  else
#    define SCOPEPROTO_API __declspec(dllimport)
#  endif
#else
#  define SCOPEPROTO_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

enum {
  PROT_DIGSCOPE_EVENT_DOWN = 0,
  PROT_DIGSCOPE_EVENT_UP = 1,
  PROT_DIGSCOPE_EVENT_STATUS = 2,
  PROT_DIGSCOPE_EVENT_CHANNELS = 3,
  PROT_DIGSCOPE_EVENT_PROGRESS = 4,
  PROT_DIGSCOPE_EVENT_RAW = 5
};

#define PROT_DIGSCOPE_BROKEN_LINK 1024
#define PROT_DIGSCOPE_MAX_CHANNELS 256

typedef uint16_t ScopeResult;

typedef struct ProtDigScopeCapabilities {
  uint8_t maxChannels;
  uint8_t maxTriggers;
  uint8_t baseSampleSize;
  uint8_t padding;
  float timeBase; /* the 4 bytes as sent */
  uint32_t bufferSize;
} ProtDigScopeCapabilities;

typedef struct ProtDigScopeChannelEntry {
  uint16_t parameterIndex;
  uint8_t padding[2];
  float time;
} ProtDigScopeChannelEntry;

/* Event 3. maxCaptureTime is 0 when the reply held only its status. */
typedef struct ProtDigScopeChannelList {
  float maxCaptureTime;
  uint8_t count;
  uint8_t padding[3];
  ProtDigScopeChannelEntry entries[PROT_DIGSCOPE_MAX_CHANNELS];
} ProtDigScopeChannelList;

/* Event 2. state: 0 empty, 1 armed, 2 running, 3 valid. */
typedef struct ProtDigScopeStatus {
  uint32_t state;
  float fill;
} ProtDigScopeStatus;

/* Event 4: received counts the reply's bytes so far, its header included;
 * total is the reply's size field. */
typedef struct ProtDigScopeProgress {
  uint32_t received;
  uint32_t total;
} ProtDigScopeProgress;

/* Event 5: data is null when status is not 0. */
typedef struct ProtDigScopeRawResult {
  uint32_t status;
  uint32_t size;
  const uint8_t* data;
} ProtDigScopeRawResult;

typedef struct DigScopeCmdProc* ProtDigScopeHandle;
typedef void (*ProtDigScopeCallback)(ProtDigScopeHandle handle, uint64_t event, const void* data,
                                     uint64_t length);

/* Never null; the channel comes up later (event 1). */
SCOPEPROTO_API ProtDigScopeHandle ProtDigScopeRegister(const uint8_t* hwid, size_t hwidsz,
                                                       ProtDigScopeCallback callback);
SCOPEPROTO_API void ProtDigScopeUnRegister(ProtDigScopeHandle handle);

SCOPEPROTO_API bool ProtDigScopeGetSignature(ProtDigScopeHandle handle, uint8_t out[16]);
/* The record is written from the reply even when its length proves wrong. */
SCOPEPROTO_API ScopeResult ProtDigScopeGetCapabilities(ProtDigScopeHandle handle,
                                                       ProtDigScopeCapabilities* capabilities);
SCOPEPROTO_API ScopeResult ProtDigScopeAddChannel(ProtDigScopeHandle handle, int parameterIndex,
                                                  float samplePeriod);
SCOPEPROTO_API ScopeResult ProtDigScopeModifyChannel(ProtDigScopeHandle handle, int parameterIndex,
                                                     float samplePeriod);
SCOPEPROTO_API ScopeResult ProtDigScopeRemoveChannel(ProtDigScopeHandle handle, int parameterIndex);
/* kind and the threshold bytes go to the device unchanged. */
SCOPEPROTO_API ScopeResult ProtDigScopeAddTrigger(ProtDigScopeHandle handle, int parameterIndex,
                                                  int kind, const char* threshold, size_t length);
SCOPEPROTO_API ScopeResult ProtDigScopeModifyTrigger(ProtDigScopeHandle handle, int parameterIndex,
                                                     int kind, const char* threshold,
                                                     size_t length);
SCOPEPROTO_API ScopeResult ProtDigScopeRemoveTrigger(ProtDigScopeHandle handle, int triggerIndex);
SCOPEPROTO_API ScopeResult ProtDigScopeSetParameters(ProtDigScopeHandle handle, int mode,
                                                     float captureTime, float preTriggerTime);
SCOPEPROTO_API ScopeResult ProtDigScopeArm(ProtDigScopeHandle handle);
SCOPEPROTO_API ScopeResult ProtDigScopeCancel(ProtDigScopeHandle handle);
/* The data comes as event 5 (progress as event 4). */
SCOPEPROTO_API ScopeResult ProtDigScopeReqRawConfiguration(ProtDigScopeHandle handle);
SCOPEPROTO_API ScopeResult ProtDigScopeReqRawData(ProtDigScopeHandle handle);

#ifdef __cplusplus
}  /* extern "C" */
static_assert(sizeof(ProtDigScopeCapabilities) == 12 &&
              offsetof(ProtDigScopeCapabilities, timeBase) == 4 &&
              offsetof(ProtDigScopeCapabilities, bufferSize) == 8);
static_assert(sizeof(ProtDigScopeChannelEntry) == 8 && offsetof(ProtDigScopeChannelEntry, time) == 4);
static_assert(sizeof(ProtDigScopeChannelList) == 2056 &&
              offsetof(ProtDigScopeChannelList, count) == 4 &&
              offsetof(ProtDigScopeChannelList, entries) == 8);
static_assert(sizeof(ProtDigScopeStatus) == 8 && offsetof(ProtDigScopeStatus, fill) == 4);
static_assert(sizeof(ProtDigScopeProgress) == 8);
static_assert(sizeof(ProtDigScopeRawResult) == 16 && offsetof(ProtDigScopeRawResult, data) == 8);
#endif

#endif
