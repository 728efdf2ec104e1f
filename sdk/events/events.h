/*
 * Event records and codes shared by the core and its plugins.
 *
 * An event is the one form of message between plugins and the core. The raiser
 * fills an _EventParmsIn and an _EventParmsOut and calls FlatPluginEvent (whose
 * address every plugin receives in _LoadParmsIn.raiseEvent). Events reach
 * plugins through their Read, Write and IOCTL entries with the call records
 * below.
 *
 * DESIGN: these layouts are a binary contract with separately built plugins.
 * They are frozen for the 32-bit little-endian target (4-byte words and
 * pointers, no padding); the static assertions at the end pin every offset
 * there. A 64-bit build keeps the field order with natural alignment and
 * 8-byte pointers, and every fixed-size area keeps its length. Every record
 * starts with its own size as built and a layout version.
 *
 * Plain C, so that plugins written in C can include it as well.
 */
#ifndef DVRCORE_EVENTS_EVENTS_H
#define DVRCORE_EVENTS_EVENTS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Event types ------------------------------------------------------- */

/* Special values, compared with the whole eventType word. */
enum {
    EVENT_RELEASE   = 0x200,  /* sourceId gives up its hold on data */
    EVENT_CANCEL    = 0x1000, /* with sourceId 0: correlationId is cancelled */
    EVENT_TO_PARENT = 0x2000  /* data is a whole packet for the parent daemon */
};

/* Delivery-class bits; class i is matched against eventMasks[i - 1]. */
enum {
    EVENT_CLASS1 = 0x1,  /* queued class-1 events with flag bit 24 are video */
    EVENT_CLASS2 = 0x2,
    EVENT_CLASS3 = 0x4,  /* the core's memory-state document */
    EVENT_CLASS4 = 0x8,
    EVENT_CLASS5 = 0x10,
    EVENT_CLASS6 = 0x20,
    EVENT_LOG    = 0x40, /* class 7 */
    EVENT_CLASS8 = 0x80,
    EVENT_CLASS9 = 0x400 /* bit 0x400, not 0x100 */
};

/* Queued events only: every plugin except the source gets the data through
 * IOCTL with IOCTL_UPDATE_CONFIG. May be combined with class bits. */
enum { EVENT_CONFIG = 0x100 };

#define EVENT_CLASS_COUNT 9

/* ---- Event flags that the core reads or sets ---------------------------- */

enum {
    EVENT_FLAG_TEXT = 0x2,        /* data is zero-terminated text, counted in dataLength */
    EVENT_FLAG_XML  = 0x10,       /* data is an XML document (core documents: no zero) */
    EVENT_FLAG_CORE = 0x01000000  /* raised by the core; on queued class 1: video */
};

/* Flags of the core's own events. */
#define EVENT_FLAGS_CORE_LOG 0x01000002u
#define EVENT_FLAGS_CORE_XML 0x01000010u

/* ---- Result codes written to _EventParmsOut.result ---------------------- */

enum {
    EVENT_OK        = 0,
    EVENT_REFUSED   = 1,
    EVENT_THROTTLED = 5,
    EVENT_NO_MEMORY = -1
};

/* ---- IOCTL request codes sent by the core ------------------------------- */

enum {
    IOCTL_RUN_WORKER    = 1, /* worker thread; no data */
    IOCTL_UPDATE_CONFIG = 2, /* main loop, for EVENT_CONFIG; the event's data */
    IOCTL_IPC_PACKET    = 4  /* parent link; one packet from the parent daemon */
};

/* Payload size written into _IoctlParmsIn.payloadSize (a value of the
 * protocol, not a sizeof). */
#define IOCTL_PAYLOAD_SIZE_DATA   16u
#define IOCTL_PAYLOAD_SIZE_WORKER 8u

/* Number of event-specific bytes carried unchanged from an event into a write. */
#define EVENT_SPECIFIC_BYTES 152

/* ---- Records ------------------------------------------------------------ */

/* The event as raised. Filled entirely by the raiser and never modified by the
 * dispatch; read only during the call (a queued event is copied whole). */
