// frame_recorder: accepts queued events through Write and records them: it
// counts video frames and log lines and prints a summary through the core's
// Log when it is closed.
//
// Shows: acceptsWrites with event masks built from queued delivery keys,
// reading a _WriteParmsIn, keeping one delivered buffer past the Write call
// with `retain` and handing it back with EVENT_RELEASE, and calling the
// core's virtual operations (Log, now) through the dvrcore pointer that Load
// receives.
//
// Threads: Write is called only by the core's main loop, and Load, Close and
// Unload run on the main thread too, so the counters below need no lock.
// IOCTL may run on the I/O thread (parent packets) and touches none of them.
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "core/dvrcore.h"
#include "example_video.h"
#include "pluginhost/plugin.h"

namespace {

constexpr uint32_t kRecorderId = 0x00220000;

// Queued key of a log event that carries text (flags EVENT_FLAG_TEXT, or the
// core's own 0x01000002): 0x00000002 or 0x02000002; the mask covers both.
constexpr uint32_t kLogKeys = 0x02000002;

// Set by Load, valid until Unload returns.
dvrcore* g_core = nullptr;
PluginEventFunction g_raise = nullptr;

// Main thread only (Write, Close).
uint32_t g_frames = 0;
uint64_t g_frameBytes = 0;
uint32_t g_logLines = 0;
// The first frame's buffer, kept with `retain` until Close hands it back.
const ExampleFrame* g_firstFrame = nullptr;
std::chrono::steady_clock::time_point g_openedAt;

void ReleaseFirstFrame() {
  if (g_firstFrame == nullptr) return;
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.eventType = EVENT_RELEASE;
  in.data = const_cast<ExampleFrame*>(g_firstFrame);
  in.sourceId = kRecorderId;  // the holder that lets go
  _EventParmsOut out{sizeof out, 1, 0};
  g_raise(&in, &out);
  g_firstFrame = nullptr;  // the core may free it now: never touch it again
}

}  // namespace

extern "C" {

int32_t Load(void* request, void* result) {
  auto* in = static_cast<const _LoadParmsIn*>(request);
  auto* out = static_cast<_LoadParmsOut*>(result);
  g_core = in->core;
  g_raise = in->raiseEvent;

  out->id = kRecorderId;
  out->eventMasks[0] = EXAMPLE_FRAME_KEY;  // mask 1: video frames of video_source
  out->eventMasks[6] = kLogKeys;           // mask 7: log lines
  out->acceptsWrites = 1;
  return 0;
}

int32_t Open(void*, void*) {
  g_openedAt = g_core->now();
  return 0;
}

int32_t Write(void* request, void* result) {
  auto* in = static_cast<const _WriteParmsIn*>(request);
  auto* out = static_cast<_WriteParmsOut*>(result);

  if ((in->eventType & EXAMPLE_FRAME_TYPE) && in->data != nullptr &&
      in->dataLength >= sizeof(ExampleFrame)) {
    g_frames++;
    g_frameBytes += in->dataLength;
    if (g_firstFrame == nullptr) {
      // Keep this buffer after returning. Without retain the core may free
      // it as soon as Write returns.
      g_firstFrame = static_cast<const ExampleFrame*>(in->data);
      out->retain = 1;
      char text[96];
      std::snprintf(text, sizeof text, "frame_recorder: keeping frame #%" PRIu32,
                    g_firstFrame->sequence);
      g_core->Log(kRecorderId, 25, text);
    }
  } else if (in->eventType & EVENT_LOG) {
    g_logLines++;
  }
  return 0;  // out->error stays 0: nothing to report
}

int32_t Close(void*, void*) {
  long long openMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                         g_core->now() - g_openedAt).count();
  char text[160];
  if (g_firstFrame != nullptr) {
    // Still valid: this plugin's hold kept the core from freeing it.
    std::snprintf(text, sizeof text,
                  "frame_recorder: %" PRIu32 " frames (%" PRIu64 " bytes, first #%" PRIu32
                  "), %" PRIu32 " log lines in %lld ms",
                  g_frames, g_frameBytes, g_firstFrame->sequence, g_logLines, openMs);
  } else {
    std::snprintf(text, sizeof text,
                  "frame_recorder: 0 frames, %" PRIu32 " log lines in %lld ms", g_logLines,
                  openMs);
  }
  ReleaseFirstFrame();
  // Log prints at once without dispatching the line to other plugins.
  g_core->Log(kRecorderId, 25, text);
  return 0;
}

int32_t Unload(void*, void*) {
  // A hold that Close did not return (Close was never called) is handed back
  // here; the core would otherwise report the buffer as leaked.
  ReleaseFirstFrame();
  return 0;
}

// Not used: no worker, no reader; configuration updates and parent packets
// arrive here and are ignored (retain 0 lets the core free their data).
int32_t IOCTL(void*, void*) { return 0; }
int32_t Read(void*, void*) { return 0; }
int32_t Seek(void*, void*) { return 0; }

}  // extern "C"
