#pragma once
// Location client of the module's GNSS engine (platform library).  The
// function names are the platform's; the record layouts below are ours and
// hold only what the GNSS session uses.
//
// The client owns a thread of its own: event indications (one NMEA sentence
// each) and response indications reach the callbacks on it, one at a time.
// locClientSendReq and locClientClose must not be called from a callback.
//
// Simulation: the engine is the device simulator's GNSS engine, reached over
// the Unix stream socket <root>/var/devsim/gnss.sock.
#include <cstddef>
#include <cstdint>

typedef uint32_t locClientHandleType;  // 0 is never a valid handle
typedef uint64_t locClientEventMaskType;

enum locClientStatusEnumType : uint32_t {
    eLOC_CLIENT_SUCCESS = 0,
    eLOC_CLIENT_FAILURE_GENERAL = 1,
    eLOC_CLIENT_FAILURE_INVALID_PARAMETER = 2,
    eLOC_CLIENT_FAILURE_INVALID_HANDLE = 3,
    eLOC_CLIENT_FAILURE_SERVICE_NOT_PRESENT = 4,  // no engine to talk to
    eLOC_CLIENT_FAILURE_TIMEOUT = 5,              // engine did not answer
    eLOC_CLIENT_FAILURE_ENGINE_BUSY = 6,          // engine refused the request
    eLOC_CLIENT_FAILURE_INTERNAL = 7,
};

// Request and indication ids.
constexpr uint32_t LOC_MSG_START_REQ = 0x22;
constexpr uint32_t LOC_MSG_STOP_REQ = 0x23;
constexpr uint32_t LOC_EVENT_POSITION_REPORT_IND = 0x24;
constexpr uint32_t LOC_EVENT_NMEA_IND = 0x26;

// Event mask bits (locClientOpen, locClientRegisterEventMask).
constexpr locClientEventMaskType LOC_EVENT_MASK_POSITION_REPORT = 1ull << 0;
constexpr locClientEventMaskType LOC_EVENT_MASK_NMEA = 1ull << 2;

// Start request: 108 bytes, filled by offset.  Session id at byte 0 and the
// recurrence (1: periodic fixes) as a 32-bit word at byte 4 are what the
// engine looks at; the rest are the session's tuning words.
constexpr uint32_t LOC_START_REQ_LEN = 108;
constexpr size_t LOC_START_SESSION_ID = 0;
constexpr size_t LOC_START_FIX_RECURRENCE = 4;
// Stop request: the session id, one byte.
constexpr uint32_t LOC_STOP_REQ_LEN = 1;

// NMEA event payload: one sentence, NUL-terminated, at most 200 characters.
struct locEventNmeaIndT {
    char nmea[201];
};

// Response indication payload.  The first word names the request answered,
// so a zero first word means the engine sent nothing usable.
struct locRespIndT {
    uint32_t respIndId;
    int32_t status;  // 0 done, else the engine's error
};

typedef void (*locClientEventIndCbType)(locClientHandleType handle, uint32_t eventIndId,
                                        const void *eventIndPayload, void *pClientCookie);
typedef void (*locClientRespIndCbType)(locClientHandleType handle, uint32_t respIndId,
                                       const void *respIndPayload, uint32_t respIndPayloadSize,
                                       void *pClientCookie);
typedef void (*locClientErrorCbType)(locClientHandleType handle, uint32_t errorId, void *pClientCookie);

// `size` must be sizeof(locClientCallbacksType) (16 on the module).
struct locClientCallbacksType {
    uint32_t size;
    locClientEventIndCbType eventIndCb;
    locClientRespIndCbType respIndCb;
    locClientErrorCbType errorCb;  // may be null
};

// C linkage: the module's libraries are C and export these names unmangled.
extern "C" {
// Connects to the engine and starts the client's thread.  *pHandle is set on
// success.
locClientStatusEnumType locClientOpen(locClientEventMaskType eventRegMask,
                                      const locClientCallbacksType *pLocClientCallbacks,
                                      locClientHandleType *pLocClientHandle, const void *pClientCookie);
// Replaces the event mask.  false for an unknown handle.
bool locClientRegisterEventMask(locClientHandleType handle, locClientEventMaskType eventRegMask);
// Sends a request and waits for the engine to accept or refuse it.
locClientStatusEnumType locClientSendReq(locClientHandleType handle, uint32_t reqId, const void *req,
                                         uint32_t reqLen);
// Stops the client's thread and disconnects; *pLocClientHandle becomes 0.
locClientStatusEnumType locClientClose(locClientHandleType *pLocClientHandle);

// Synchronous-request helper: response callbacks hand every indication here.
void loc_sync_process_ind(locClientHandleType handle, uint32_t indId, const void *indPayload);
// Waits up to timeout_ms for an indication `indId` on `handle` handed to
// loc_sync_process_ind since the last wait for it.  1 seen (its status in
// *status when not null), 0 timed out.
int loc_sync_wait_ind(locClientHandleType handle, uint32_t indId, int timeout_ms, int32_t *status);
}  // extern "C"