typedef struct _EventParmsIn {
    uint32_t size;          /* sizeof(_EventParmsIn): 184 on the target */
    uint32_t version;       /* 1 */
    uint32_t dataLength;    /* bytes at data; 0 when there is none */
    void*    data;          /* raiser's buffer; for EVENT_TO_PARENT it passes to the
                               core, which frees it with free() */
    uint32_t sourceId;      /* raiser's ID; 0 selects immediate delivery */
    uint32_t correlationId; /* ties answers to a request; 0 = none */
    uint32_t eventType;     /* class bits or one special value */
    uint32_t eventFlags;    /* source of the delivery key */
    /* 152 event-specific bytes, carried unchanged into _WriteParmsIn. Only
     * level has a meaning to the core; the rest is agreed among plugins. */
    uint32_t specific0;
    uint32_t specific1;
    uint32_t level;         /* log level of a log event: 0, 25, 50, 100 */
    uint8_t  specific[140];
} _EventParmsIn;

typedef struct _EventParmsOut {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    int32_t  result;  /* EVENT_OK, EVENT_REFUSED, EVENT_THROTTLED, EVENT_NO_MEMORY */
} _EventParmsOut;

/* Read: reader thread (no data) and event threads (immediate events). */
typedef struct _ReadParmsIn {
    uint32_t size;          /* sizeof(_ReadParmsIn): 28 on the target */
    uint32_t version;       /* 1 */
    uint32_t reserved0;     /* 0 */
    uint8_t  reserved1;     /* 1 */
    uint8_t  reserved2[3];  /* 0 */
    uint32_t dataLength;    /* length of the delivered data; 0 exactly when
                               data is null (the reader thread's call, an
                               event raised without data) */
    void*    data;          /* the core's copy, valid until Read returns */
    uint32_t correlationId; /* the event's correlationId */
} _ReadParmsIn;

typedef struct _ReadParmsOut {
    uint32_t size;        /* 20 */
    uint32_t version;     /* 1 */
    uint32_t reserved[3]; /* 0; not read back */
} _ReadParmsOut;

/* Write: queued events, delivered by the main loop. */
typedef struct _WriteParmsIn {
    uint32_t size;          /* sizeof(_WriteParmsIn): 192 on the target */
    uint32_t version;       /* 1 */
    uint32_t reserved0;     /* 0 */
    uint8_t  reserved1;     /* 0 */
    uint8_t  reserved2[3];  /* 0 */
    uint32_t dataLength;    /* the event's data length */
    void*    data;          /* the core's shared copy: valid until Write returns,
                               or until EVENT_RELEASE when retain is set */
    uint32_t sourceId;
    uint32_t correlationId;
    uint32_t eventType;
    uint32_t eventFlags;    /* the flags as raised, not the key */
    /* The event's 152 event-specific bytes, unchanged. */
    uint32_t specific0;
    uint32_t specific1;
    uint32_t level;
    uint8_t  specific[140];
} _WriteParmsIn;

typedef struct _WriteParmsOut {
    uint32_t size;        /* 24 */
    uint32_t version;     /* 1 */
    uint32_t reserved[2]; /* 0 */
    int32_t  error;       /* non-zero: reported in the log */
    uint32_t retain;      /* non-zero: the plugin keeps data until EVENT_RELEASE */
} _WriteParmsOut;

/* IOCTL: worker thread, configuration updates, packets from the parent. */
typedef struct _IoctlParmsIn {
    uint32_t size;           /* sizeof(_IoctlParmsIn): 28 on the target */
    uint32_t version;        /* 1 */
    uint32_t code;           /* IOCTL_* */
    uint32_t payloadSize;    /* IOCTL_PAYLOAD_SIZE_DATA or IOCTL_PAYLOAD_SIZE_WORKER */
    uint32_t payloadVersion; /* 1 */
    uint32_t dataLength;
    void*    data;           /* valid until IOCTL returns (config updates: or
                                until EVENT_RELEASE when retain is set) */
} _IoctlParmsIn;

