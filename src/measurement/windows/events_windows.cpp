// Power events from the System event log, polled every 30 seconds on a thread of their own.
#include "measurement/windows/events_windows.h"

#include <chrono>
#include <vector>

#include "infra/windows/scoped_handle.h"
#include "infra/windows/text_windows.h"
// winevt.h after the gate header: it needs the Windows types.
#include <winevt.h>

namespace ostrivel {

namespace {

using EvtHandle = ScopedHandle<NullHandleTraits<EVT_HANDLE, EvtClose>>;

constexpr auto kPollInterval = std::chrono::seconds(30);

EventValue valueOf(const EVT_VARIANT& variant) {
  EventValue value{static_cast<std::uint32_t>(variant.Type & EVT_VARIANT_TYPE_MASK), 0};
  switch (value.type) {
    case EvtVarTypeUInt16:
      value.bits = variant.UInt16Val;
      break;
    case EvtVarTypeUInt32:
      value.bits = variant.UInt32Val;
      break;
    case EvtVarTypeFileTime:
      value.bits = variant.FileTimeVal;
      break;
    default:
      break;
  }
  return value;
}

}  // namespace

EventsWindows::EventsWindows(const Clock& clock) : Events(clock) {}

EventsWindows::~EventsWindows() { stopSource(); }

void EventsWindows::startSource(SourceCallback sourceCallback) {
  poller = std::jthread([this, deliver = std::move(sourceCallback)](std::stop_token stop) {
    while (!stop.stop_requested()) {
      try {
        poll(deliver);
      } catch (...) {
        // A failed poll (the callback's own failure included) waits for the next one.
      }
      std::unique_lock guard(mutex);
      wakeUp.wait_for(guard, stop, kPollInterval, [] { return false; });
    }
  });
}

void EventsWindows::stopSource() {
  if (poller.joinable()) {
    poller.request_stop();
    poller.join();
  }
}

void EventsWindows::poll(const SourceCallback& deliver) {
  // Oldest first.
  const std::wstring text = utf8ToWide(powerEventQuery());
  EvtHandle query(EvtQuery(nullptr, L"System", text.c_str(), EvtQueryChannelPath | EvtQueryForwardDirection));
  if (!query) {
    return;
  }
  // The provider too: the query already asks each for its own ids, the mapping checks again.
  LPCWSTR paths[] = {L"Event/System/Provider/@Name", L"Event/System/EventID", L"Event/System/TimeCreated/@SystemTime"};
  EvtHandle context(EvtCreateRenderContext(3, paths, EvtRenderContextValues));
  if (!context) {
    return;
  }
  cursor.beginPoll();
  for (;;) {
    EVT_HANDLE batch[16] = {};
    DWORD returned = 0;
    if (!EvtNext(query.get(), 16, batch, 5000, 0, &returned)) {
      break;  // no more events, a time-out or an error all end the poll
    }
    std::vector<EvtHandle> owned;
    for (DWORD i = 0; i < returned; ++i) {
      owned.emplace_back(batch[i]);
    }
    for (const auto& event : owned) {
      alignas(EVT_VARIANT) BYTE buffer[256] = {};
      DWORD used = 0;
      DWORD count = 0;
      if (!EvtRender(context.get(), event.get(), EvtRenderEventValues, sizeof buffer, buffer, &used, &count) ||
          count < 3) {
        continue;
      }
      const auto* values = reinterpret_cast<const EVT_VARIANT*>(buffer);
      const std::string provider =
          (values[0].Type & EVT_VARIANT_TYPE_MASK) == EvtVarTypeString && values[0].StringVal != nullptr
              ? wideToUtf8(values[0].StringVal)
              : std::string();
      const auto found = powerEventFrom(provider, valueOf(values[1]), valueOf(values[2]));
      if (found && cursor.accept(found->at)) {
        deliver(found->at, found->kind);
      }
    }
  }
  cursor.endPoll();
}

}  // namespace ostrivel
