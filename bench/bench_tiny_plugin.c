/*
 * bench_tiny_plugin.so: the smallest plugin, for the loading benchmark.
 *
 * Like the floors' tiny plugin it imports nothing, so that loading it costs
 * the loader no symbol lookups beyond the usual four weak ones, and every
 * entry is trivial. The core refuses a second plugin with an ID it already
 * has, so each copy takes its ID from the page the loader mapped it at: the
 * copies lie within a few megabytes of each other, far less than the
 * 0x7E00 pages after which two of them could meet. A clash would show as a
 * plugin missing from the table, which the benchmark checks.
 */
#include <stdint.h>

#include "pluginhost/plugin.h"

static char g_anchor; /* addressed without a relocation */

int32_t Load(void* request, void* result)
{
    _LoadParmsOut* out = (_LoadParmsOut*)result;
    (void)request;
    const uint32_t page = (uint32_t)((uintptr_t)&g_anchor >> 12);
    /* 0x0100 to 0x7EFF in bits 31-16: never 0, the core's ID or one that
     * the core treats specially */
    out->id = (0x0100u + page % 0x7E00u) << 16;
    return 0;
}

int32_t Unload(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Open(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Close(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Read(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Write(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Seek(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t IOCTL(void* request, void* result) { (void)request; (void)result; return 0; }
