// Event dispatch: the one entry through which every event enters the core.
//
// From the fields of the raised record it decides, in this order, to release
// a kept buffer (EVENT_RELEASE), hand a packet to the parent link
// (EVENT_TO_PARENT), queue the event for the main loop (non-zero sourceId),
// cancel a correlation ID (EVENT_CANCEL), or deliver the event at once to
// every matching reader plugin on a thread of its own.
//
// DESIGN: any thread enters, including plugin code that the core is running.
// The dispatch never calls a plugin on the raiser's thread and holds no lock
// while it calls Log or waits for a reply slot. The rules it relies on live
// in the components: exactly-once delivery of what the request queue
// accepts, the reply slots' claim and withdrawal, the parent link's queue
// limit. A buffer is always taken out of the reply slots before it is freed,
// so a recycled address can never be mistaken for the previous answer.
//
// No exception leaves the dispatch: its raiser may be C code. A branch whose
// allocation fails undoes what it began and lets std::bad_alloc through to
// PluginEvent, which answers EVENT_NO_MEMORY.
//
// Every event a plugin raises is counted to its figures with its kind, and
// when it is not taken with the reason the branch gives; releases and
// cancellations are not events in that sense, and the core's own log lines
// are not a plugin's.
#include <cxxabi.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/core.h"

namespace {

// A plugin that raises after its Close (or while the core stops) would learn
// it only from its results; the log tells it once. Its log lines are left
// out: those were printed, and Close is where plugins say goodbye.
void TellLateRaise(PluginFigures& figures, RaiseKind kind) {
  if (kind == RaiseKind::kLog || &figures == &UncountedFigures() ||
      figures.lateRaiseTold.load(std::memory_order_relaxed) ||
      figures.lateRaiseTold.exchange(true, std::memory_order_relaxed)) {
    return;
  }
  CORE_LOG(kLogNotable, "plugin %s raised an event %s; refusing it and any later ones",
           figures.fileName.c_str(),
           figures.closed.load(std::memory_order_relaxed) ? "after it was closed"
                                                          : "while the core is stopping");
}

}  // namespace

// To the plugin whose ID is its source, else (an immediate event has none) to
// the plugin whose call or lent thread raised it; the core's own lines to
// nobody.
inline void dvrcore::Parts::CountRaised(const _EventParmsIn& in, RaiseKind kind, Refusal refusal) {
  if (in.sourceId == kCoreSourceId) return;
  PluginFigures* figures = plugins.Figures().Find(in.sourceId);
  if (figures == nullptr) figures = ThreadFigures();
  if (figures == nullptr) return;
  figures->CountRaised(kind);
  if (refusal != Refusal::kNone) figures->CountRefused(refusal);
  if (refusal == Refusal::kStopping) TellLateRaise(*figures, kind);
}

int dvrcore::PluginEvent(_EventParmsIn* in, _EventParmsOut* out) {
  if (in == nullptr || out == nullptr) return 0;
  Parts& p = *parts;
  RaiseKind kind = RaiseKind::kCount;  // kCount: not counted
  Refusal refusal = Refusal::kNone;
  try {
    if (in->eventType == EVENT_RELEASE) {
      p.ReleaseBuffer(*in, *out);
    } else if (in->eventType == EVENT_TO_PARENT) {
      kind = RaiseKind::kParent;
      refusal = p.SendToParent(*in, *out);
    } else if (in->sourceId != 0) {
      const bool logLine = (in->eventType & EVENT_LOG) && (in->eventFlags & EVENT_FLAG_TEXT);
      kind = logLine ? RaiseKind::kLog : RaiseKind::kQueued;
      refusal = p.Queue(*in, *out);
    } else if (in->eventType == EVENT_CANCEL) {
      p.CancelAnswers(*in, *out);
    } else {
      kind = RaiseKind::kImmediate;
      refusal = p.DeliverNow(*in, *out);
    }
  } catch (abi::__forced_unwind&) {
    throw;  // the raising thread is being ended (cancelled while its answer waited)
  } catch (const std::bad_alloc&) {
    out->result = EVENT_NO_MEMORY;
    refusal = Refusal::kNoMemory;
  } catch (...) {
    // Nothing else is known to be thrown here (a failing lock would be a
    // std::system_error); the event is not taken rather than the core lost.
    out->result = EVENT_REFUSED;
    refusal = Refusal::kOther;
  }
  if (kind != RaiseKind::kCount) p.CountRaised(*in, kind, refusal);
  return 0;
}

// A holder gives a kept buffer back.
void dvrcore::Parts::ReleaseBuffer(const _EventParmsIn& in, _EventParmsOut& out) {
  bool removedAny = false;
  // Only a release that removed a hold may free: an address nobody held was
  // never the core's to free, or is already gone.
  if (allocations.Release(in.data, in.sourceId, &removedAny) && removedAny) {
    replies.Clear(in.data);
    std::free(in.data);
  }
  out.result = EVENT_OK;
}

