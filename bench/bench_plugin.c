/*
 * bench_plugin.so: the trivial plugin of the benchmarks.
 *
 * The benchmarks copy this one shared object under many names; every copy is
 * a separate library to the loader, with its own state, and takes its
 * configuration from its own file name, "<hex><letters>.so":
 *   <hex>      bits 31-16 of the plugin ID (1 to 7fff), e.g. "0006" for 0x00060000
 *   letters    w: accepts writes, r: wants a reader (immediate events),
 *              n: every event mask 0x00400000, a flag nothing raises, so that it
 *                 matches no event (a mask of 0 would match the flag-less ones,
 *                 and the core says so at load, in a log line that the writers
 *                 would receive)
 * Otherwise every event mask is all ones, so the copy matches every event. A file
 * name cannot be changed between the run of one benchmark and the next, so
 * this costs the loader nothing and needs no extra file (one dladdr in Load).
 *
 * The entries do what the performance floors' sinks do, no more: look at the
 * record and at one byte of the data.
 *   Write   counts the call in BenchWrites (main thread only).
 *   Read    calls BenchReadHook, when the host has set it, with the data.
 *   IOCTL   with an IPC packet: counts it in BenchIpcPackets; when bit 0 of
 *           the packet's target word is set (bits 19-0 are the plugin's own),
 *           raises a malloc'd copy of the packet for the parent: the echo of
 *           a round trip and the acknowledgement of a one-way run.
 * The host finds BenchWrites, BenchIpcPackets and BenchReadHook with dlsym.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "pluginhost/plugin.h"

#define BENCH_ECHO_BIT 0x1u

typedef void (*BenchReadHookFunction)(const void* data, uint32_t dataLength);

/* Exported for the host. */
unsigned long BenchWrites;      /* main thread only */
unsigned long BenchIpcPackets;  /* I/O thread; read by the host with __atomic */
BenchReadHookFunction BenchReadHook; /* set by the host before raising */

static PluginEventFunction g_raise;
static uint32_t g_id;
static volatile uint64_t g_writeSink; /* main thread only */
static volatile uint64_t g_ipcSink;   /* I/O thread only */
static uint64_t g_readSink;           /* event threads, atomic */

int32_t Load(void* request, void* result)
{
    const _LoadParmsIn* in = (const _LoadParmsIn*)request;
    _LoadParmsOut* out = (_LoadParmsOut*)result;
    Dl_info info;
    if (!dladdr((void*)&Load, &info) || info.dli_fname == NULL) {
        out->error = 1;
        return 1;
    }
    const char* name = strrchr(info.dli_fname, '/');
    name = name ? name + 1 : info.dli_fname;
    char* end;
    unsigned long high = strtoul(name, &end, 16);
    if (end == name || high == 0 || high > 0x7FFF) {
        out->error = 2;
        return 2;
    }
    uint32_t mask = 0xFFFFFFFFu;
    for (; *end != '\0' && *end != '.'; end++) {
        if (*end == 'w') out->acceptsWrites = 1;
        if (*end == 'r') out->wantsReader = 1;
        if (*end == 'n') mask = 0x00400000u;
    }
    g_id = (uint32_t)high << 16;
    out->id = g_id;
    for (int i = 0; i < EVENT_CLASS_COUNT; i++) out->eventMasks[i] = mask;
    g_raise = in->raiseEvent;
    return 0;
}

int32_t Unload(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Open(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Close(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Seek(void* request, void* result) { (void)request; (void)result; return 0; }

int32_t Read(void* request, void* result)
{
    const _ReadParmsIn* in = (const _ReadParmsIn*)request;
    (void)result;
    BenchReadHookFunction hook = __atomic_load_n(&BenchReadHook, __ATOMIC_ACQUIRE);
    if (hook != NULL) hook(in->data, in->dataLength);
    if (in->data != NULL && in->dataLength != 0)
        __atomic_fetch_add(&g_readSink, ((const uint8_t*)in->data)[0], __ATOMIC_RELAXED);
    return 0;
}

int32_t Write(void* request, void* result)
{
    const _WriteParmsIn* in = (const _WriteParmsIn*)request;
    (void)result;
    g_writeSink = g_writeSink + in->dataLength + (in->data ? ((const uint8_t*)in->data)[0] : 0);
    BenchWrites++;
    return 0;
}

int32_t IOCTL(void* request, void* result)
{
    const _IoctlParmsIn* in = (const _IoctlParmsIn*)request;
    (void)result;
    if (in->code != IOCTL_IPC_PACKET || in->data == NULL || in->dataLength < 16) return 0;
    const uint8_t* packet = (const uint8_t*)in->data;
    g_ipcSink = g_ipcSink + in->dataLength + packet[16 % in->dataLength];
    __atomic_fetch_add(&BenchIpcPackets, 1, __ATOMIC_RELAXED);

    uint32_t target;
    memcpy(&target, packet + 4, sizeof target);
    if (!(target & BENCH_ECHO_BIT) || g_raise == NULL) return 0;
    void* copy = malloc(in->dataLength);
    if (copy == NULL) return 1;
    memcpy(copy, packet, in->dataLength);
    _EventParmsIn event;
    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.version = 1;
    event.dataLength = in->dataLength;
    event.data = copy; /* passes to the core */
    event.sourceId = g_id;
    event.eventType = EVENT_TO_PARENT;
    _EventParmsOut out = {sizeof out, 1, 0};
    g_raise(&event, &out);
    return 0;
}
