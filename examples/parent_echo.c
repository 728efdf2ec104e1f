/*
 * parent_echo: answers every packet that the parent daemon addresses to it
 * with a packet of its own. Written in plain C.
 *
 * Shows: how a parent packet reaches a plugin (IOCTL with IOCTL_IPC_PACKET on
 * the core's I/O thread), and how a plugin sends a packet up with
 * EVENT_TO_PARENT: the buffer is allocated with malloc and belongs to the
 * core from the moment it is raised, whatever the result.
 *
 * Addressing: the parent selects a plugin by bits 31-20 of the packet's
 * target word, compared with bits 27-16 of the plugin's ID. For the ID
 * 0x00230000 that is target 0x023xxxxx.
 *
 * Packet layout (16-byte header, host byte order): length (header included),
 * target, type, one word for the parent and this plugin; then the payload.
 * The answer keeps the request's header words, sets the type to
 * ECHO_ANSWER_TYPE and carries the request's payload back.
 */
#include <stdlib.h>
#include <string.h>

#include "pluginhost/plugin.h"

#define PARENT_ECHO_ID   0x00230000u
#define PACKET_HEADER    16u
#define ECHO_ANSWER_TYPE 0x45u /* agreed with the parent; not 7 or 8 */

/* Set by Load, read-only afterwards. */
static PluginEventFunction g_raise;

static uint32_t ReadWord(const unsigned char* p)
{
    uint32_t word;
    /* The packet starts aligned as malloc aligns, so the header could be
     * read through a uint32_t*; memcpy also serves a word at any offset of a
     * payload. */
    memcpy(&word, p, sizeof word);
    return word;
}

static void WriteWord(unsigned char* p, uint32_t word)
{
    memcpy(p, &word, sizeof word);
}

/* Called on the I/O thread: keep it short, every other completion of the
 * core (timer ticks, other packets, sends) waits for it. */
static int32_t AnswerPacket(const _IoctlParmsIn* in, _IoctlParmsOut* out)
{
    const unsigned char* packet = (const unsigned char*)in->data;
    unsigned char* answer;
    _EventParmsIn event;
    _EventParmsOut raised = { sizeof raised, 1, 0 };

    if (packet == NULL || in->dataLength < PACKET_HEADER ||
        ReadWord(packet) != in->dataLength) {
        out->error = 1; /* logged by the core at level 0 */
        return 0;
    }

    /* The packet is valid only during this call: copy what is needed now. */
    answer = (unsigned char*)malloc(in->dataLength);
    if (answer == NULL) {
        out->error = 2;
        return 0;
    }
    memcpy(answer, packet, in->dataLength);
    WriteWord(answer + 8, ECHO_ANSWER_TYPE);

    memset(&event, 0, sizeof event);
    event.size = sizeof event;
    event.version = 1;
    event.eventType = EVENT_TO_PARENT;
    event.data = answer;
    event.dataLength = in->dataLength;
    event.sourceId = PARENT_ECHO_ID;
    g_raise(&event, &raised);
    /* From here on the core owns `answer`: it frees it after sending, or at
     * once when the link to the parent is closed (result EVENT_REFUSED). */
    return raised.result == EVENT_OK ? 0 : 3;
}

int32_t Load(void* request, void* result)
{
    const _LoadParmsIn* in = (const _LoadParmsIn*)request;
    _LoadParmsOut* out = (_LoadParmsOut*)result;
    g_raise = in->raiseEvent;
    out->id = PARENT_ECHO_ID; /* no masks, no threads, no writes */
    return 0;
}

int32_t IOCTL(void* request, void* result)
{
    const _IoctlParmsIn* in = (const _IoctlParmsIn*)request;
    _IoctlParmsOut* out = (_IoctlParmsOut*)result;
    if (in->code == IOCTL_IPC_PACKET)
        return AnswerPacket(in, out);
    return 0; /* configuration updates: ignored */
}

/* Nothing to do in the other entries. */
int32_t Unload(void* request, void* result) { (void)request; (void)result; return 0; }
int32_t Open(void* request, void* result)   { (void)request; (void)result; return 0; }
int32_t Close(void* request, void* result)  { (void)request; (void)result; return 0; }
int32_t Read(void* request, void* result)   { (void)request; (void)result; return 0; }
int32_t Write(void* request, void* result)  { (void)request; (void)result; return 0; }
int32_t Seek(void* request, void* result)   { (void)request; (void)result; return 0; }
