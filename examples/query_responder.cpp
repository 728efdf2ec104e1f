// query_responder: a reader plugin that answers queries raised as immediate
// events, from inside its Read, with queued answers carrying the query's
// correlation ID.
//
// The exchange, as agreed between this plugin and whoever asks:
//   query:  immediate (sourceId 0), class 2, flags kQueryFlag, data = the
//           question as text, correlationId = an ID chosen by the asker
//   answer: queued (sourceId = this plugin's ID), class 2, flags kAnswerFlag,
//           data = the answer as zero-terminated text, same correlationId
// The asker accepts writes with mask 2 covering kAnswerFlag and matches
// answers to questions by correlationId. An asker that loses interest raises
// EVENT_CANCEL with the ID; answers with a cancelled ID are refused.
//
// Threads: wantsReader gives this plugin a reader thread that calls Read once
// without data right after start-up, and an event thread per matching
// immediate event that calls Read with the core's copy of the data. Any
// number of these calls may run at once, so Read keeps no state: everything
// it needs is in its request record and on its own stack. Only the count of
// answers in flight is shared, so that Close can wait for them: an event
// thread may still be in Read when Close comes, and an answer raised after
// Close returned breaks the rule that a closed plugin raises nothing.
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "pluginhost/plugin.h"

namespace {

constexpr uint32_t kResponderId = 0x00240000;
constexpr uint32_t kQueryFlag = 0x00000200;   // immediate key 0x00000200
constexpr uint32_t kAnswerFlag = 0x00000400;  // queued key 0x00000400

// Set by Load, read-only afterwards.
PluginEventFunction g_raise = nullptr;

// Answers being raised, and whether Close came: guarded by g_mutex, touched
// by the event threads (Read) and the core's main thread (Close).
std::mutex g_mutex;
std::condition_variable g_idle;
unsigned g_answering = 0;
bool g_closed = false;

// An event thread's leave to answer: false once Close has come.
bool BeginAnswer() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_closed) return false;
  g_answering++;
  return true;
}

void EndAnswer() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (--g_answering == 0) g_idle.notify_all();
}

// Raises the answer from the event thread that delivered the query. Only an
// event thread may raise a non-zero correlationId; a second answer from the
// same Read call would wait until every holder has released the first.
int32_t RaiseAnswer(uint32_t correlationId, const char* text) {
  _EventParmsIn in;
  std::memset(&in, 0, sizeof in);
  in.size = sizeof in;
  in.version = 1;
  in.dataLength = static_cast<uint32_t>(std::strlen(text) + 1);
  in.data = const_cast<char*>(text);  // queued: the core copies it
  in.sourceId = kResponderId;
  in.correlationId = correlationId;
  in.eventType = EVENT_CLASS2;
  in.eventFlags = kAnswerFlag;
  _EventParmsOut out{sizeof out, 1, 0};
  g_raise(&in, &out);
  return out.result;  // EVENT_REFUSED: the asker cancelled, or the core is stopping
}

}  // namespace

extern "C" {

int32_t Load(void* request, void* result) {
  auto* in = static_cast<const _LoadParmsIn*>(request);
  auto* out = static_cast<_LoadParmsOut*>(result);
  g_raise = in->raiseEvent;
  out->id = kResponderId;
  out->eventMasks[1] = kQueryFlag;  // mask 2: immediate queries
  out->wantsReader = 1;
  return 0;
}

int32_t Read(void* request, void*) {
  auto* in = static_cast<const _ReadParmsIn*>(request);
  // The reader thread's call has no data and correlationId 0. This plugin has
  // no long-running loop, so it returns at once and the reader thread ends;
  // a plugin that kept it would have to return once Close is called, like
  // the worker in video_source.c. A query raised without data (data null,
  // dataLength 0) is not answered either.
  if (in->data == nullptr || in->dataLength == 0 || in->correlationId == 0) return 0;

  // The data is the core's copy, valid until Read returns; it need not be
  // zero-terminated.
  const char* question = static_cast<const char*>(in->data);
  const void* end = std::memchr(question, 0, in->dataLength);
  size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - question) : in->dataLength;
  char answer[160];
  std::snprintf(answer, sizeof answer, "answer to '%.*s' (%zu bytes)",
                static_cast<int>(length > 100 ? 100 : length), question, length);
  if (!BeginAnswer()) return 0;  // closed: the question goes unanswered
  RaiseAnswer(in->correlationId, answer);
  EndAnswer();
  return 0;  // the core ignores Read's result
}

// Waits for the answers already being raised; none is raised after it returns.
int32_t Close(void*, void*) {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_closed = true;
  g_idle.wait(lock, [] { return g_answering == 0; });
  return 0;
}

// Nothing to do in the other entries.
int32_t Unload(void*, void*) { return 0; }
int32_t Open(void*, void*) { return 0; }
int32_t Write(void*, void*) { return 0; }
int32_t Seek(void*, void*) { return 0; }
int32_t IOCTL(void*, void*) { return 0; }

}  // extern "C"