typedef struct _IoctlParmsOut {
    uint32_t size;           /* 28 */
    uint32_t version;        /* 1 */
    uint32_t code;           /* preset to the request's code */
    int32_t  error;          /* non-zero: reported in the log */
    uint32_t retain;         /* config updates: keep data until EVENT_RELEASE */
    uint32_t payloadSize;    /* preset 8 */
    uint32_t payloadVersion; /* preset 1 */
} _IoctlParmsOut;

/* Shape of FlatPluginEvent, the one entry through which events are raised. */
typedef int (*PluginEventFunction)(_EventParmsIn* in, _EventParmsOut* out);

/* Exported by the core executable under this plain name. Always returns 0;
 * the outcome is in out->result. Callable from any thread. */
int FlatPluginEvent(_EventParmsIn* in, _EventParmsOut* out);

/* ---- Delivery keys and matching ----------------------------------------- */

/* Key of an immediate event (sourceId 0): flag bits 24-31 move down one place. */
static inline uint32_t EventImmediateKey(uint32_t eventFlags)
{
    return (eventFlags & 0x00FFFFFFu) | ((eventFlags >> 1) & 0x7F800000u);
}

/* Key of a queued event (sourceId not 0): flag bits 24-30 move up one place,
 * bit 31 is dropped. */
static inline uint32_t EventQueuedKey(uint32_t eventFlags)
{
    return (eventFlags & 0x00FFFFFFu) | ((eventFlags << 1) & 0xFE000000u);
}

/* True when the plugin with these nine masks matches at least one class of
 * eventType: the class bit is set and every key bit is also in that mask. */
static inline int EventMatchesMasks(uint32_t eventType, uint32_t key,
                                    const uint32_t masks[EVENT_CLASS_COUNT])
{
    static const uint32_t classBits[EVENT_CLASS_COUNT] = {
        0x1u, 0x2u, 0x4u, 0x8u, 0x10u, 0x20u, 0x40u, 0x80u, 0x400u
    };
    int i;
    for (i = 0; i < EVENT_CLASS_COUNT; i++) {
        if ((eventType & classBits[i]) && (key & ~masks[i]) == 0)
            return 1;
    }
    return 0;
}

/* ---- Frozen layouts ------------------------------------------------------ */

#ifdef __cplusplus
#define DVRCORE_ABI_ASSERT(cond, msg) static_assert(cond, msg)
#else
#define DVRCORE_ABI_ASSERT(cond, msg) _Static_assert(cond, msg)
#endif

/* Plugins are built separately, often without these headers: the layouts
 * below are what they were written against. */
