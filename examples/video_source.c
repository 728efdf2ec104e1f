/*
 * video_source: produces video frame events on the worker thread that the
 * core lends it, until the core closes it. Written in plain C.
 *
 * Shows: asking for a worker thread (wantsWorker), running on it inside
 * IOCTL(IOCTL_RUN_WORKER), raising queued class-1 video events with the
 * raiseEvent function handed to Load, reacting to EVENT_THROTTLED, and
 * returning from the worker call once Close has been called: the core waits
 * for the worker thread before it calls Unload.
 *
 * Threads: Load, Open, Close and Unload run on the core's main thread. The
 * worker's IOCTL call starts right after Load, before Open. IOCTL is also
 * called on the main thread (configuration updates) and on the I/O thread
 * (packets from the parent), possibly at the same time as the worker.
 */
#define _POSIX_C_SOURCE 200809L /* clock_gettime, pthread_condattr_setclock */

#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include "example_video.h"
#include "pluginhost/plugin.h"

#define VIDEO_SOURCE_ID   0x00210000u
#define FRAME_INTERVAL_NS 40000000L /* 25 frames per second */

/* Set by Load before the worker starts, read-only afterwards. */
static PluginEventFunction g_raise;

/* Close tells the worker to stop through g_closing, guarded by g_lock;
 * g_wake (on the monotonic clock, so a change of the system time does not
 * stretch a wait) wakes it at once instead of at the next frame. */
static pthread_mutex_t g_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t g_wake;
static int g_closing;

/* Raises a log event; the core prints it and passes it on to plugins whose
 * mask 7 covers the key. */
static void LogLine(uint32_t level, const char* text)
{
    _EventParmsIn in;
    _EventParmsOut out = { sizeof out, 1, 0 };
    memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.dataLength = (uint32_t)strlen(text) + 1; /* counts the terminating zero */
    in.data = (void*)text;
    in.sourceId = VIDEO_SOURCE_ID;
    in.eventType = EVENT_LOG;
    in.eventFlags = EVENT_FLAG_TEXT;
    in.level = level;
    g_raise(&in, &out);
}

/* Raises one frame. The event is queued (non-zero sourceId): the core copies
 * the data before FlatPluginEvent returns, so a stack buffer is fine. */
static int32_t RaiseFrame(uint32_t sequence)
{
    ExampleFrame frame;
    _EventParmsIn in;
    _EventParmsOut out = { sizeof out, 1, 0 };
    frame.sequence = sequence;
    frame.width = 1920;
    frame.height = 1080;
    memset(&in, 0, sizeof in);
    in.size = sizeof in;
    in.version = 1;
    in.dataLength = sizeof frame;
    in.data = &frame;
    in.sourceId = VIDEO_SOURCE_ID;
    in.eventType = EXAMPLE_FRAME_TYPE;
    in.eventFlags = EXAMPLE_FRAME_FLAGS;
    g_raise(&in, &out);
    return out.result;
}

static void AddNanoseconds(struct timespec* t, long ns)
{
    t->tv_nsec += ns;
    while (t->tv_nsec >= 1000000000L) {
        t->tv_nsec -= 1000000000L;
        t->tv_sec++;
    }
}

/* The worker thread's one call. Returns once Close has set g_closing. */
static void RunWorker(void)
{
    uint32_t sent = 0, throttled = 0, refused = 0;
    char summary[128];
    struct timespec next;
    clock_gettime(CLOCK_MONOTONIC, &next);

    pthread_mutex_lock(&g_lock);
    while (!g_closing) {
        int32_t result;
        pthread_mutex_unlock(&g_lock); /* never raise while holding our lock */
        result = RaiseFrame(sent + throttled + refused);
        if (result == EVENT_OK)
            sent++;
        else if (result == EVENT_THROTTLED)
            throttled++; /* memory is short: this frame is dropped */
        else
            refused++;   /* the core is stopping; Close follows */
        AddNanoseconds(&next, FRAME_INTERVAL_NS);
        pthread_mutex_lock(&g_lock);
        while (!g_closing && pthread_cond_timedwait(&g_wake, &g_lock, &next) == 0) {
        }
    }
    pthread_mutex_unlock(&g_lock);

    snprintf(summary, sizeof summary, "video_source: %u frames sent, %u throttled, %u refused",
             (unsigned)sent, (unsigned)throttled, (unsigned)refused);
    LogLine(25, summary);
}

int32_t Load(void* request, void* result)
{
    const _LoadParmsIn* in = (const _LoadParmsIn*)request;
    _LoadParmsOut* out = (_LoadParmsOut*)result;
    pthread_condattr_t attr;

    g_raise = in->raiseEvent;
    g_closing = 0;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&g_wake, &attr);
    pthread_condattr_destroy(&attr);

    out->id = VIDEO_SOURCE_ID;
    out->wantsWorker = 1; /* everything else stays zero: no reader, no writes */
    return 0;
}

int32_t Unload(void* request, void* result)
{
    (void)request;
    (void)result;
    /* The worker has ended: the core joins it before calling Unload. */
    pthread_cond_destroy(&g_wake);
    return 0;
}

int32_t Open(void* request, void* result)
{
    (void)request;
    (void)result;
    return 0;
}

int32_t Close(void* request, void* result)
{
    (void)request;
    (void)result;
    pthread_mutex_lock(&g_lock);
    g_closing = 1;
    pthread_cond_signal(&g_wake);
    pthread_mutex_unlock(&g_lock);
    return 0;
}

int32_t IOCTL(void* request, void* result)
{
    const _IoctlParmsIn* in = (const _IoctlParmsIn*)request;
    (void)result;
    if (in->code == IOCTL_RUN_WORKER)
        RunWorker();
    /* Configuration updates and parent packets are of no interest here;
     * leaving retain at 0 lets the core free their data. */
    return 0;
}

/* Not used by this plugin: without wantsReader and acceptsWrites the core
 * never calls Read or Write, and it never calls Seek. */
int32_t Read(void* request, void* result)
{
    (void)request;
    (void)result;
    return 0;
}

int32_t Write(void* request, void* result)
{
    (void)request;
    (void)result;
    return 0;
}

int32_t Seek(void* request, void* result)
{
    (void)request;
    (void)result;
    return 0;
}