// A packet for the parent; the buffer is the core's from here.
Refusal dvrcore::Parts::SendToParent(const _EventParmsIn& in, _EventParmsOut& out) {
  const ParentLink::SendResult sent = parentLink.Send(in.data, in.dataLength);
  out.result = sent == ParentLink::SendResult::kAccepted ? EVENT_OK : EVENT_REFUSED;
  switch (sent) {
    case ParentLink::SendResult::kAccepted:
      return Refusal::kNone;
    case ParentLink::SendResult::kNoLink:
      return Refusal::kNoLink;
    case ParentLink::SendResult::kFull:
      return Refusal::kParentFull;
    case ParentLink::SendResult::kClosing:
      return Refusal::kStopping;
    default:
      return Refusal::kOther;
  }
}

namespace {

// Queue's first step, inline: Queue is on the path of every queued event,
// and a call of its own would cost instructions there.
// A log line's text to Log, before the event is queued.
inline void LogText(CoreControl::Parts& parts, const _EventParmsIn& in) {
  const char* text = static_cast<const char*>(in.data);
  if (text != nullptr && std::memchr(text, 0, in.dataLength) == nullptr) {
    // Not terminated within its length: print only what was handed over,
    // where it lies (a copy of a long text could fail for want of memory).
    parts.Log(in.sourceId, in.level, text, in.dataLength);
  } else {
    parts.core.Log(in.sourceId, in.level, text);
  }
}

}  // namespace

// An event with a source: a log line goes to Log first; everything but a log
// line of level 0 is copied into the main loop's queue.
Refusal dvrcore::Parts::Queue(const _EventParmsIn& in, _EventParmsOut& out) {
  if ((in.eventType & EVENT_LOG) && (in.eventFlags & EVENT_FLAG_TEXT)) {
    LogText(*this, in);
    if (in.level == 0) return Refusal::kNone;  // console detail: printed, never queued
  }
  if (requests.StopRequested()) {
    out.result = EVENT_REFUSED;
    return Refusal::kStopping;
  }
  if ((in.eventType & EVENT_CLASS1) && (in.eventFlags & EVENT_FLAG_CORE) && throttling.load()) {
    out.result = EVENT_THROTTLED;
    return Refusal::kThrottled;
  }

  _EventParmsIn entry = in;
  entry.data = nullptr;
  entry.dataLength = 0;
  if (in.data != nullptr && in.dataLength != 0) {
    entry.data = std::malloc(in.dataLength);
    if (entry.data == nullptr) {
      out.result = EVENT_NO_MEMORY;
      return Refusal::kNoMemory;
    }
    std::memcpy(entry.data, in.data, in.dataLength);
    entry.dataLength = in.dataLength;
  }

  // An answer (correlation ID set) is accepted only from an event thread
  // whose ID is not cancelled, and waits while its previous answer is held.
  ReplySlot* slot = nullptr;
  if (in.correlationId != 0) {
    slot = replies.Claim(in.correlationId, entry.data);
    if (slot == nullptr) {
      std::free(entry.data);
      out.result = EVENT_REFUSED;
      return Refusal::kCancelled;
    }
  }
  bool appended;
  try {
    appended = requests.Append(entry);
  } catch (...) {  // std::bad_alloc: the queue could not grow
    replies.Withdraw(slot, entry.data);
    std::free(entry.data);
    throw;
  }
  if (!appended) {
    // The stop came while this event was being prepared.
    replies.Withdraw(slot, entry.data);
    std::free(entry.data);
    out.result = EVENT_REFUSED;
    return Refusal::kStopping;
  }
  out.result = EVENT_OK;
  return Refusal::kNone;
}

// Answers with this correlation ID are refused from now on.
void dvrcore::Parts::CancelAnswers(const _EventParmsIn& in, _EventParmsOut& out) {
  replies.Cancel(in.correlationId);
  out.result = EVENT_OK;
}

// An event without a source: to every matching reader plugin at once. A
// reader that could not be given it (no thread, no memory for the copy) is
// logged, and the raiser learns that the event did not reach every reader.
Refusal dvrcore::Parts::DeliverNow(const _EventParmsIn& in, _EventParmsOut& out) {
  replies.Uncancel(in.correlationId);
  const bool everyReader = plugins.StartEventThreads(in, replies);
  out.result = everyReader ? EVENT_OK : EVENT_NO_MEMORY;
  return everyReader ? Refusal::kNone : Refusal::kNoMemory;
}

void dvrcore::Parts::DeliverQueued(const _EventParmsIn& entry) {
  void* const buffer = entry.data;
  allocations.BeginDelivery(buffer);
  plugins.DeliverQueued(entry, allocations);
  if (allocations.EndDelivery(buffer)) {
    replies.Clear(buffer);
    std::free(buffer);
  }
}