#if UINTPTR_MAX == 0xffffffffu
DVRCORE_ABI_ASSERT(sizeof(_EventParmsIn) == 184, "_EventParmsIn is 184 bytes");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, dataLength) == 8, "dataLength at 8");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, data) == 12, "data at 12");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, sourceId) == 16, "sourceId at 16");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, correlationId) == 20, "correlationId at 20");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, eventType) == 24, "eventType at 24");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, eventFlags) == 28, "eventFlags at 28");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, specific0) == 32, "specific bytes at 32");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, level) == 40, "level at 40");
DVRCORE_ABI_ASSERT(sizeof(_EventParmsOut) == 12, "_EventParmsOut is 12 bytes");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsOut, result) == 8, "result at 8");
DVRCORE_ABI_ASSERT(sizeof(_ReadParmsIn) == 28, "_ReadParmsIn is 28 bytes");
DVRCORE_ABI_ASSERT(offsetof(_ReadParmsIn, reserved1) == 12, "reserved byte at 12");
DVRCORE_ABI_ASSERT(offsetof(_ReadParmsIn, dataLength) == 16, "dataLength at 16");
DVRCORE_ABI_ASSERT(offsetof(_ReadParmsIn, data) == 20, "data at 20");
DVRCORE_ABI_ASSERT(offsetof(_ReadParmsIn, correlationId) == 24, "correlationId at 24");
DVRCORE_ABI_ASSERT(sizeof(_ReadParmsOut) == 20, "_ReadParmsOut is 20 bytes");
DVRCORE_ABI_ASSERT(sizeof(_WriteParmsIn) == 192, "_WriteParmsIn is 192 bytes");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, dataLength) == 16, "dataLength at 16");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, data) == 20, "data at 20");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, sourceId) == 24, "sourceId at 24");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, correlationId) == 28, "correlationId at 28");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, eventType) == 32, "eventType at 32");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, eventFlags) == 36, "eventFlags at 36");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, specific0) == 40, "specific bytes at 40");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, level) == 48, "level at 48");
DVRCORE_ABI_ASSERT(sizeof(_WriteParmsOut) == 24, "_WriteParmsOut is 24 bytes");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsOut, error) == 16, "error at 16");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsOut, retain) == 20, "retain at 20");
DVRCORE_ABI_ASSERT(sizeof(_IoctlParmsIn) == 28, "_IoctlParmsIn is 28 bytes");
DVRCORE_ABI_ASSERT(offsetof(_IoctlParmsIn, code) == 8, "code at 8");
DVRCORE_ABI_ASSERT(offsetof(_IoctlParmsIn, dataLength) == 20, "dataLength at 20");
DVRCORE_ABI_ASSERT(offsetof(_IoctlParmsIn, data) == 24, "data at 24");
DVRCORE_ABI_ASSERT(sizeof(_IoctlParmsOut) == 28, "_IoctlParmsOut is 28 bytes");
DVRCORE_ABI_ASSERT(offsetof(_IoctlParmsOut, error) == 12, "error at 12");
DVRCORE_ABI_ASSERT(offsetof(_IoctlParmsOut, retain) == 16, "retain at 16");
DVRCORE_ABI_ASSERT(offsetof(_IoctlParmsOut, payloadSize) == 20, "payload size at 20");
#elif UINTPTR_MAX == 0xffffffffffffffffu
/* The same order with natural alignment: each pointer is preceded by padding
 * to 8 bytes, and the 152 event-specific bytes follow eventFlags. */
DVRCORE_ABI_ASSERT(sizeof(_EventParmsIn) == 192, "_EventParmsIn is 192 bytes");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, data) == 16, "data at 16");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, sourceId) == 24, "sourceId at 24");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, specific0) == 40, "specific bytes at 40");
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, level) == 48, "level at 48");
DVRCORE_ABI_ASSERT(sizeof(_ReadParmsIn) == 40, "_ReadParmsIn is 40 bytes");
DVRCORE_ABI_ASSERT(offsetof(_ReadParmsIn, data) == 24, "data at 24");
DVRCORE_ABI_ASSERT(offsetof(_ReadParmsIn, correlationId) == 32, "correlationId at 32");
DVRCORE_ABI_ASSERT(sizeof(_WriteParmsIn) == 200, "_WriteParmsIn is 200 bytes");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, data) == 24, "data at 24");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, sourceId) == 32, "sourceId at 32");
DVRCORE_ABI_ASSERT(offsetof(_WriteParmsIn, specific0) == 48, "specific bytes at 48");
DVRCORE_ABI_ASSERT(sizeof(_IoctlParmsIn) == 32, "_IoctlParmsIn is 32 bytes");
DVRCORE_ABI_ASSERT(offsetof(_IoctlParmsIn, data) == 24, "data at 24");
DVRCORE_ABI_ASSERT(sizeof(_IoctlParmsOut) == 28, "_IoctlParmsOut is 28 bytes");
#endif
DVRCORE_ABI_ASSERT(offsetof(_EventParmsIn, level) - offsetof(_EventParmsIn, specific0) == 8,
                   "level sits 8 bytes into the event-specific bytes");
DVRCORE_ABI_ASSERT(sizeof(_EventParmsIn) - offsetof(_EventParmsIn, specific0) ==
                       EVENT_SPECIFIC_BYTES,
                   "152 event-specific bytes end the event record");
DVRCORE_ABI_ASSERT(sizeof(_WriteParmsIn) - offsetof(_WriteParmsIn, specific0) ==
                       EVENT_SPECIFIC_BYTES,
                   "152 event-specific bytes end the write record");

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DVRCORE_EVENTS_EVENTS_H */
