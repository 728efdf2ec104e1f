/*
 * The plugin binary interface: the common entry signature, the records the
 * core passes to Load, Open, Close and Unload, and the plugin's 64-byte
 * self-description returned by Load.
 *
 * A plugin is a shared object that exports, under plain (unmangled) names,
 * Load, Unload, Open, Close, Read, Write, Seek and IOCTL, each of type
 * PluginEntry. Both records of a call belong to the core and live only for the
 * duration of the call. A return value of 0 means success.
 *
 * DESIGN: frozen layouts, as in events/events.h: exact offsets on the 32-bit
 * target, the same order with natural alignment on 64-bit builds.
 */
#ifndef DVRCORE_PLUGINHOST_PLUGIN_H
#define DVRCORE_PLUGINHOST_PLUGIN_H

#include "events/events.h"

#ifdef __cplusplus
class dvrcore;
extern "C" {
#else
typedef struct dvrcore dvrcore;
#endif

/* Signature of all eight exports: request record, result record. */
typedef int32_t (*PluginEntry)(void* request, void* result);

/* Load: the core hands the plugin its two ways back into the core. */
typedef struct _LoadParmsIn {
    uint32_t size;                  /* sizeof(_LoadParmsIn): 16 on the target */
    uint32_t version;               /* 3 */
    dvrcore* core;                  /* the core object; valid until Unload returns */
    PluginEventFunction raiseEvent; /* FlatPluginEvent */
} _LoadParmsIn;

/* The plugin's self-description, filled by Load. No pointers: 64 bytes on
 * every build. */
typedef struct _LoadParmsOut {
    uint32_t size;          /* 64, set by the core */
    uint32_t version;       /* 1, set by the core */
    uint32_t id;            /* the plugin's ID; unique, never 0x80000000 */
    uint32_t eventMasks[9]; /* masks of classes 1 to 9; mask 6 also orders closing */
    uint32_t reserved0;
    uint8_t  wantsWorker;   /* non-zero: a worker thread calls IOCTL(IOCTL_RUN_WORKER) */
    uint8_t  reserved1;
    uint8_t  wantsReader;   /* non-zero: a reader thread calls Read; immediate events */
    uint8_t  acceptsWrites; /* non-zero: queued events arrive through Write */
    uint32_t reserved2;
    int32_t  error;         /* non-zero: the plugin refuses to load */
} _LoadParmsOut;

typedef struct _OpenParmsIn {
    uint32_t size;        /* 20 */
    uint32_t version;     /* 1 */
    uint32_t reserved[3]; /* 0 */
} _OpenParmsIn;

typedef struct _OpenParmsOut {
    uint32_t size;        /* 16 */
    uint32_t version;     /* 1 */
    uint32_t reserved[2]; /* 0 */
} _OpenParmsOut;

typedef struct _CloseParmsIn {
    uint32_t size;     /* 12 */
    uint32_t version;  /* 1 */
    uint32_t reserved; /* 0 */
} _CloseParmsIn;

typedef struct _CloseParmsOut {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    int32_t  error;
} _CloseParmsOut;

typedef struct _UnloadParmsIn {
    uint32_t size;    /* 8 */
    uint32_t version; /* 1 */
} _UnloadParmsIn;

typedef struct _UnloadParmsOut {
    uint32_t size;    /* 12 */
    uint32_t version; /* 1 */
    int32_t  error;
} _UnloadParmsOut;

/* IDs with a meaning to the core. */
#define PLUGIN_ID_CORE        0x80000000u /* taken by the core itself */
#define PLUGIN_ID_FIRST       0x00060000u /* placed at the front of the table */
#define PLUGIN_ID_NEVER_UNMAP 0x00470000u /* stays mapped after Unload */

#if UINTPTR_MAX == 0xffffffffu
DVRCORE_ABI_ASSERT(sizeof(_LoadParmsIn) == 16, "_LoadParmsIn is 16 bytes");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsIn, core) == 8, "core at 8");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsIn, raiseEvent) == 12, "raiseEvent at 12");
#elif UINTPTR_MAX == 0xffffffffffffffffu
DVRCORE_ABI_ASSERT(sizeof(_LoadParmsIn) == 24, "_LoadParmsIn is 24 bytes");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsIn, raiseEvent) == 16, "raiseEvent at 16");
#endif
DVRCORE_ABI_ASSERT(sizeof(_LoadParmsOut) == 64, "_LoadParmsOut is 64 bytes");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsOut, id) == 8, "id at 8");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsOut, eventMasks) == 12, "masks at 12");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsOut, eventMasks[5]) == 32, "mask 6 at 32");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsOut, wantsWorker) == 52, "wantsWorker at 52");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsOut, wantsReader) == 54, "wantsReader at 54");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsOut, acceptsWrites) == 55, "acceptsWrites at 55");
DVRCORE_ABI_ASSERT(offsetof(_LoadParmsOut, error) == 60, "error at 60");
DVRCORE_ABI_ASSERT(sizeof(_OpenParmsIn) == 20, "_OpenParmsIn is 20 bytes");
DVRCORE_ABI_ASSERT(sizeof(_OpenParmsOut) == 16, "_OpenParmsOut is 16 bytes");
DVRCORE_ABI_ASSERT(sizeof(_CloseParmsIn) == 12, "_CloseParmsIn is 12 bytes");
DVRCORE_ABI_ASSERT(sizeof(_CloseParmsOut) == 12, "_CloseParmsOut is 12 bytes");
DVRCORE_ABI_ASSERT(sizeof(_UnloadParmsIn) == 8, "_UnloadParmsIn is 8 bytes");
DVRCORE_ABI_ASSERT(sizeof(_UnloadParmsOut) == 12, "_UnloadParmsOut is 12 bytes");

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* DVRCORE_PLUGINHOST_PLUGIN_H */
